#include "util/unique_fd.hpp"

#include <unistd.h>

void ts_unique_fd_t::reset(int fd) noexcept
{
    if (fd_ >= 0 && fd_ != fd)
        // No retry on EINTR: on Linux the descriptor is released whatever
        // close reports, and a retry could close a descriptor reused since.
        ::close(fd_);
    fd_ = fd;
}
