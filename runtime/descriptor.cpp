#include "runtime/descriptor.h"

#include <cerrno>
#include <unistd.h>

namespace yf::fs {

Descriptor::~Descriptor()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

int writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= n;
    }
    return 0;
}

} // namespace yf::fs
