// Frames on a plain descriptor, written independently of the daemon's own
// link code: a 4-byte body length in host byte order, then the body.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace google {
namespace protobuf {
class Message;
}
} // namespace google

namespace nt {

// Largest body a peer accepts; a bigger announced length is reported
// as frame_status::too_large instead of being allocated.
const std::uint32_t max_frame_body = 64u * 1024u * 1024u;

// Writes all bytes, retrying partial writes and EINTR. On a socket the write
// never raises SIGPIPE. A descriptor that stays unwritable for 10 seconds
// fails with ETIMEDOUT. Returns false on failure with errno set.
bool write_all(int fd, const void* data, std::size_t size);

// One frame holding the body. Returns false on failure with errno set.
bool write_frame(int fd, const std::string& body);

// One frame holding the message's serialisation (partial messages too).
bool write_frame(int fd, const google::protobuf::Message& message);

// The 4 header bytes plus the body, as they go on the wire.
std::string frame_bytes(const std::string& body);

enum class frame_status {
    ok,        // one whole frame delivered
    timeout,   // no whole frame within the time; bytes read so far are kept
    eof,       // the peer closed; any partial frame is dropped
    error,     // read failed (errno set)
    too_large, // the header announced more than the limit; the stream is unusable
};

const char* frame_status_text(frame_status status);

// Reads frames from a descriptor it borrows (never closes). Keeps the bytes of
// a frame that is still arriving, so a timeout loses nothing.
class frame_reader_t
{
public:
    explicit frame_reader_t(int fd, std::uint32_t limit = max_frame_body);

    // Waits up to the timeout (poll) for the next whole frame; a zero timeout
    // only takes what has already arrived.
    frame_status next(std::string& body, std::chrono::milliseconds timeout);

    // Bytes received that do not yet form a whole frame.
    std::size_t pending() const { return buffer.size() - start; }
    int fd() const { return descriptor; }

private:
    bool take(std::string& body);

    int descriptor;
    std::uint32_t limit;
    std::string buffer;
    std::size_t start = 0;
    bool too_large = false;
};

} // namespace nt
