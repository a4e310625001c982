#include "links/kestrum.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "core/config.hpp"
#include "core/inventory.hpp"
#include "error/proto_error.hpp"
#include "links/ostrand_tie.hpp"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"

const int MAX_FLOW_ALARMS = 30;
const char* const KESTRUM_CONTEXT = "Kestrum connection";
const char* const KESTRUM_CONNECT_CONTEXT = "connect";
const char* const KESTRUM_CLOSED_PREFIX = "Kestrum connection is closed: ";
const char* const KESTRUM_CLOSED_SUFFIX = ". Reconnecting.";
const char* const KESTRUM_ESTABLISHED = "Kestrum connection has been established";
const char* const KESTRUM_SESSION_SENT = "Kestrum open session message has been sent";
const char* const KESTRUM_OPTIONS_SENT = "Kestrum flow options message has been sent";
const char* const KESTRUM_OPENED = "ServerMessage::OPEN_FLOW_RESPONSE has been received";
const char* const KESTRUM_ERROR_PREFIX = "Kestrum error: ";
const char* const KESTRUM_UNKNOWN_PREFIX = "unknown message: ";

namespace {

bool is_lost_connection(const boost::system::error_code& error)
{
    if (error == boost::asio::error::eof)
        return true;
    if (error.category() != boost::system::system_category())
        return false;
    switch (error.value()) {
    case EPIPE:
    case ECONNRESET:
    case ECONNABORTED:
    case ECONNREFUSED:
        return true;
    default:
        return false;
    }
}

} // namespace

ts_kestrum_t::ts_kestrum_t(ts_inventory_t* owner_)
    : owner(owner_)
    , flow_open(false)
    , options_pending(false)
    , alarm_count(0)
{
}

ts_kestrum_t::~ts_kestrum_t()
{
}

void ts_kestrum_t::connect()
{
    // A new address while connected: start over as after a loss, so the new
    // connection begins with its OPEN_FLOW_REQUEST and nothing unsent is lost.
    if (is_open())
        drop_connection();
    boost::asio::local::stream_protocol::endpoint endpoint(socket_path);
    ts_socket_ptr socket(new boost::asio::local::stream_protocol::socket(owner->io_service_));
    boost::system::error_code error;
    // Close-on-exec, like every descriptor of the daemon: modprobe, run on
    // this thread, must not inherit the connection.
    socket->open(endpoint.protocol(), error);
    if (!error && ::fcntl(socket->native_handle(), F_SETFD, FD_CLOEXEC) != 0)
        error = boost::system::error_code(errno, boost::system::system_category());
    if (!error)
        socket->connect(endpoint, error);
    if (error)
        throw boost::system::system_error(error, KESTRUM_CONNECT_CONTEXT);
    NT_LOG(LOG_INFO_LEVEL, KESTRUM_ESTABLISHED);
    start(socket);
}

void ts_kestrum_t::open_session()
{
    ks::ClientMessage message;
    message.set_tag(ks::ClientMessage::OPEN_FLOW_REQUEST);
    message.set_origin(nx::APP_LINUX_TARSEL);
    message.set_pid(static_cast<std::uint32_t>(::getpid()));
    make_flow_options(*owner->config(), message.mutable_flow_options());
    send_recorded(message);
    NT_LOG(LOG_DEBUG_LEVEL, KESTRUM_SESSION_SENT);
}

void ts_kestrum_t::send_flow_options()
{
    if (!flow_open) {
        options_pending = true;
        return;
    }
    options_pending = false;
    ks::ClientMessage message;
    message.set_tag(ks::ClientMessage::FLOW_OPTIONS_NOTIFICATION);
    make_flow_options(*owner->config(), message.mutable_flow_options());
    send_recorded(message);
    NT_LOG(LOG_DEBUG_LEVEL, KESTRUM_OPTIONS_SENT);
}

void ts_kestrum_t::send_flow_data(paths_t::const_iterator first, paths_t::const_iterator last)
{
    ks::ClientMessage message;
    message.set_tag(ks::ClientMessage::FLOW_DATA_NOTIFICATION);
    message.mutable_flow_path()->Reserve(static_cast<int>(last - first));
    for (; first != last; ++first)
        message.add_flow_path(*first);
    send_recorded(message);
}

void ts_kestrum_t::send_recorded(ks::ClientMessage& message)
{
    if (!is_open())
        return;
    send(message);
    unwritten.emplace_back();
    unwritten.back().Swap(&message);
}

void ts_kestrum_t::on_frames_written(std::size_t frames)
{
    while (frames-- > 0 && !unwritten.empty())
        unwritten.pop_front();
    if (send_queue_empty())
        drained();
}

void ts_kestrum_t::on_message(std::istream& body)
{
    // Used whatever the parse reported: a missing or unknown tag reads as
    // START_SCAN_RESPONSE, which is then an unexpected message.
    ks::ServerMessage message;
    message.ParsePartialFromIstream(&body);
    handle_message(message);
}

void ts_kestrum_t::handle_message(const ks::ServerMessage& message)
{
    switch (message.tag()) {
    case ks::ServerMessage::CLOSE_FLOW_RESPONSE:
        return;
    case ks::ServerMessage::FLOW_ALARM: {
        const boost::system::error_code code = nx::make_error_code(message.error().code());
        NT_LOG(LOG_ERROR_LEVEL, KESTRUM_ERROR_PREFIX << code.message());
        flow_open = false;
        options_pending = false;
        if (++alarm_count >= MAX_FLOW_ALARMS)
            throw nx::EC_NO_HALVERN;
        open_session();
        return;
    }
    case ks::ServerMessage::OPEN_FLOW_RESPONSE: {
        NT_LOG(LOG_DEBUG_LEVEL, KESTRUM_OPENED);
        const bool pending = options_pending;
        flow_open = true;
        alarm_count = 0;
        if (pending)
            send_flow_options();
        flow_ready();
        return;
    }
    default: {
        NT_LOG(LOG_ERROR_LEVEL, KESTRUM_UNKNOWN_PREFIX << static_cast<int>(message.tag()));
        throw boost::system::system_error(nx::make_error_code(nx::EC_UNEXPECTED_MESSAGE));
    }
    }
}

void ts_kestrum_t::on_error(const boost::system::error_code& error)
{
    if (!is_lost_connection(error))
        throw boost::system::system_error(error, KESTRUM_CONTEXT);
    NT_LOG(LOG_ERROR_LEVEL, KESTRUM_CLOSED_PREFIX << error.message() << KESTRUM_CLOSED_SUFFIX);
    drop_connection();
    owner->ostrand()->send_kestrum_request();
}

void ts_kestrum_t::drop_connection()
{
    flow_open = false;
    options_pending = false;
    paths_t paths;
    for (const ks::ClientMessage& message : unwritten)
        for (const std::string& path : message.flow_path())
            paths.push_back(path);
    unwritten.clear();
    close();
    if (!paths.empty())
        unsent(paths);
}

boost::shared_ptr<ts_protobuf_link_t> ts_kestrum_t::shared_link()
{
    return shared_from_this();
}
