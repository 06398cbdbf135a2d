#include "maker/maker_app.hpp"

#include <cstring>

#include "maker/classic_console.hpp"
#include "maker/encoder.hpp"
#include "maker/input_pictures.hpp"
#include "maker/reports.hpp"
#include "core/file_names.hpp"
#include "picture/picture_reader.hpp"

namespace qm5 {

MakerApp::MakerApp(Console& console) : console_(console), loader_(console.out()) {}

bool MakerApp::outputNameFor(const char* path, char (&outputName)[256]) {
    const std::size_t length = std::strlen(path);
    if (length > 255) return false;
    std::memcpy(outputName, path, length + 1);
    // Only a dot of the last path component starts the extension: the last
    // dot of the whole path would name "..\pics\wall" "..qm5", a texture
    // outside the picture's folder.
    const std::size_t stem = stemLength({path, length});
    if (stem + 4 > 255) return false;
    std::memcpy(outputName + stem, ".qm5", 5);
    return true;
}

bool MakerApp::convert(const char* path, bool compress) {
    written_ = false;
    char outputName[256];
    if (!outputNameFor(path, outputName)) {
        reportError(console_, std::strlen(path) > 255 ? "Path is longer than 255 characters !"
                                                       : "Output name is longer than 255 characters !");
        return false;
    }

    InputPictures input;
    InputFailure failure;
    ClassicPictureReader reader(loader_);
    InputOptions inputs;
    inputs.output = outputName;
    switch (loadInputPictures(console_, reader, path, files_, input, &failure, inputs)) {
        case InputError::none: break;
        case InputError::pathTooLong: reportError(console_, "Path is longer than 255 characters !"); return false;
        case InputError::listUnreadable: reportError(console_, "Unknown format !"); return false;
        case InputError::listEmpty: reportError(console_, "File list holds no pictures !"); return false;
        case InputError::outOfMemory: reportOutOfMemory(console_); return false;
        case InputError::entryUnknown: reportError(console_, "Unknown image format !"); return false;
        case InputError::overPixelLimit:  // the maker sets no limit
        case InputError::entryFailed:
            reportError(console_, failure.pictureError == PictureError::tooLarge
                                      ? "Pictures must be at most 32767 pixels wide and high !"
                                      : "Error loading picture !");
            return false;
        case InputError::sizeMismatch: reportError(console_, "Pictures must be same size !"); return false;
        case InputError::emptyPicture:
            reportError(console_, "Pictures must be at least 1 pixel wide and high !");
            return false;
        case InputError::sameAsOutput: reportError(console_, "Destination file is one of the input files !"); return false;
        case InputError::listTooLarge:
            reportError(console_, "Pictures of the list need more than 4 GiB of memory !");
            return false;
    }
    ClassicConsole classic(console_);
    EncodeRequest request;
    request.pictures = input.all();
    request.mode = compress ? EncodeMode::compressed : EncodeMode::plain;
    request.threads = threads_;
    request.buildMipmaps = true;
    request.observer = &classic;
    request.path = outputName;
    const EncodeResult result = encodeTexture(request);
    // After "Cannot open destination file !" the run still ends normally.
    written_ = result.ok();
    return result.ok() || result.error == EncodeError::cannotOpen;
}

int runMaker(int argc, char** argv, Console& console) {
    console.print("                    ____Qm5_maker v1.0____ \n");
    console.print("                      Supports .bmp .pcx   \n");
    console.print("                      and true-color bmp    \n\n\n");
    MakerApp app(console);
    if (argc < 2) {
        reportError(console, "Program must be executed with params !");
        return 1;
    }
    // Exactly two arguments switch compression on, whatever the second says.
    app.convert(argv[1], argc == 3);
    const int status = app.textureWritten() ? 0 : 1;
    console.waitKey();
    return status;
}

}  // namespace qm5
