#include "tester/tester_app.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/file_identity.hpp"
#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"
#include "texture/texture_input.hpp"

namespace qm5 {

namespace {

struct Names {
    const char* texture;
    const char* bitmap;
};
constexpr Names kNames[] = {{"pcx_uncompr.qm5", "qm5.bmp"}, {"pcx_compr.qm5", "qm5_compr.bmp"}};

void complain(std::FILE* err, const char* name, const char* reason, std::error_code why = {}) {
    if (err == nullptr) return;
    if (why) {
        std::fprintf(err, "qm5_test: %s: %s (%s)\n", name, reason, why.message().c_str());
    } else {
        std::fprintf(err, "qm5_test: %s: %s\n", name, reason);
    }
}

// One round: false when the texture is present but could not be decoded
// and written.
bool decodeOne(const Names& names, const PictureLoader& loader, std::FILE* err) {
    // No texture is ever overwritten, whatever name or link leads to it.
    for (const Names& other : kNames) {
        if (!isSameFile(names.bitmap, other.texture)) continue;
        complain(err, names.bitmap, "is a texture being decoded, and an input is never overwritten");
        return false;
    }
    // Read once and only as far as the first image reaches, whatever the
    // file is, and decoded within the qm5 command's default limits: a few
    // bytes can describe a picture of gigabytes, or painting of minutes.
    const DecodeOptions limits;
    TextureReadRequest request;
    request.images = 1;
    request.maxPixels = limits.maxPixels;
    TextureRead read;
    switch (readTextureFile(names.texture, request, read)) {
        case ReadFileError::none: break;
        case ReadFileError::outOfMemory: complain(err, names.texture, "not enough memory to read the file"); return false;
        default:
            if (read.error == std::errc::no_such_file_or_directory) return true;  // absent: skipped in silence
            complain(err, names.texture, read.opened ? "cannot be read" : "cannot be opened", read.error);
            return false;
    }
    Picture picture;
    TextureDecoder decoder;
    TextureProblem problem = decoder.check(read.bytes.span(), 0, 1, limits);
    if (!problem) problem = decoder.decode(0, picture);
    if (problem) {
        complain(err, names.texture, describeProblem(decoder.layout().header, problem).text);
        return false;
    }
    if (loader.writeBmp24(names.bitmap, picture) != 1) {
        complain(err, names.bitmap, "cannot be written");
        return false;
    }
    return true;
}

}  // namespace

int runTester(std::FILE* out, std::FILE* in, std::FILE* err) {
    std::fputs("                    ____Qm5Tester v1.0____ \n", out);
    std::fputs("                      Supports .bmp .pcx   \n", out);
    std::fputs("                      and true-color bmp    \n\n\n", out);

    int status = 0;
    PictureLoader loader(out);
    for (const Names& names : kNames) {
        if (!decodeOne(names, loader, err)) status = 1;
    }
    std::fflush(out);
    (void)std::fgetc(in);
    return status;
}

}  // namespace qm5
