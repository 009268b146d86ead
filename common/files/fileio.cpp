#include "fileio.h"

#include <cerrno>
#include <unistd.h>

int writeAll(int fd, const char *data, qint64 size, qint64 offset)
{
    while (size > 0) {
        const ssize_t n = offset >= 0 ? ::pwrite(fd, data, size_t(size), offset) : ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= n;
        if (offset >= 0)
            offset += n;
    }
    return 0;
}
