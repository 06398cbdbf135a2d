// Encodes a picture given as raw RGBA8 (WIDTH x HEIGHT x 4 bytes: red,
// green, blue, alpha; rows from the top) into a Qm5 texture:
//   rgba_to_qm5 WIDTH HEIGHT PICTURE.rgba TEXTURE.qm5 [plain|compressed|best|auto]
// The texture is the one `qm5 encode` writes for the same picture and mode.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <qm5/qm5.hpp>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        std::cerr << "usage: rgba_to_qm5 WIDTH HEIGHT PICTURE.rgba TEXTURE.qm5 [plain|compressed|best|auto]\n";
        return 2;
    }
    const std::string modeName = argc == 6 ? argv[5] : "plain";
    const std::string modes[] = {"plain", "compressed", "best", "auto"};
    qm5_encode_options options{};
    bool known = false;
    for (int m = 0; m < 4; ++m) {
        if (modeName == modes[m]) {
            options.mode = static_cast<qm5_mode>(m);
            known = true;
        }
    }
    const long width = std::strtol(argv[1], nullptr, 10);
    const long height = std::strtol(argv[2], nullptr, 10);
    if (!known || width < 1 || height < 1 || width > 32767 || height > 32767) {
        std::cerr << "rgba_to_qm5: give sides from 1 to 32767 and a mode of plain, compressed, best, auto\n";
        return 2;
    }

    std::ifstream in(argv[3], std::ios::binary);
    const std::vector<std::uint8_t> pixels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.eof() && in.fail()) {
        std::cerr << "rgba_to_qm5: " << argv[3] << ": cannot be read\n";
        return 1;
    }
    qm5::Context context;
    auto texture =
        context.encodeRgba(pixels, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height), options);
    if (!texture) {
        std::cerr << "rgba_to_qm5: " << argv[3] << ": " << texture.error().message << "\n";
        return 1;
    }
    std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(texture->data()), static_cast<std::streamsize>(texture->size()));
    if (!out.flush()) {
        std::cerr << "rgba_to_qm5: " << argv[4] << ": cannot be written\n";
        return 1;
    }
    std::cout << argv[4] << ": " << texture->size() << " bytes\n";
    return 0;
}
