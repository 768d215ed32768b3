// An owned POSIX file descriptor, and writing a whole buffer to one.
#pragma once

#include <QtGlobal>

#include <utility>

namespace yf::fs {

// Closes its descriptor when it goes; -1 holds none.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    Descriptor(Descriptor &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor();
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

// Writes all `size` bytes at the descriptor's offset, going on after interruptions; 0, or the
// errno of the write that failed.
[[nodiscard]] int writeAll(int fd, const char *data, qsizetype size);

} // namespace yf::fs
