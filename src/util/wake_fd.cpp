#include "util/wake_fd.hpp"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

ts_wake_fd_t::ts_wake_fd_t() noexcept
    : error_(0)
    , fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!fd_.valid())
        error_ = errno;
}

void ts_wake_fd_t::signal() noexcept
{
    if (!fd_.valid())
        return;
    const std::uint64_t one = 1;
    // Cannot fail short of an overflowing counter, which still wakes.
    const ssize_t written = ::write(fd_.get(), &one, sizeof one);
    (void)written;
}
