#include "maker/maker_app.hpp"

#include <cstring>
#include <memory>
#include <new>

#include "maker/mipmaps.hpp"
#include "maker/palette.hpp"
#include "maker/reports.hpp"

namespace qm5 {

MakerApp::MakerApp(Console& console) : console_(console), loader_(console.out()) {}

bool MakerApp::outputNameFor(const char* path, char (&outputName)[256]) {
    const std::size_t length = std::strlen(path);
    if (length > 255) return false;
    std::memcpy(outputName, path, length + 1);
    // The last dot anywhere in the path, also one in a directory name.
    char* dot = std::strrchr(outputName, '.');
    const std::size_t stem = dot != nullptr ? static_cast<std::size_t>(dot - outputName) : length;
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

    files_.clear();
    const PictureFormat format = loader_.detectFormat(path);
    if (format != FormatUnknown) {
        console_.print("Single image ...\n");
        if (files_.add(path, 0) < 0) {
            reportOutOfMemory(console_);
            return false;
        }
    } else {
        console_.print("Loading filelist ...\n");
        FileListError reason = FileListError::none;
        if (!files_.load(path, &reason)) {
            if (reason == FileListError::outOfMemory) reportOutOfMemory(console_);
            else reportError(console_, "Unknown format !");
            return false;
        }
        if (files_.count() == 0) {
            reportError(console_, "File list holds no pictures !");
            return false;
        }
    }

    const std::int32_t count = files_.count();
    console_.print("Locking memory for images (%d)..\n", count);
    std::unique_ptr<Picture[]> pictures(new (std::nothrow) Picture[static_cast<std::size_t>(count)]);
    if (!pictures) {
        reportOutOfMemory(console_);
        return false;
    }

    console_.print("Loading picture #%d ..", 0);
    for (std::int32_t i = 0; i < count; ++i) {
        console_.print("\rLoading picture #%d ..", i);
        const char* name = files_.at(i)->name;
        Picture& picture = pictures[static_cast<std::size_t>(i)];
        PictureFormat entryFormat = FormatUnknown;
        const PictureError error = loader_.loadAny(name, picture, &entryFormat);
        if (entryFormat == FormatUnknown) {
            reportError(console_, "Unknown image format !");
            return false;
        }
        if (error == PictureError::tooLarge) {
            reportError(console_, "Pictures must be at most 32767 pixels wide and high !");
            return false;
        }
        if (error != PictureError::none) {
            reportError(console_, "Error loading picture !");
            return false;
        }
        if (i > 0 && (picture.width != pictures[static_cast<std::size_t>(i - 1)].width ||
                      picture.height != pictures[static_cast<std::size_t>(i - 1)].height)) {
            reportError(console_, "Pictures must be same size !");
            return false;
        }
    }
    console_.print("\rLoading picture #%d ..\n", count - 1);
    if (pictures[0].width <= 0 || pictures[0].height <= 0) {
        reportError(console_, "Pictures must be at least 1 pixel wide and high !");
        return false;
    }

    const std::span<Picture> all(pictures.get(), static_cast<std::size_t>(count));
    switch (buildPalette(console_, all, colours_)) {
        case PaletteResult::done: break;
        case PaletteResult::tooManyColours:
            reportError(console_, "Pictures hold more than 32767 colours !");
            return false;
        default: return false;  // reported by the stage
    }

    MipmapLevels mipmaps;
    if (!buildMipmaps(console_, all, colours_, mipmaps)) {
        reportOutOfMemory(console_);
        return false;
    }

    std::unique_ptr<const Picture*[]> refs(new (std::nothrow) const Picture*[static_cast<std::size_t>(count)]);
    if (!refs) {
        reportOutOfMemory(console_);
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) refs[static_cast<std::size_t>(i)] = &pictures[static_cast<std::size_t>(i)];
    TextureWriteOptions options = writeOptions_;
    options.compress = compress;
    const WriteResult result =
        writeTexture(console_, outputName, std::span<const Picture* const>(refs.get(), static_cast<std::size_t>(count)),
                     colours_.colours(), mipmaps.levelCount, options);
    // After "Cannot open destination file !" the run still ends normally.
    written_ = result == WriteResult::written;
    return result == WriteResult::written || result == WriteResult::cannotOpen;
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
