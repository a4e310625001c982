// A Unix-socket client for tests of the peer Kestrum, writing bytes
// given as hex and reading raw bytes, with no framing code of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "peers/bytes.hpp"
#include "support/child_process.hpp"

namespace nt_test {

class raw_client_t
{
public:
    explicit raw_client_t(const std::string& path)
    {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                              static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size())) == 0;
    }
    ~raw_client_t() { close(); }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    void put(const std::string& hex)
    {
        std::string bytes = nt::hex_bytes(hex);
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Exactly n bytes, or fewer when the stream ends or time runs out.
    std::string take(std::size_t n)
    {
        std::string out;
        char buffer[4096];
        while (out.size() < n) {
            pollfd pfd = {fd, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(nt::peer_timeout.count())) != 1)
                break;
            ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, n - out.size()));
            if (got <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }
    bool nothing_readable()
    {
        pollfd pfd = {fd, POLLIN, 0};
        return ::poll(&pfd, 1, 0) == 0;
    }
    bool at_end()
    {
        char c;
        pollfd pfd = {fd, POLLIN, 0};
        return ::poll(&pfd, 1, static_cast<int>(nt::peer_timeout.count())) == 1 && ::read(fd, &c, 1) == 0;
    }

    int fd = -1;
    bool connected = false;
};

} // namespace nt_test
