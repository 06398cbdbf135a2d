#include "core/file_identity.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace qm5 {

FileIdentity fileIdentity(const char* path) {
    FileIdentity id;
    if (path == nullptr) return id;
#if defined(_WIN32)
    // Windows has no inode numbers: the volume serial number and the file
    // index name a file, as st_dev and st_ino do elsewhere. Opening with no
    // access right reads the attributes without disturbing a writer; the
    // backup flag lets the call open directories too.
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(h, &info)) {
        id.known = true;
        id.device = info.dwVolumeSerialNumber;
        id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    }
    CloseHandle(h);
#else
    struct stat st;
    if (::stat(path, &st) != 0) return id;
    id.known = true;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
#endif
    return id;
}

FileIdentity fileIdentity(std::FILE* stream) {
    FileIdentity id;
    if (stream == nullptr) return id;
#if defined(_WIN32)
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == -1 || !GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle), &info)) return id;
    id.known = true;
    id.device = info.dwVolumeSerialNumber;
    id.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
#else
    struct stat st;
    if (::fstat(::fileno(stream), &st) != 0) return id;
    id.known = true;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.index = static_cast<std::uint64_t>(st.st_ino);
#endif
    return id;
}

bool isSameFile(const char* a, const char* b) { return fileIdentity(a).sameAs(fileIdentity(b)); }

}  // namespace qm5
