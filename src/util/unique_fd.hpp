// Sole owner of one file descriptor: closes it exactly once.
#pragma once

#include <boost/noncopyable.hpp>

class ts_unique_fd_t : private boost::noncopyable
{
public:
    explicit ts_unique_fd_t(int fd = -1) noexcept
        : fd_(fd)
    {}
    ~ts_unique_fd_t() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Closes the descriptor held (if any) and takes fd. Never throws.
    void reset(int fd = -1) noexcept;

    // Gives the descriptor up without closing it.
    int release() noexcept
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};
