// qm5_docs: writes the qm5 command's manual page or bash completion, from
// the text of its help, at build time. Not installed.
//   qm5_docs man FILE
//   qm5_docs bash FILE
#include <cstdio>
#include <cstring>

#include "cli/docs.hpp"
#include "core/file_io.hpp"

int main(int argc, char** argv) {
    // The page must not take the number of a closed error stream.
    if (!qm5::ensureStandardDescriptors()) return 1;
    if (argc != 3 || (std::strcmp(argv[1], "man") != 0 && std::strcmp(argv[1], "bash") != 0)) {
        std::fputs("usage: qm5_docs man|bash FILE\n", stderr);
        return 2;
    }
    std::FILE* out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        std::perror(argv[2]);
        return 1;
    }
    if (std::strcmp(argv[1], "man") == 0) {
        qm5::cli::writeManPage(out);
    } else {
        qm5::cli::writeBashCompletion(out);
    }
    const bool failed = std::ferror(out) != 0;
    if (std::fclose(out) != 0 || failed) {
        std::fprintf(stderr, "%s: cannot be written\n", argv[2]);
        return 1;
    }
    return 0;
}
