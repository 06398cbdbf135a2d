#include "tester/tester_app.hpp"

#include "picture/picture_loader.hpp"
#include "texture/texture_decoder.hpp"

namespace qm5 {

int runTester(std::FILE* out, std::FILE* in) {
    std::fputs("                    ____Qm5Tester v1.0____ \n", out);
    std::fputs("                      Supports .bmp .pcx   \n", out);
    std::fputs("                      and true-color bmp    \n\n\n", out);

    static constexpr struct {
        const char* texture;
        const char* bitmap;
    } kNames[] = {{"pcx_uncompr.qm5", "qm5.bmp"}, {"pcx_compr.qm5", "qm5_compr.bmp"}};

    int status = 0;
    PictureLoader loader(out);
    for (const auto& name : kNames) {
        Picture picture;
        const TextureError e = decodeTexture(name.texture, picture);
        if (e == TextureError::cannotOpen) continue;  // absent: skipped in silence
        if (e != TextureError::none || loader.writeBmp24(name.bitmap, picture) != 1) status = 1;
    }
    std::fflush(out);
    (void)std::fgetc(in);
    return status;
}

}  // namespace qm5
