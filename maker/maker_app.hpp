#pragma once
// MakerApp: the maker's application object and its driver. convert() runs one
// conversion from the input path to the texture file: output name, file
// list and loading, then encodeTexture (palette, mipmaps, writing) with the
// maker's console lines through ClassicConsole.

#include <cstdint>

#include "maker/console.hpp"
#include "maker/file_list.hpp"
#include "picture/picture_loader.hpp"

namespace qm5 {

class MakerApp {
public:
    explicit MakerApp(Console& console);
    MakerApp(const MakerApp&) = delete;
    MakerApp& operator=(const MakerApp&) = delete;
    virtual ~MakerApp() = default;

    // True when the run went to its end, also after "Cannot open destination
    // file !", as the classic driver does; textureWritten() tells whether a
    // complete texture was written.
    bool convert(const char* path, bool compress);
    bool textureWritten() const { return written_; }

    // Threads for compressing (0, the default: one per core); the bytes are the same.
    void setThreads(unsigned threads) { threads_ = threads; }

    // The output name: the path with the extension of its last component
    // replaced by ".qm5", or ".qm5" appended when it has none (see
    // core/file_names.hpp: "dir.v2/tex" gives "dir.v2/tex.qm5"). False when
    // either name would pass 255 characters.
    static bool outputNameFor(const char* path, char (&outputName)[256]);

private:
    Console& console_;
    PictureLoader loader_;
    FileList files_;
    unsigned threads_ = 0;
    bool written_ = false;
};

// The program's entry: banner, argument test, convert, closing wait. Returns
// the exit status: 0 when a texture was written completely, 1 otherwise.
int runMaker(int argc, char** argv, Console& console);

}  // namespace qm5
