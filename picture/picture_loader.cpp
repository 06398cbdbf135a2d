#include "picture/picture_loader.hpp"

#include <cstdio>

#include "core/file_io.hpp"

namespace qm5 {

const char* describe(PictureError error) {
    switch (error) {
        case PictureError::none: return "no error";
        case PictureError::cannotOpen: return "cannot be opened";
        case PictureError::notPicture: return "not a picture this program reads";
        case PictureError::unsupported: return "a kind of picture this program does not read";
        case PictureError::malformed: return "its headers are invalid";
        case PictureError::truncated: return "the file ends before its data";
        case PictureError::tooLarge: return "too large (more than 32767 pixels on a side)";
        case PictureError::outOfMemory: return "not enough memory";
        case PictureError::transparent: return "has pixels that are not fully opaque";
        case PictureError::overlong: return "goes on past where its headers say the picture ends";
    }
    return "unknown error";
}


PictureFormat PictureLoader::detectFormat(std::span<const std::uint8_t> b) {
    // A byte beyond the end of the file matches no test.
    if (b.size() >= 2 && b[0] == 0x42 && b[1] == 0x4D) return FormatBmp;
    if (b.size() >= 3 && b[0] == 0x47 && b[1] == 0x49 && b[2] == 0x46) return FormatGif;
    if (b.size() >= 2 && b[0] == 0x0A && (b[1] == 0 || b[1] == 2 || b[1] == 3 || b[1] == 5)) return FormatPcx;
    return FormatUnknown;
}

PictureFormat PictureLoader::detectFormat(const char* name) const {
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return FormatUnknown;
    std::uint8_t start[3];
    const std::size_t got = std::fread(start, 1, sizeof start, f);
    std::fclose(f);
    return detectFormat(std::span<const std::uint8_t>(start, got));
}

namespace {
PictureError readPictureFile(const char* name, HeapArray<std::uint8_t>& bytes) {
    switch (readWholeFile(name, bytes, kMaxPictureFileBytes)) {
        case ReadFileError::none: return PictureError::none;
        case ReadFileError::cannotOpen: return PictureError::cannotOpen;
        case ReadFileError::tooLarge: return PictureError::tooLarge;
        case ReadFileError::outOfMemory: return PictureError::outOfMemory;
    }
    return PictureError::cannotOpen;
}

template <class Load>
PictureError loadNamed(const char* name, Load load) {
    HeapArray<std::uint8_t> bytes;
    if (PictureError e = readPictureFile(name, bytes); e != PictureError::none) return e;
    return load(bytes.span());
}
}  // namespace

PictureError PictureLoader::loadBmp24(const char* name, Picture& out) {
    return loadNamed(name, [&](std::span<const std::uint8_t> b) { return loadBmp24(b, out); });
}
PictureError PictureLoader::loadBmp8(const char* name, Picture& out) {
    return loadNamed(name, [&](std::span<const std::uint8_t> b) { return loadBmp8(b, out); });
}
PictureError PictureLoader::loadPcx(const char* name, Picture& out) {
    return loadNamed(name, [&](std::span<const std::uint8_t> b) { return loadPcx(b, out); });
}

PictureError PictureLoader::loadGif(const char*, Picture&) { return PictureError::unsupported; }

PictureError PictureLoader::loadAny(const char* name, Picture& out, PictureFormat* format) {
    // Read once: a pipe cannot be opened again after detection.
    HeapArray<std::uint8_t> bytes;
    const PictureError e = readPictureFile(name, bytes);
    if (format != nullptr) *format = FormatUnknown;
    if (e != PictureError::none) {
        out = Picture{};
        return e;
    }
    return loadAny(bytes.span(), out, format);
}

PictureError PictureLoader::loadAny(std::span<const std::uint8_t> file, Picture& out, PictureFormat* format) {
    const PictureFormat f = detectFormat(file);
    if (format != nullptr) *format = f;
    out = Picture{};
    switch (f) {
        case FormatBmp: {
            PictureError e = loadBmp24(file, out);
            if (e == PictureError::none) return e;
            // The 8-bit readers refuse a 24-bit file with "unsupported"; keep
            // the more telling reason of the two.
            PictureError e8 = loadBmp8(file, out);
            if (e8 == PictureError::none) return e8;
            return e8 == PictureError::unsupported ? e : e8;
        }
        case FormatPcx:
            return loadPcx(file, out);
        case FormatGif:
            return loadGif(nullptr, out);
        default:
            break;
    }
    return PictureError::notPicture;
}

bool PictureLoader::encodeBmp24(const Picture& picture, HeapArray<std::uint8_t>& out) {
    if (picture.width < 0 || picture.height < 0) return false;
    const std::uint64_t w = static_cast<std::uint64_t>(picture.width);
    const std::uint64_t h = static_cast<std::uint64_t>(picture.height);
    const std::uint64_t rowLength = (3 * w + 3) & ~std::uint64_t{3};
    const std::uint64_t imageSize = rowLength * h;
    const std::uint64_t fileSize = 54 + imageSize;
    if (fileSize > UINT32_MAX) return false;
    if (!out.allocate(fileSize)) return false;
    std::uint8_t* p = out.data();
    p[0] = 'B';
    p[1] = 'M';
    storeU32(p + 2, static_cast<std::uint32_t>(fileSize));
    storeU32(p + 10, 54);
    storeU32(p + 14, 40);
    storeU32(p + 18, static_cast<std::uint32_t>(picture.width));
    storeU32(p + 22, static_cast<std::uint32_t>(picture.height));
    storeU16(p + 26, 1);
    storeU16(p + 28, 24);
    storeU32(p + 34, static_cast<std::uint32_t>(imageSize));
    storeU32(p + 38, 96);
    storeU32(p + 42, 96);
    // Rows bottom-up; fill bytes at row ends stay zero.
    std::uint8_t* row = p + 54;
    for (std::int32_t y = picture.height - 1; y >= 0; --y, row += rowLength) {
        for (std::int32_t x = 0; x < picture.width; ++x) {
            const std::uint32_t v = picture.at(x, y);
            row[3 * x + 0] = static_cast<std::uint8_t>(v >> 16);
            row[3 * x + 1] = static_cast<std::uint8_t>(v >> 8);
            row[3 * x + 2] = static_cast<std::uint8_t>(v);
        }
    }
    return true;
}

int PictureLoader::writeBmp24(const char* name, const Picture& picture) const {
    HeapArray<std::uint8_t> bytes;
    if (!encodeBmp24(picture, bytes)) return 0;
    AtomicOutputFile file;
    if (!file.open(name)) return 0;
    if (!file.write(bytes.data(), bytes.size())) return 0;
    return file.commit() ? 1 : 0;
}

}  // namespace qm5
