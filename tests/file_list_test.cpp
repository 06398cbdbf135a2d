#include "maker/file_list.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using Entries = std::vector<std::pair<std::string, std::int32_t>>;

Entries entriesOf(const FileList& list) {
    Entries out;
    for (std::int32_t i = 0; i < list.count(); ++i) out.emplace_back(list.at(i)->name, list.at(i)->value);
    return out;
}

std::string describe(const Entries& entries) {
    std::string s;
    for (const auto& [name, value] : entries) s += "[" + name + " " + std::to_string(value) + "]";
    return s;
}

// Loads text as a list file; the entries, or fails the test when load fails.
Entries loadText(const std::string& text) {
    test::TempDir dir;
    test::writeText(dir / "list.txt", text);
    FileList list;
    FileListError why = FileListError::none;
    const bool loaded = list.load((dir / "list.txt").string().c_str(), &why);
    EXPECT_TRUE(loaded) << "load failed, reason " << static_cast<int>(why);
    EXPECT_EQ(why, FileListError::none);
    return entriesOf(list);
}

TEST(FileList, AddAtAndClear) {
    FileList list;
    EXPECT_EQ(list.add("wall.bmp", 0), 0);
    EXPECT_EQ(list.add("sky.pcx", -7), 1);
    ASSERT_EQ(list.count(), 2);
    EXPECT_STREQ(list.at(1)->name, "sky.pcx");
    EXPECT_EQ(list.at(1)->value, -7);
    EXPECT_EQ(list.at(2), nullptr);
    EXPECT_EQ(list.at(-1), nullptr);
    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.at(0), nullptr);
    EXPECT_EQ(list.add("again.bmp", 1), 0);
}

TEST(FileList, ManyEntriesKeepTheirOrder) {
    FileList list;
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(list.add(std::to_string(i).c_str(), i), i);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(std::string(list.at(i)->name), std::to_string(i));
        ASSERT_EQ(list.at(i)->value, i);
    }
}

TEST(FileList, NamesLongerThan255AreRefusedNotCut) {
    FileList list;
    const std::string longest(255, 'n');
    EXPECT_EQ(list.add(longest.c_str(), 0), 0);
    EXPECT_EQ(std::string(list.at(0)->name), longest);
    EXPECT_EQ(list.add(std::string(256, 'n').c_str(), 0), -1);
    EXPECT_EQ(list.add(nullptr, 0), -1);
    EXPECT_EQ(list.count(), 1);
}

TEST(FileListLoad, ReadsTheAnnouncedNumberOfEntries) {
    EXPECT_EQ(loadText("3\nsky0.bmp 0\nsky1.bmp 0\nsky2.pcx 7\n"),
              (Entries{{"sky0.bmp", 0}, {"sky1.bmp", 0}, {"sky2.pcx", 7}}));
    // Lines after the announced count are never read.
    EXPECT_EQ(loadText("2\na.bmp 1\nb.bmp 2\nc.bmp 3\n"), (Entries{{"a.bmp", 1}, {"b.bmp", 2}}));
}

TEST(FileListLoad, FieldsAsTheFormatReadsThem) {
    // Extra words after the number are ignored; blanks around the name too.
    EXPECT_EQ(loadText("1\n  a.bmp   -12 extra words\n"), (Entries{{"a.bmp", -12}}));
    // Digits up to the first non-digit; numbers beyond 32 bits are clamped.
    EXPECT_EQ(loadText("  +3abc\na 5x\nb 99999999999\nc -99999999999\n"),
              (Entries{{"a", 5}, {"b", INT32_MAX}, {"c", INT32_MIN}}));
    // A name without a number, or with text in its place, gets 0.
    EXPECT_EQ(loadText("2\nalone.bmp\nword.bmp seven\n"), (Entries{{"alone.bmp", 0}, {"word.bmp", 0}}));
    // CR LF line ends read like LF.
    EXPECT_EQ(loadText("2\r\na.bmp 1\r\nb.bmp 2\r\n"), (Entries{{"a.bmp", 1}, {"b.bmp", 2}}));
}

TEST(FileListLoad, CountsOfZeroOrLessGiveAnEmptyList) {
    EXPECT_TRUE(loadText("0\na.bmp 1\n").empty());
    EXPECT_TRUE(loadText("-2\na.bmp 1\n").empty());
    EXPECT_TRUE(loadText("no digits\na.bmp 1\n").empty());
    EXPECT_TRUE(loadText("\n").empty());
}

TEST(FileListLoad, AFileEndingEarlyKeepsTheEntriesRead) {
    const Entries got = loadText("5\na.bmp 1\nb.bmp 2\n");
    EXPECT_EQ(got, (Entries{{"a.bmp", 1}, {"b.bmp", 2}})) << "got " << describe(got);
    EXPECT_EQ(loadText("5\na.bmp 1"), (Entries{{"a.bmp", 1}}));  // no final line end
    EXPECT_TRUE(loadText("5").empty());
}

TEST(FileListLoad, BlankLinesAreSkippedAndNotCounted) {
    const Entries got = loadText("3\n\na.bmp 1\n   \t\nb.bmp 2\n\r\nc.bmp 3\nd.bmp 4\n");
    EXPECT_EQ(got, (Entries{{"a.bmp", 1}, {"b.bmp", 2}, {"c.bmp", 3}})) << "got " << describe(got);
}

TEST(FileListLoad, LongLinesAreReadInPiecesOf254) {
    // 300 characters: the first 254, then the other 46 with the line end.
    Entries got = loadText("3\n" + std::string(300, 'x') + "\nlast.bmp 9\n");
    EXPECT_EQ(got, (Entries{{std::string(254, 'x'), 0}, {std::string(46, 'x'), 0}, {"last.bmp", 9}}))
        << "got " << describe(got);
    // A number that falls into the second piece belongs to it.
    got = loadText("2\n" + std::string(250, 'y') + " 1234 5\n");
    EXPECT_EQ(got, (Entries{{std::string(250, 'y'), 123}, {"4", 5}})) << "got " << describe(got);
    // Exactly 254 characters leave a bare line end, which is a blank piece.
    got = loadText("2\n" + std::string(254, 'z') + "\nb.bmp 2\n");
    EXPECT_EQ(got, (Entries{{std::string(254, 'z'), 0}, {"b.bmp", 2}})) << "got " << describe(got);
    // A count line longer than a piece: its rest is the first entry line.
    got = loadText("1" + std::string(253, ' ') + "rest.bmp 4\n");
    EXPECT_EQ(got, (Entries{{"rest.bmp", 4}})) << "got " << describe(got);
}

TEST(FileListLoad, ReloadingReplacesTheEntries) {
    test::TempDir dir;
    test::writeText(dir / "one.txt", "2\na.bmp 1\nb.bmp 2\n");
    test::writeText(dir / "two.txt", "1\nc.bmp 3\n");
    FileList list;
    ASSERT_TRUE(list.load((dir / "one.txt").string().c_str()));
    ASSERT_TRUE(list.load((dir / "two.txt").string().c_str()));
    EXPECT_EQ(entriesOf(list), (Entries{{"c.bmp", 3}}));
}

TEST(FileListLoad, FailuresSayWhyAndLeaveTheListEmpty) {
    test::TempDir dir;
    FileList list;
    ASSERT_EQ(list.add("old.bmp", 0), 0);
    FileListError why = FileListError::none;
    EXPECT_FALSE(list.load((dir / "missing.txt").string().c_str(), &why));
    EXPECT_EQ(why, FileListError::cannotOpen);
    EXPECT_EQ(list.count(), 0);

    test::writeText(dir / "empty.txt", "");
    EXPECT_FALSE(list.load((dir / "empty.txt").string().c_str(), &why));
    EXPECT_EQ(why, FileListError::noCountLine);

    EXPECT_FALSE(list.load(dir.path().string().c_str(), &why));  // a directory cannot be read
    EXPECT_NE(why, FileListError::none);
    EXPECT_FALSE(list.load(nullptr, &why));
    EXPECT_EQ(why, FileListError::cannotOpen);
}

// The qm5 command's rules: loadNamed over text, with folder joined to
// relative names. The entries, or the error and its line.
struct Named {
    Entries entries;
    FileListError error = FileListError::none;
    std::int32_t line = 0;
};
Named loadNamedText(const std::string& text, const char* folder = "") {
    test::TempDir dir;
    test::writeText(dir / "list.txt", text);
    InputStream in;
    EXPECT_EQ(in.open((dir / "list.txt").string().c_str()), ReadFileError::none);
    FileList list;
    Named got;
    if (!list.loadNamed(in, folder, &got.error)) {
        EXPECT_EQ(list.count(), 0);
    }
    got.entries = entriesOf(list);
    got.line = list.errorLine();
    return got;
}

TEST(FileListNamed, TrailingNumbersNamesWithBlanksAndFolders) {
    const struct {
        std::string text;
        Entries want;
    } cases[] = {
        // The trailing number is the number, everything before it the name.
        {"3\nmy pic.bmp 4\n  sky 2.bmp\t-7  \nwall 2.bmp\n", {{"my pic.bmp", 4}, {"sky 2.bmp", -7}, {"wall 2.bmp", 0}}},
        // A sign or digits glued to the name belong to it; a lone number is a name.
        {"3\na-5\nb+6.bmp\n7\n", {{"a-5", 0}, {"b+6.bmp", 0}, {"7", 0}}},
        // Byte-order mark, CR LF and CR line ends, blank lines not counted, count with blanks.
        {"\xEF\xBB\xBF 2 \r\n\r\na.bmp 1\rb.bmp 2\r\nc.bmp 3\n", {{"a.bmp", 1}, {"b.bmp", 2}}},
        // Counts of 0 or less, and a list that ends early keeps what it has.
        {"0\na.bmp\n", {}},
        {"4\na.bmp 1", {{"a.bmp", 1}}},
    };
    for (const auto& c : cases) {
        const Named got = loadNamedText(c.text);
        EXPECT_EQ(got.error, FileListError::none) << c.text;
        EXPECT_EQ(got.entries, c.want) << "got " << describe(got.entries) << " for " << c.text;
    }
    // Relative names join the folder; absolute ones stay.
    const Named got = loadNamedText("2\ns0.bmp 1\n/abs/s1.bmp\n", "pics/");
    EXPECT_EQ(got.entries, (Entries{{"pics/s0.bmp", 1}, {"/abs/s1.bmp", 0}})) << describe(got.entries);
}

TEST(FileListNamed, RefusalsSayWhatAndWhere) {
    const struct {
        std::string text;
        FileListError error;
        std::int32_t line;
    } cases[] = {
        {"sky0.bmp 0\nsky1.bmp 0\n", FileListError::countMissing, 1},
        {"\xEF\xBB\xBFsky0.bmp\n", FileListError::countMissing, 1},
        {"3 pictures\na.bmp\n", FileListError::notList, 1},
        {"neither a picture nor a list", FileListError::notList, 1},
        {std::string("\x89PNG\0\0", 6), FileListError::notList, 1},
        {"", FileListError::noCountLine, 0},
        {"2\na.bmp\n" + std::string(300, 'n') + "\n", FileListError::nameTooLong, 3},
        {"2\na.bmp\n" + std::string(2000, 'n') + "\n", FileListError::nameTooLong, 3},
        {std::string("2\na\0.bmp\n", 10), FileListError::controlCharacter, 2},
    };
    for (const auto& c : cases) {
        const Named got = loadNamedText(c.text);
        EXPECT_EQ(got.error, c.error) << c.text;
        EXPECT_EQ(got.line, c.line) << c.text;
        EXPECT_TRUE(got.entries.empty()) << c.text;
    }
    // The folder counts towards the 255 characters of a name.
    const std::string folder(250, 'd');
    EXPECT_EQ(loadNamedText("1\nabcde\n", (folder + "/").c_str()).error, FileListError::nameTooLong);
    EXPECT_EQ(loadNamedText("1\nabcd\n", (folder + "/").c_str()).error, FileListError::none);
}

}  // namespace
}  // namespace qm5
