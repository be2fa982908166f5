// Fd.h - move-only owner of a POSIX file descriptor; closes it exactly once.
#pragma once

#include <unistd.h>

#include <utility>

class CFd {
  public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    ~CFd() { Reset(); }

    int Get() const { return m_fd; }
    bool IsValid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }

  private:
    int m_fd = -1;
};

// Descriptors the process has open now (from /proc/self/fd; 0 when that cannot be read).
int OpenDescriptorCount();
