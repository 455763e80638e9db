#include "common/fs_sync.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qb {

int flush_to_storage(int fd) {
    for (;;) {
#if defined(__APPLE__)
        int rc = ::fcntl(fd, F_FULLFSYNC);
#else
        int rc = ::fsync(fd);
#endif
        if (rc == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

} // namespace qb
