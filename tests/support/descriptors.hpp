// The descriptors of this process, to see that a component closed all of its
// own and nothing more.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>

#include <cstddef>

namespace nt {

// Open descriptors of this process, not counting the one used to count them.
inline std::size_t open_fd_count()
{
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (struct dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count == 0 ? 0 : count - 1; // the directory's own descriptor
}

inline bool fd_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

} // namespace nt
