#include "lkm/fd_holder.hpp"

#include <unistd.h>

void ts_fd_holder_t::reset(int fd)
{
    if (fd_ >= 0 && fd_ != fd) {
        // Not retried on EINTR: on Linux the descriptor is gone either way,
        // and a second close could hit a number another thread reused.
        ::close(fd_);
    }
    fd_ = fd;
}
