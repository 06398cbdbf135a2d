// List-file loader over arbitrary bytes. FileList reads a named file, so the
// input is written to one temporary file per process first.

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_target.hpp"
#include "core/input_stream.hpp"
#include "maker/file_list.hpp"

namespace {

// The path lives in a plain array, which no destructor clears before the
// exit handler removes the file.
char gListPath[4096];

const char* listPath() {
    if (gListPath[0] == '\0') {
        // Memory-backed /dev/shm when there is one: a write per input to a
        // disk file costs milliseconds.
        const char* tmpdir = std::getenv("TMPDIR");
        std::string dir = tmpdir != nullptr ? tmpdir : "";
#if defined(_WIN32)
        const int pid = ::_getpid();
#else
        const int pid = static_cast<int>(::getpid());
        if (dir.empty() && ::access("/dev/shm", W_OK) == 0) dir = "/dev/shm";
#endif
        if (dir.empty()) dir = std::filesystem::temp_directory_path().string();
        const std::string p = dir + "/qm5-fuzz-list-" + std::to_string(pid) + ".txt";
        if (p.size() >= sizeof gListPath) qm5::fuzz::fail("temporary path too long");
        std::memcpy(gListPath, p.c_str(), p.size() + 1);
        std::atexit([] { std::remove(gListPath); });
    }
    return gListPath;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qm5;
    const char* path = listPath();
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) fuzz::fail("cannot write the temporary list file");
    if (size != 0 && std::fwrite(data, 1, size, f) != size) fuzz::fail("cannot write the temporary list file");
    std::fclose(f);

    FileList list;
    FileListError reason = FileListError::none;
    const bool loaded = list.load(path, &reason);
    fuzz::require(loaded == (reason == FileListError::none), "result and reason disagree");
    fuzz::require(list.count() >= 0, "negative count");
    if (!loaded) fuzz::require(list.count() == 0, "a failed load kept entries");
    // Every entry is a piece of the file: at most one per byte.
    fuzz::require(static_cast<std::uint64_t>(list.count()) <= size, "more entries than bytes");
    fuzz::fold(static_cast<std::uint64_t>(reason));
    for (std::int32_t i = 0; i < list.count(); ++i) {
        const FileListEntry* e = list.at(i);
        fuzz::require(e != nullptr, "an entry inside the count is missing");
        const std::size_t length = strnlen(e->name, kMaxFileListName + 1);
        fuzz::require(length >= 1 && length <= kMaxFileListName, "entry name length out of range");
        for (std::size_t k = 0; k < length; ++k) fuzz::require(!isBlank(e->name[k]), "a blank inside a name");
        std::uint64_t h = static_cast<std::uint32_t>(e->value);
        for (std::size_t k = 0; k < length; ++k) h = (h ^ static_cast<unsigned char>(e->name[k])) * 31;
        fuzz::fold(h);
    }
    fuzz::require(list.at(list.count()) == nullptr && list.at(-1) == nullptr, "an entry outside the count");

    // The qm5 command's rules: whole lines, names with blanks, joined to a folder.
    InputStream in;
    if (in.open(path) != ReadFileError::none) fuzz::fail("cannot reopen the temporary list file");
    const bool named = list.loadNamed(in, "d/", &reason);
    fuzz::require(named == (reason == FileListError::none), "named: result and reason disagree");
    fuzz::require(named || (list.count() == 0 && list.errorLine() >= 0), "named: a failed load kept entries");
    fuzz::require(static_cast<std::uint64_t>(list.count()) <= size, "named: more entries than bytes");
    fuzz::fold(static_cast<std::uint64_t>(reason));
    for (std::int32_t i = 0; i < list.count(); ++i) {
        const char* name = list.at(i)->name;
        const std::size_t length = strnlen(name, kMaxFileListName + 1);
        fuzz::require(length >= 1 && length <= kMaxFileListName, "named: entry name length out of range");
        fuzz::require(name[0] == '/' || std::strncmp(name, "d/", 2) == 0, "named: a relative name without its folder");
        fuzz::require(!isBlank(name[length - 1]), "named: a name ending in a blank");
        fuzz::fold(length);
    }
    return 0;
}
