// The frame reassembly that the Ostrand and the Kestrum link share: the
// peer's bytes arrive on a real socket, as one piece, one byte at a time and
// in pieces of uneven sizes, each piece read as read(2) returns it.
// Properties: every way of cutting the stream delivers the same bodies and
// ends in the same error as a plain reading of the frames; the memory that
// the link holds grows no faster than the bytes that arrived.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/make_shared.hpp>

#include "error/proto_error.hpp"
#include "links/protobuf_link.hpp"
#include "support/fuzz_support.hpp"

namespace {

class recording_link_t : public boost::enable_shared_from_this<recording_link_t>, public ts_protobuf_link_t
{
public:
    std::vector<std::string> bodies;
    std::vector<boost::system::error_code> errors;

protected:
    void on_message(const char* body, std::size_t size) override { bodies.emplace_back(body, size); }
    void on_error(const boost::system::error_code& error) override { errors.push_back(error); }
    ts_protobuf_link_ptr shared_link() override { return shared_from_this(); }
};

struct outcome_t
{
    std::vector<std::string> bodies;
    std::vector<boost::system::error_code> errors;
    bool operator==(const outcome_t& other) const { return bodies == other.bodies && errors == other.errors; }
};

// What the frames say, read plainly: bodies until a frame too long (refused
// at its header) or the end of the stream.
outcome_t expected_of(const std::uint8_t* data, std::size_t size)
{
    outcome_t outcome;
    std::size_t offset = 0;
    for (;;) {
        std::uint32_t length;
        if (size - offset < sizeof length)
            break;
        std::memcpy(&length, data + offset, sizeof length);
        if (length > TS_MAX_FRAME_BODY) {
            outcome.errors.push_back(nx::make_error_code(nx::EC_BAD_MESSAGE_SIZE));
            return outcome;
        }
        if (size - offset - sizeof length < length)
            break;
        outcome.bodies.emplace_back(reinterpret_cast<const char*>(data) + offset + sizeof length, length);
        offset += sizeof length + length;
    }
    outcome.errors.push_back(boost::asio::error::eof);
    return outcome;
}

// piece(i) gives the size of the i-th piece; 0 for all the rest at once.
template <typename Piece>
outcome_t delivered(const std::uint8_t* data, std::size_t size, Piece piece)
{
    int fds[2];
    nt_fuzz::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    boost::asio::io_service io;
    boost::shared_ptr<recording_link_t> link = boost::make_shared<recording_link_t>();
    {
        ts_socket_ptr socket = boost::make_shared<boost::asio::local::stream_protocol::socket>(io);
        socket->assign(boost::asio::local::stream_protocol(), fds[0]);
        link->start(socket);
    }
    io.poll();
    const std::size_t before = nt_fuzz::allocated_bytes();
    std::size_t done = 0;
    // After an error the link reads nothing more: what follows stays unread.
    for (std::size_t i = 0; done < size && link->errors.empty(); ++i) {
        std::size_t n = piece(i);
        if (n == 0 || n > size - done)
            n = size - done;
        nt_fuzz::check(nt_fuzz::write_all(fds[1], data + done, n), "write to the link");
        done += n;
        while (io.poll() > 0) {
        }
        const std::size_t now = nt_fuzz::allocated_bytes();
        nt_fuzz::check(now < before || now - before <= 2 * done + 256 * 1024,
                       "the link holds far more memory than the bytes that arrived");
    }
    ::shutdown(fds[1], SHUT_WR);
    while (io.poll() > 0) {
    }
    outcome_t outcome{link->bodies, link->errors};
    link->close();
    io.poll();
    ::close(fds[1]);
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    const outcome_t expected = expected_of(data, size);
    nt_fuzz::check(delivered(data, size, [](std::size_t) { return 0; }) == expected, "whole stream");
    nt_fuzz::check(delivered(data, size, [](std::size_t) { return 1; }) == expected, "one byte at a time");
    nt_fuzz::check(delivered(data, size, [data, size](std::size_t i) { return data[i % size] % 7 + 1; }) == expected,
                   "uneven pieces");
    return 0;
}
