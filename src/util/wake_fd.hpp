// The wake-up descriptor of a loop that waits in poll or epoll and must be
// told to stop: an eventfd that signal makes readable for good.
#pragma once

#include <boost/noncopyable.hpp>

#include "util/unique_fd.hpp"

class ts_wake_fd_t : private boost::noncopyable
{
public:
    // Makes a close-on-exec, non-blocking eventfd. Never throws: when none
    // can be made, valid is false and error holds the errno, so that each
    // owner reports the failure its own way.
    ts_wake_fd_t() noexcept;
    // Closes the descriptor, once.
    ~ts_wake_fd_t() = default;

    bool valid() const noexcept { return fd_.valid(); }
    // The descriptor to wait on (POLLIN / EPOLLIN), -1 when none was made.
    // Borrowed: the wake-up object stays its only owner.
    int get() const noexcept { return fd_.get(); }
    // Why no descriptor was made, else 0.
    int error() const noexcept { return error_; }

    // Makes the descriptor readable; it stays readable, so every later wait
    // returns at once too. Any thread, any number of times; does nothing
    // without a descriptor. Never throws.
    void signal() noexcept;

private:
    int error_;
    ts_unique_fd_t fd_;
};
