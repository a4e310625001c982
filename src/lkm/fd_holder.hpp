// Owns one file descriptor and closes it exactly once.
#pragma once

#include <boost/noncopyable.hpp>

class ts_fd_holder_t : private boost::noncopyable
{
public:
    explicit ts_fd_holder_t(int fd = -1) : fd_(fd) {}
    ~ts_fd_holder_t() { reset(); }

    int get() const { return fd_; }
    // Closes the held descriptor (when 0 or more) and holds fd instead.
    void reset(int fd = -1);

private:
    int fd_;
};
