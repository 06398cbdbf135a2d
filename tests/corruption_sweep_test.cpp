// Corruption sweep: every valid picture and texture fixture, cut at every
// length and with every single byte set to 0x00, to 0xFF and inverted. Each
// variant must load (a picture of width x height pixels within the side
// limit, 24-bit values; a texture with the pixels of the reference
// decoding) or fail leaving no picture; the sanitizer builds catch any read
// or write outside the buffers on the way.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "formats/picture_formats.hpp"
#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"
#include "tests/picture_fixtures.hpp"
#include "tests/reference_decoder.hpp"
#include "tests/test_support.hpp"

namespace qm5 {
namespace {

using test::Bytes;
namespace fs = std::filesystem;

// "" when the outcome is clean, else what is wrong.
std::string judge(bool loaded, const Picture& p, bool pictureValues) {
    if (!loaded) {
        return p.pixels.empty() && p.width == 0 && p.height == 0 ? "" : "a failed load left a picture";
    }
    if (p.width < 0 || p.height < 0 || p.width > kMaxSide || p.height > kMaxSide) return "sides out of range";
    if (p.pixels.size() != static_cast<std::uint64_t>(p.width) * static_cast<std::uint64_t>(p.height)) {
        return "pixel count is not width x height";
    }
    if (pictureValues) {
        for (std::uint32_t v : p.pixels) {
            if ((v >> 24) != 0) return "a pixel with bits above 23";
        }
    }
    return "";
}

// Runs check on every variant of file; stops at the first fault found so a
// broken reader gives one message, not thousands.
void sweep(const std::string& name, const Bytes& file, const std::function<std::string(const Bytes&)>& check) {
    auto run = [&](const Bytes& variant, const std::string& what) {
        const std::string fault = check(variant);
        if (!fault.empty()) ADD_FAILURE() << name << ", " << what << ": " << fault;
        return fault.empty();
    };
    ASSERT_TRUE(run(file, "unchanged"));
    for (std::size_t n = 0; n < file.size(); ++n) {
        if (!run(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)), "cut to " + std::to_string(n))) {
            return;
        }
    }
    Bytes variant = file;
    for (std::size_t i = 0; i < file.size(); ++i) {
        const std::uint8_t values[] = {0x00, 0xFF, static_cast<std::uint8_t>(~file[i])};
        const char* names[] = {"0x00", "0xFF", "inverted"};
        for (int k = 0; k < 3; ++k) {
            variant[i] = values[k];
            if (!run(variant, std::string("byte ") + std::to_string(i) + " set to " + names[k])) return;
        }
        variant[i] = file[i];
    }
}

std::string checkBmp(const Bytes& file) {
    // The maker's order: 24-bit first, 8-bit after a refusal; both must be
    // clean whatever the first gave.
    PictureLoader loader(nullptr);
    Picture p;
    const std::span<const std::uint8_t> bytes(file);
    std::string fault = judge(loader.loadBmp24(bytes, p) == PictureError::none, p, true);
    if (!fault.empty()) return "loadBmp24: " + fault;
    fault = judge(loader.loadBmp8(bytes, p) == PictureError::none, p, true);
    return fault.empty() ? "" : "loadBmp8: " + fault;
}

std::string checkPcx(const Bytes& file) {
    PictureLoader loader(nullptr);
    Picture p;
    return judge(loader.loadPcx(std::span<const std::uint8_t>(file), p) == PictureError::none, p, true);
}

// A texture the decoder accepts must give the pixels of the format's own
// decoding in every pixel format (compared on pictures small enough for
// the reference's position-by-position painting).
std::string sameAsReference(std::span<const std::uint8_t> bytes, std::int64_t image, const Picture& decoded) {
    if (decoded.pixels.size() > 4096) return "";
    const std::vector<std::int32_t> indices = test::referenceIndices(bytes, image);
    const std::vector<std::uint32_t> colours = test::referenceColours(bytes, image);
    if (!std::equal(decoded.pixels.begin(), decoded.pixels.end(), colours.begin(), colours.end())) {
        return "colours differ from the reference decoding";
    }
    TextureDecoder decoder;
    if (decoder.check(bytes, image, image + 1, DecodeOptions{})) return "checked otherwise the second time";
    std::vector<std::uint32_t> rgba(indices.size()), wide(indices.size());
    std::vector<std::uint16_t> narrow(indices.size());
    const std::uint64_t offset = decoder.imageOffset(image);
    for (const auto& [format, out] : {std::pair<PixelFormat, void*>{PixelFormat::rgba8, rgba.data()},
                                      {PixelFormat::indices, wide.data()}, {PixelFormat::indices16, narrow.data()}}) {
        if (decoder.decodeAt(image, offset, format, out, DecodeOptions{})) return "a pixel format refused";
    }
    for (std::size_t p = 0; p < indices.size(); ++p) {
        const std::uint32_t c = colours[p];
        const std::uint8_t want[4] = {std::uint8_t(c), std::uint8_t(c >> 8), std::uint8_t(c >> 16), 255};
        const std::uint32_t index = indices[p] < 0 ? 0u : static_cast<std::uint32_t>(indices[p]);
        if (std::memcmp(&rgba[p], want, 4) != 0 || wide[p] != index || narrow[p] != index) {
            return "pixel " + std::to_string(p) + " differs from the reference in another format";
        }
    }
    return "";
}

std::string checkTexture(const Bytes& file) {
    const std::span<const std::uint8_t> bytes(file);
    for (std::int64_t image = 0; image < 2; ++image) {
        Picture p;
        const TextureProblem problem = decodeTextureImage(bytes, image, p, DecodeOptions{});
        std::string wrong = judge(!problem, p, false);
        if (wrong.empty() && !problem) wrong = sameAsReference(bytes, image, p);
        if (!wrong.empty()) return "image " + std::to_string(image) + ": " + wrong;
        if (problem && problem.offset > file.size()) return "problem offset past the end of the file";
    }
    return "";
}

// The qm5 command's reader, for the format the file's start names.
std::string checkFormats(const Bytes& file) {
    FormatsPictureReader reader(nullptr);
    const std::span<const std::uint8_t> bytes(file);
    const PictureFormat format = reader.classify(bytes.first(std::min(bytes.size(), kPictureHeadBytes)));
    if (format == FormatUnknown) return "";
    Picture p;
    PictureDetail detail;
    return judge(reader.read(bytes, format, p, &detail) == PictureError::none, p, true);
}

std::vector<fs::path> filesIn(const std::string& dir, const std::string& extension) {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(test::sourcePath(dir))) {
        if (e.path().extension() == extension) out.push_back(e.path());
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST(CorruptionSweep, BmpFixtures) {
    const auto files = test::pictureFixtures(".bmp");
    ASSERT_GE(files.size(), 9u);
    for (const fs::path& f : files) sweep(f.filename().string(), test::readFile(f), checkBmp);
}

TEST(CorruptionSweep, PcxFixtures) {
    const auto files = test::pictureFixtures(".pcx");
    ASSERT_GE(files.size(), 4u);
    for (const fs::path& f : files) sweep(f.filename().string(), test::readFile(f), checkPcx);
}

// Every picture the qm5 command reads beyond the classic formats: BMP
// variants, PCX 24-bit, PNG (CRC and zlib errors), TGA.
TEST(CorruptionSweep, FormatFixtures) {
    std::size_t files = 0;
    for (const char* extension : {".bmp", ".pcx", ".png", ".tga"}) {
        for (const fs::path& f : filesIn("tests/fixtures/formats", extension)) {
            if (f.filename().string().rfind("refuse_", 0) == 0) continue;
            sweep(f.filename().string(), test::readFile(f), checkFormats);
            ++files;
        }
    }
    EXPECT_GE(files, 40u);
}

// Textures written by the maker (plain, compressed, two images) and a plain
// one with 16-bit indices.
TEST(CorruptionSweep, TextureFixtures) {
    const auto files = filesIn("tests/fixtures/textures", ".qm5");
    ASSERT_GE(files.size(), 4u);
    for (const fs::path& f : files) sweep(f.filename().string(), test::readFile(f), checkTexture);
}

}  // namespace
}  // namespace qm5
