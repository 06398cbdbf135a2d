// qm5 on a collection: a tree of pictures to a tree of textures and back,
// checked and inspected as a script would, and the JSON it reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "cli/json_writer.hpp"
#include "tests/cli_support.hpp"

#if __has_include(<nlohmann/json.hpp>)
#include <nlohmann/json.hpp>
#define QM5_TEST_JSON 1
#endif

namespace qm5 {
namespace {

namespace fs = std::filesystem;
using test::qm5;

std::size_t lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

std::size_t filesBelow(const fs::path& folder) {
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) count += entry.is_regular_file() ? 1 : 0;
    return count;
}

// 20 pictures in 3 folders, a file that is none, and p14.bmp and p14.png in
// one folder: both would be p14.qm5.
void writeTree(const test::TempDir& dir) {
    for (int i = 0; i < 20; ++i) {
        const fs::path folder = dir / "tree" / (i < 7 ? "a" : i < 14 ? "b/deep" : "c");
        fs::create_directories(folder);
        const int side = 4 + i % 5;
        const auto seed = static_cast<std::uint32_t>(i + 1);
        const std::string name = i == 19 ? "p14.png" : "p" + std::to_string(i) + ".bmp";
        const auto pixels = test::randomPixels(static_cast<std::size_t>(side * (side + 1)), 5, seed);
        test::writeFile(folder / name, test::bmp24(side, side + 1, pixels));
    }
    test::writeText(dir / "tree" / "b" / "notes.txt", "not a picture\n");
}

TEST(CliFolders, ATreeOfPicturesToTexturesAndBack) {
    test::TempDir dir;
    writeTree(dir);
    auto r = qm5(dir, {"encode", "--auto", "--best", "-r", "tree", "--output-dir", "out/textures"});
    EXPECT_EQ(r.exitCode, 1) << "the clash alone fails";
    // The clash is refused before the first texture is written, so it is said first.
    EXPECT_EQ(r.err.rfind("qm5: tree/b/notes.txt: is not a picture qm5 reads; skipped\n"
                          "qm5: tree/c/p14.png: its texture out/textures/c/p14.qm5 is that of tree/c/p14.bmp too; "
                          "not written\n",
                          0),
              0u)
        << r.err;
    EXPECT_EQ(lines(r.out), 19u) << r.out;
    EXPECT_EQ(filesBelow(dir / "out"), 19u);
    EXPECT_TRUE(fs::exists(dir / "out" / "textures" / "b" / "deep" / "p7.qm5"));

    r = qm5(dir, {"encode", "--auto", "--best", "-r", "tree", "--output-dir", "out/textures", "--update"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "") << "nothing converted";

    const std::string format = pngSupported() ? "png" : "bmp";
    r = qm5(dir, {"decode", "-r", "out", "--output-dir", "back", "--format", format});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fs::exists(dir / "back" / "textures" / "b" / "deep" / ("p7." + format)));
    EXPECT_EQ(filesBelow(dir / "back"), 19u);
    r = qm5(dir, {"verify", "-r", "tree", "out/textures"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(lines(r.out), 19u) << r.out;

    // One JSON object per texture that says what the text form says.
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "out")) {
        names.push_back(fs::relative(entry.path(), dir.path()).generic_string());
    }
    std::sort(names.begin(), names.end());
    names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& n) { return !n.ends_with(".qm5"); }),
                names.end());
    std::vector<std::string> args = {"info", "--json"};
    args.insert(args.end(), names.begin(), names.end());
    r = qm5(dir, args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_EQ(lines(r.out), names.size());
#if defined(QM5_TEST_JSON)
    std::istringstream json(r.out);
    std::string line;
    for (const std::string& name : names) {
        std::getline(json, line);
        const nlohmann::json got = nlohmann::json::parse(line);
        const std::string text = qm5(dir, {"info", name}).out;
        EXPECT_EQ(got["file"], name);
        EXPECT_TRUE(got["valid"].get<bool>());
        const std::string width = "width: " + std::to_string(got["width"].get<int>()) + "\n";
        const std::string colours = "colours: " + std::to_string(got["colours"].get<int>()) + "\n";
        const nlohmann::json& image = got["images"][0];
        std::string image0 = "image 0: " + image["encoding"].get<std::string>() + ", " +
                             std::to_string(image["bytes"].get<std::uint64_t>()) + " bytes at offset " +
                             std::to_string(image["offset"].get<std::uint64_t>());
        const std::string cubes = image.contains("cubes")
                                      ? ", " + std::to_string(image["cubes"].get<std::uint64_t>()) + " cubes\n"
                                      : "";
        for (const std::string& want : {width, colours, image0, cubes}) EXPECT_NE(text.find(want), std::string::npos) << text;
    }
#endif
}

#if defined(QM5_TEST_POSIX)
// The generated completion: values after --format, textures and folders
// after info, pictures and folders after encode.
TEST(CliFolders, BashCompletionOffersWhatEachPlaceTakes) {
    const fs::path script = fs::path(QM5_CMD_BIN).parent_path() / "qm5.bash";
    if (!fs::exists(script) || !fs::exists("/bin/bash")) GTEST_SKIP() << "no completion written, or no bash";
    test::TempDir dir;
    fs::create_directory(dir / "art");
    for (const char* name : {"a.qm5", "b.png", "c.txt"}) test::writeText(dir / name, "x");
    const std::string ask = "source '" + script.string() + "'; t() { COMP_WORDS=(\"$@\"); "
                            "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _qm5; echo \"${COMPREPLY[*]}\"; }; ";
    test::RunLimits host;
    host.hostProgram = true;
    const auto r = test::runProgram("/bin/bash", {"-c", ask + "t qm5 decode --format ''; t qm5 info ''; t qm5 encode ''"},
                                    dir.path(), "", host);
    EXPECT_EQ(r.out, "bmp png\nart a.qm5\nart b.png\n") << r.err;
}
#endif

// Strings as JSON asks: quotes, backslashes and control characters escaped,
// well-formed UTF-8 kept, any other byte (overlong forms, surrogates, cut
// sequences) one U+FFFD.
TEST(CliFolders, JsonStringsAreAlwaysValid) {
    EXPECT_EQ(cli::jsonQuoted("a\"b\\c\x01\n\x7f"), "\"a\\\"b\\\\c\\u0001\\u000a\\u007f\"");
    EXPECT_EQ(cli::jsonQuoted("\xc3\xa9\xf0\x9f\x99\x82"), "\"\xc3\xa9\xf0\x9f\x99\x82\"");
    EXPECT_EQ(cli::jsonQuoted("\xff\xc0\xaf\xed\xa0\x80\xe2\x82"),
              "\"\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\\ufffd\"");
    cli::JsonWriter json;
    json.beginObject();
    json.key("a");
    json.beginArray();
    json.number(-1);
    json.null();
    json.beginObject();
    json.endObject();
    json.endArray();
    json.key("b");
    json.boolean(true);
    json.endObject();
    EXPECT_EQ(json.text(), "{\"a\":[-1,null,{}],\"b\":true}");
}

}  // namespace
}  // namespace qm5
