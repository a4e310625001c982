// Unix stream sockets made by hand, for the tests whose Kestrum must
// misbehave in ways the Kestrum peer does not (a full backlog, a
// connection that is never read).
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace nt {

// The address of the socket file; the path must fit sun_path.
inline sockaddr_un unix_address(const std::string& path)
{
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), std::min(path.size(), sizeof address.sun_path - 1));
    return address;
}

// A non-blocking, close-on-exec socket listening at the path with the
// backlog; -1 when it cannot be made.
inline int listen_unix(const std::string& path, int backlog)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    const sockaddr_un address = unix_address(path);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace nt
