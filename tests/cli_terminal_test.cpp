// The qm5 command on a terminal: the progress line (its text, and what a
// terminal receives from a whole run) and the data it refuses to write there.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>

#include "cli/progress_line.hpp"
#include "tests/cli_support.hpp"

namespace qm5 {
namespace {

using cli::formatProgress;
using cli::ProgressState;

TEST(ProgressText, StagePercentageAndTimeLeft) {
    ProgressState state;
    state.label = "sky.lst";
    state.stage = Stage::compressing;
    state.image = 1;
    state.images = 3;
    state.fraction = 0.25;
    state.seconds = 0.5;
    EXPECT_EQ(formatProgress(state, 79), "sky.lst: compressing image 2 of 3, 25 %");
    // After a second the rate so far gives the time left; nothing done yet, the time so far.
    state.seconds = 10;
    EXPECT_EQ(formatProgress(state, 79), "sky.lst: compressing image 2 of 3, 25 %, 0:30 left");
    state.fraction = 0;
    state.seconds = 3725;
    EXPECT_EQ(formatProgress(state, 79), "sky.lst: compressing image 2 of 3, 0 %, 1:02:05 so far");
    state.stage = Stage::palette;
    state.fraction = 1;
    EXPECT_EQ(formatProgress(state, 79), "sky.lst: palette, 100 %");
    // A long name gives way from its start.
    state.label = "/a/very/long/folder/name/that/goes/on/and/on/and/on/wall.bmp";
    state.stage = Stage::writing;
    const std::string line = formatProgress(state, 40);
    EXPECT_EQ(line, "...nd/on/and/on/wall.bmp: writing, 100 %") << line;
    EXPECT_LE(line.size(), 40u);
    // --best's search is a stage of its own; a batch adds the time left for the whole run.
    state.label = "[3/20] sky.lst";
    state.stage = Stage::ordering;
    state.fraction = 0.5;
    state.seconds = 4;
    state.runLeft = 130;
    EXPECT_EQ(formatProgress(state, 79), "[3/20] sky.lst: choosing the palette order, 50 %, 0:04 left; all 2:10 left");
    state.label = "[3/20] art/a/very/long/name.png";
    EXPECT_EQ(formatProgress(state, 79), "[3/20] .../name.png: choosing the palette order, 50 %, 0:04 left; all 2:10 left");
}

#if defined(QM5_TEST_POSIX)
// Pseudo-terminals are POSIX only.

// Smooth bands of six colours: at 256 x 256 the compressor takes a few tenths of a second.
test::Bytes wavePicture(int side) {
    const std::uint32_t colours[] = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFFFFFF};
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(side) * side);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const auto k = static_cast<int>((std::sin(x / 37.0) + std::cos(y / 23.0) + 2) * 1.49) % 6;
            pixels[static_cast<std::size_t>(y) * side + x] = colours[k];
        }
    }
    return test::bmp24(side, side, pixels);
}

// A drawn progress line: "NAME: STAGE, N %" and perhaps ", M:SS left" or
// ", M:SS so far".
bool isProgressLine(const std::string& line) {
    const std::size_t colon = line.find(": ");
    if (colon == std::string::npos || colon == 0) return false;
    const std::size_t comma = line.find(", ", colon);
    if (comma == std::string::npos) return false;
    const std::string stage = line.substr(colon + 2, comma - colon - 2);
    const bool named = stage == "reading" || stage == "palette" || stage == "mipmaps" || stage == "writing" ||
                       stage.rfind("compressing image ", 0) == 0;
    const std::size_t percent = line.find(" %", comma);
    if (!named || percent == std::string::npos || percent == comma + 2) return false;
    for (std::size_t i = comma + 2; i < percent; ++i) {
        if (line[i] < '0' || line[i] > '9') return false;
    }
    const std::string rest = line.substr(percent + 2);
    const auto endsWith = [&rest](const std::string& tail) {
        return rest.size() >= tail.size() && rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0;
    };
    return rest.empty() || (rest.rfind(", ", 0) == 0 && (endsWith(" left") || endsWith(" so far")));
}

// The progress lines of what a terminal received (each drawn line, without
// the spaces that cover a longer one); the rest of it in other.
std::vector<std::string> progressLines(const std::string& terminal, std::string& other) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < terminal.size()) {
        const std::size_t next = terminal.find('\r', at + 1);
        std::string piece = terminal.substr(at, next == std::string::npos ? std::string::npos : next - at);
        at = next == std::string::npos ? terminal.size() : next;
        if (piece.empty() || piece[0] != '\r') {
            other += piece;
            continue;
        }
        piece.erase(0, 1);
        piece.erase(piece.find_last_not_of(' ') + 1);
        if (isProgressLine(piece)) {
            lines.push_back(piece);
        } else if (!piece.empty()) {
            other += piece;
        }
    }
    return lines;
}

TEST(CliTerminal, OneProgressLineRedrawnAtMostTenTimesASecond) {
    test::TempDir dir;
    test::writeFile(dir / "wave.bmp", wavePicture(256));
    const auto r = test::runOnTerminal(QM5_CMD_BIN, {"encode", "-c", "wave.bmp"}, dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("wave.qm5: 1 image of 256 x 256, 6 colours", 0), 0u) << r.out;
    std::string other;
    const auto lines = progressLines(r.err, other);
    EXPECT_EQ(other, "") << "the terminal got more than the progress line";
    EXPECT_EQ(r.err.find('\n'), std::string::npos);
    EXPECT_LE(static_cast<double>(lines.size()), r.seconds * 10 + 2) << lines.size() << " lines in " << r.seconds << " s";
    EXPECT_EQ(r.err.empty() ? '\r' : r.err.back(), '\r') << "the line is taken away at the end";
    if (r.seconds > 0.3) {
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0].rfind("wave.bmp: ", 0), 0u) << lines[0];
    }

    // Nothing with --quiet, nor when the error stream is no terminal.
    EXPECT_EQ(test::runOnTerminal(QM5_CMD_BIN, {"encode", "-cq", "wave.bmp"}, dir.path()).err, "");
}

TEST(CliTerminal, OneMessagePerFaultAndNoDataOnTheTerminal) {
    // Colour 0 of a 256 x 256 parity picture needs 131072 bytes of cubes.
    std::vector<std::uint32_t> parity(65536);
    for (std::uint32_t p = 0; p < parity.size(); ++p) parity[p] = (std::popcount(p) & 1) != 0 ? 0xFFFFFF : 0;
    test::TempDir dir;
    test::writeFile(dir / "par.bmp", test::bmp24(256, 256, parity));
    auto r = test::runOnTerminal(QM5_CMD_BIN, {"encode", "-c", "par.bmp"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    std::string other;
    progressLines(r.err, other);
    EXPECT_EQ(other,
              "qm5: par.bmp: colour 0 of image 0 would need a record of more than 65535 bytes; write the texture "
              "plain or with --auto\n");

    r = test::runOnTerminal(QM5_CMD_BIN, {"encode", "par.bmp", "-o", "-"}, dir.path(), true);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "qm5 encode: standard output is a terminal, and a texture is binary data; redirect it\n"
                     "Try 'qm5 encode --help'.\n");
    ASSERT_EQ(test::qm5(dir, {"encode", "-q", "par.bmp"}).exitCode, 0);
    r = test::runOnTerminal(QM5_CMD_BIN, {"decode", "par.qm5", "-o", "-", "--format", "png"}, dir.path(), true);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err.rfind("qm5 decode: standard output is a terminal", 0), 0u) << r.err;
}
#endif  // QM5_TEST_POSIX

}  // namespace
}  // namespace qm5
