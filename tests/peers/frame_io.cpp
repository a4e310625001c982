#include "peers/frame_io.hpp"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <google/protobuf/message.h>

namespace nt {

bool write_all(int fd, const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    bool socket = true;
    while (size > 0) {
        ssize_t n = socket ? ::send(fd, p, size, MSG_NOSIGNAL) : ::write(fd, p, size);
        if (n < 0 && socket && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A reader that stopped reading must not hang the writer for good.
            pollfd pfd = {fd, POLLOUT, 0};
            if (::poll(&pfd, 1, 10000) <= 0) {
                errno = ETIMEDOUT;
                return false;
            }
            continue;
        }
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string frame_bytes(const std::string& body)
{
    std::uint32_t length = static_cast<std::uint32_t>(body.size());
    std::string out(reinterpret_cast<const char*>(&length), sizeof length);
    out += body;
    return out;
}

bool write_frame(int fd, const std::string& body)
{
    // One write for header and body, so that a reader never sees a header
    // alone unless the kernel splits it.
    std::string frame = frame_bytes(body);
    return write_all(fd, frame.data(), frame.size());
}

bool write_frame(int fd, const google::protobuf::Message& message)
{
    return write_frame(fd, message.SerializePartialAsString());
}

const char* frame_status_text(frame_status status)
{
    switch (status) {
    case frame_status::ok: return "ok";
    case frame_status::timeout: return "timeout";
    case frame_status::eof: return "eof";
    case frame_status::error: return "error";
    case frame_status::too_large: return "too large";
    }
    return "?";
}

frame_reader_t::frame_reader_t(int fd, std::uint32_t limit)
    : descriptor(fd)
    , limit(limit)
{}

bool frame_reader_t::take(std::string& body)
{
    if (buffer.size() - start < 4)
        return false;
    std::uint32_t length;
    std::memcpy(&length, buffer.data() + start, sizeof length);
    if (length > limit) {
        too_large = true;
        return false;
    }
    if (buffer.size() - start - 4 < length)
        return false;
    body.assign(buffer, start + 4, length);
    start += 4 + length;
    if (start == buffer.size()) {
        buffer.clear();
        start = 0;
    } else if (start > 65536 && start * 2 > buffer.size()) {
        buffer.erase(0, start);
        start = 0;
    }
    return true;
}

frame_status frame_reader_t::next(std::string& body, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (take(body))
            return frame_status::ok;
        if (too_large)
            return frame_status::too_large;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd pfd = {descriptor, POLLIN, 0};
        int ready = ::poll(&pfd, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return frame_status::error;
        if (ready == 0)
            return frame_status::timeout;
        char chunk[65536];
        ssize_t n = ::read(descriptor, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0)
            return errno == ECONNRESET ? frame_status::eof : frame_status::error;
        if (n == 0)
            return frame_status::eof;
        buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

} // namespace nt
