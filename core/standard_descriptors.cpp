// Descriptors 0, 1 and 2 held open from a program's start.
#include "core/file_io.hpp"

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qm5 {

bool ensureStandardDescriptors() {
#if defined(_WIN32)
    // The C runtime of Windows reserves descriptors 0, 1 and 2 when a
    // program starts, whether or not it was given those handles (a stream
    // without one fails its reads and writes), so no file a program opens
    // can take their numbers: nothing to do.
    return true;
#else
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number is fd itself, the ones below being open.
        // /dev/null opened the other way round: standard input still gives
        // nothing and the outputs still take nothing (EBADF, as a closed
        // descriptor does), but no file of the program can take the number.
        const int opened = ::open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
        if (opened != fd) {
            if (opened >= 0) ::close(opened);
            return false;
        }
    }
    return true;
#endif
}

}  // namespace qm5
