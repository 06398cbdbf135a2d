#pragma once
// Helpers for the picture reader tests: the committed fixtures under
// tests/fixtures/pictures/, their expected decodes (binary PPM), and the
// comparison of a Picture with an expected decode.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "picture/picture.hpp"
#include "tests/test_support.hpp"

namespace qm5::test {

struct Rgb {
    std::int32_t width = 0;
    std::int32_t height = 0;
    Bytes rgb;  // red, green, blue per pixel, row 0 at the top
};

// Binary PPM (P6, maxval 255) as written by the fixture tools.
inline std::optional<Rgb> readPpm(const std::filesystem::path& path) {
    const Bytes b = readFile(path);
    std::size_t i = 0;
    auto token = [&]() -> std::string {
        std::string t;
        while (i < b.size()) {
            if (b[i] == '#') {
                while (i < b.size() && b[i] != '\n') ++i;
            } else if (std::isspace(b[i])) {
                ++i;
            } else {
                break;
            }
        }
        while (i < b.size() && !std::isspace(b[i])) t += static_cast<char>(b[i++]);
        return t;
    };
    if (token() != "P6") return std::nullopt;
    Rgb out;
    out.width = std::stoi(token());
    out.height = std::stoi(token());
    if (token() != "255") return std::nullopt;
    ++i;  // the single blank after maxval
    const std::size_t n = static_cast<std::size_t>(out.width) * static_cast<std::size_t>(out.height) * 3;
    if (b.size() - i != n) return std::nullopt;
    out.rgb.assign(b.begin() + static_cast<std::ptrdiff_t>(i), b.end());
    return out;
}

// Every reader packs red low, blue high.
inline std::uint32_t pack(std::uint32_t r, std::uint32_t g, std::uint32_t b) { return (b << 16) | (g << 8) | r; }

// "" when picture holds exactly the expected pixels, else what differs.
inline std::string compare(const Picture& picture, const Rgb& want) {
    std::ostringstream s;
    if (picture.width != want.width || picture.height != want.height) {
        s << "size: got " << picture.width << "x" << picture.height << ", want " << want.width << "x" << want.height;
        return s.str();
    }
    for (std::int32_t y = 0; y < want.height; ++y) {
        for (std::int32_t x = 0; x < want.width; ++x) {
            const std::size_t k = (static_cast<std::size_t>(y) * static_cast<std::size_t>(want.width) + x) * 3;
            const std::uint32_t w = pack(want.rgb[k], want.rgb[k + 1], want.rgb[k + 2]);
            if (picture.at(x, y) != w) {
                s << "pixel (" << x << "," << y << "): got 0x" << std::hex << picture.at(x, y) << ", want 0x" << w;
                return s.str();
            }
        }
    }
    return "";
}

inline std::vector<std::filesystem::path> pictureFixtures(const std::string& extension) {
    std::vector<std::filesystem::path> out;
    for (const auto& e : std::filesystem::directory_iterator(sourcePath("tests/fixtures/pictures"))) {
        if (e.path().extension() == extension) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

inline std::filesystem::path expectedDecode(std::filesystem::path fixture) { return fixture.replace_extension(".ppm"); }

// ---- BMP Suite (beside the source tree, in shared/testdata) ----

inline std::filesystem::path bmpSuite() { return sourcePath("../shared/testdata/bmpsuite"); }

// FNV-1a over the red, green, blue bytes of every pixel.
inline std::uint64_t fnvOfRgb(const Picture& p) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&](std::uint32_t byte) { h = (h ^ byte) * 0x100000001b3ull; };
    for (std::uint32_t v : p.pixels) mix(v & 0xFF), mix((v >> 8) & 0xFF), mix((v >> 16) & 0xFF);
    return h;
}

struct SuiteExpected {
    std::int32_t width, height;
    std::uint64_t hash;
};

// A manifest of "dir/file.bmp width height fnv1a64" lines.
inline std::map<std::string, SuiteExpected> suiteExpectations(const std::string& manifest) {
    std::map<std::string, SuiteExpected> out;
    std::ifstream in(sourcePath(manifest));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream s(line);
        std::string name, hash;
        SuiteExpected e{};
        s >> name >> e.width >> e.height >> hash;
        e.hash = std::stoull(hash, nullptr, 16);
        out[name] = e;
    }
    return out;
}

}  // namespace qm5::test
