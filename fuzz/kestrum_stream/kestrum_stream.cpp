// Kestrum's side of the flow as the daemon's Kestrum link reads it: the
// bytes Kestrum sends after the link's OPEN_FLOW_REQUEST, then the end of
// the connection. The link is the daemon's own, on a real socket, owned by
// the daemon's inventory (its configuration gives the flow options).
// Properties: the link ends only in the ways it documents (the unexpected
// message, the 30th alarm in a row, a frame too long, each an exception that
// ends the daemon) or with the connection lost; everything it writes is
// whole messages; it asks for a new flow once at the start and once after
// every alarm that does not end it; a body is read with the fields before
// its first cut or malformed field only, so a tag cut off is no tag.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "core/inventory.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "kestrum_client_ipc.pb.h"
#include "links/kestrum.hpp"
#include "support/fuzz_support.hpp"

namespace {

// How many OPEN_FLOW_REQUESTs the frames of the stream call for, and
// whether they end the daemon.
struct model_t
{
    std::size_t requests = 1;
    bool ends = false;
};

model_t model_of(const std::uint8_t* data, std::size_t size)
{
    model_t model;
    int alarms = 0;
    for (std::size_t offset = 0;;) {
        std::uint32_t length;
        if (size - offset < sizeof length)
            return model;
        std::memcpy(&length, data + offset, sizeof length);
        if (length > TS_MAX_FRAME_BODY) {
            model.ends = true;
            return model;
        }
        if (size - offset - sizeof length < length)
            return model;
        const ks::ServerMessage message =
            nt_fuzz::fields_before_failure<ks::ServerMessage>(data + offset + sizeof length, length);
        offset += sizeof length + length;
        switch (message.tag()) {
        case ks::ServerMessage::CLOSE_FLOW_RESPONSE: break;
        case ks::ServerMessage::OPEN_FLOW_RESPONSE: alarms = 0; break;
        case ks::ServerMessage::FLOW_ALARM:
            if (++alarms >= MAX_FLOW_ALARMS) {
                model.ends = true;
                return model;
            }
            ++model.requests;
            break;
        default: model.ends = true; return model;
        }
    }
}

bool drain(boost::asio::io_service& io)
{
    try {
        while (io.poll() > 0) {
        }
        return false;
    } catch (const nx::ErrorCode& code) {
        nt_fuzz::check(code == nx::EC_NO_HALVERN, "another code thrown");
    } catch (const boost::system::system_error& error) {
        nt_fuzz::check(error.code() == nx::make_error_code(nx::EC_UNEXPECTED_MESSAGE) ||
                           error.code() == nx::make_error_code(nx::EC_BAD_MESSAGE_SIZE),
                       "another system error thrown");
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    static ts_inventory_t& inventory = ts_inventory_t::instance();
    const model_t model = model_of(data, size);

    int fds[2];
    nt_fuzz::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    boost::asio::io_service io;
    boost::shared_ptr<ts_kestrum_t> kestrum = boost::make_shared<ts_kestrum_t>(&inventory);
    ts_socket_ptr socket = boost::make_shared<boost::asio::local::stream_protocol::socket>(io);
    socket->assign(boost::asio::local::stream_protocol(), fds[0]);
    kestrum->start(socket);
    kestrum->open_session();

    nt_fuzz::check(nt_fuzz::write_all(fds[1], data, size), "write to the link");
    bool ended = drain(io);
    if (!ended) {
        ::shutdown(fds[1], SHUT_WR);
        ended = drain(io);
        nt_fuzz::check(!ended && !kestrum->is_open(), "the end of the connection is no lost connection");
    }
    nt_fuzz::check(ended == model.ends, "ended otherwise than the frames say");

    // What the link wrote: whole ClientMessages, the requests the model counts.
    kestrum->close();
    io.poll();
    std::string written;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fds[1], chunk, sizeof chunk, MSG_DONTWAIT)) > 0 || (n < 0 && errno == EINTR);)
        if (n > 0)
            written.append(chunk, static_cast<std::size_t>(n));
    ::close(fds[1]);
    std::size_t requests = 0;
    for (std::size_t offset = 0; offset < written.size();) {
        std::uint32_t length;
        nt_fuzz::check(written.size() - offset >= sizeof length, "a cut header written");
        std::memcpy(&length, written.data() + offset, sizeof length);
        nt_fuzz::check(written.size() - offset - sizeof length >= length, "a cut body written");
        ks::ClientMessage message;
        nt_fuzz::check(message.ParseFromArray(written.data() + offset + sizeof length, static_cast<int>(length)),
                       "a written message does not parse whole");
        if (message.tag() == ks::ClientMessage::OPEN_FLOW_REQUEST)
            ++requests;
        offset += sizeof length + length;
    }
    nt_fuzz::check(requests == model.requests, "not one OPEN_FLOW_REQUEST per alarm");
    return 0;
}
