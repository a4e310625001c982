#include "links/kestrum.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "core/config.hpp"
#include "core/inventory.hpp"
#include "error/proto_error.hpp"
#include "links/links_texts.hpp"
#include "links/ostrand_tie.hpp"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"
#include "util/main_thread.hpp"

const int MAX_FLOW_ALARMS = 30;

namespace {

// Keys of the control messages of which one unwritten copy is enough.
const int OPEN_FLOW_KEY = 1;
const int FLOW_OPTIONS_KEY = 2;

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
    case ECONNREFUSED: return true;
    default: return false;
    }
}

} // namespace

ts_kestrum_t::ts_kestrum_t(ts_inventory_t* owner, std::chrono::steady_clock::duration limit)
    : event_loop_(owner->io_service_)
    , config_(owner->config())
    , ostrand_(owner->ostrand())
    , flow_open_(false)
    , options_pending_(false)
    , alarm_count_(0)
    , connect_limit_(limit)
    , connect_timer_(owner->io_service_)
{}

ts_kestrum_t::~ts_kestrum_t() {}

void ts_kestrum_t::connect()
{
    NT_ASSERT_MAIN_THREAD();
    // A new address while connected: start over as after a loss, so the new
    // connection begins with its OPEN_FLOW_REQUEST and nothing unread is lost.
    if (is_open())
        drop_connection();
    abandon_connect();
    boost::asio::local::stream_protocol::endpoint endpoint(socket_path_);
    ts_socket_ptr socket(new boost::asio::local::stream_protocol::socket(event_loop_));
    boost::system::error_code error;
    // Close-on-exec, like every descriptor of the daemon: modprobe, run on
    // this thread, must not inherit the connection.
    socket->open(endpoint.protocol(), error);
    if (!error && ::fcntl(socket->native_handle(), F_SETFD, FD_CLOEXEC) != 0)
        error = boost::system::error_code(errno, boost::system::system_category());
    if (error)
        throw boost::system::system_error(error, TS_TEXT_CONTEXT_KESTRUM_CONNECT);
    // Never blocking, so that a Kestrum that does not accept never holds the
    // main thread: signals, Ostrand and the handed-over events go on meanwhile.
    socket->non_blocking(true, error);
    if (error)
        throw boost::system::system_error(error, TS_TEXT_CONTEXT_KESTRUM_CONNECT);
    connecting_ = socket;
    connect_endpoint_ = endpoint;
    connect_deadline_ = std::chrono::steady_clock::now() + connect_limit_;
    try_connect(socket);
}

void ts_kestrum_t::abandon_connect()
{
    if (!connecting_)
        return;
    boost::system::error_code ignored;
    connecting_->close(ignored);
    connecting_.reset();
    connect_timer_.cancel();
}

void ts_kestrum_t::try_connect(const ts_socket_ptr& attempt)
{
    if (attempt != connecting_)
        return; // abandoned meanwhile
    int result;
    do
        result = ::connect(attempt->native_handle(), connect_endpoint_.data(), connect_endpoint_.size());
    while (result != 0 && errno == EINTR);
    if (result == 0 || errno == EISCONN) {
        connecting_.reset();
        boost::system::error_code ignored;
        attempt->non_blocking(false, ignored);
        NT_LOG(LOG_INFO_LEVEL, TS_TEXT_KESTRUM_ESTABLISHED);
        start(attempt);
        open_session();
        return;
    }
    // A Unix socket whose listener's backlog is full refuses a non-blocking
    // connect with EAGAIN and gives no sign when room appears: the attempt
    // is made again until the limit.
    if (errno != EAGAIN && errno != EINPROGRESS && errno != EALREADY) {
        const boost::system::error_code error(errno, boost::system::system_category());
        connecting_.reset();
        throw boost::system::system_error(error, TS_TEXT_CONTEXT_KESTRUM_CONNECT);
    }
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    if (now >= connect_deadline_) {
        abandon_connect();
        reconnect(TS_TEXT_KESTRUM_CONNECT_TIMED_OUT);
        return;
    }
    connect_timer_.expires_after(
        std::min<std::chrono::steady_clock::duration>(KESTRUM_CONNECT_RETRY, connect_deadline_ - now));
    const ts_kestrum_ptr self = shared_from_this();
    connect_timer_.async_wait([self, attempt](const boost::system::error_code& error) {
        if (!error)
            self->try_connect(attempt);
    });
}

void ts_kestrum_t::open_session()
{
    ks::ClientMessage message;
    message.set_tag(ks::ClientMessage::OPEN_FLOW_REQUEST);
    message.set_origin(nx::APP_LINUX_TARSEL);
    message.set_pid(static_cast<std::uint32_t>(::getpid()));
    make_flow_options(*config_, message.mutable_flow_options());
    send_recorded(message, OPEN_FLOW_KEY);
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_KESTRUM_SESSION_SENT);
}

void ts_kestrum_t::send_flow_options()
{
    if (!flow_open_) {
        options_pending_ = true;
        return;
    }
    options_pending_ = false;
    ks::ClientMessage message;
    message.set_tag(ks::ClientMessage::FLOW_OPTIONS_NOTIFICATION);
    make_flow_options(*config_, message.mutable_flow_options());
    send_recorded(message, FLOW_OPTIONS_KEY);
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_KESTRUM_OPTIONS_SENT);
}

void ts_kestrum_t::send_flow_data(paths_t::iterator first, paths_t::iterator last)
{
    NT_ASSERT_MAIN_THREAD();
    ks::ClientMessage message;
    message.set_tag(ks::ClientMessage::FLOW_DATA_NOTIFICATION);
    message.mutable_flow_path()->Reserve(static_cast<int>(last - first));
    for (; first != last; ++first)
        message.add_flow_path(std::move(*first));
    send_recorded(message);
}

void ts_kestrum_t::send_recorded(ks::ClientMessage& message, int replace_key)
{
    if (!is_open())
        return;
    std::size_t replaced = npos;
    const bool sent = send(message, replace_key, &replaced);
    if (replaced != npos)
        unread_.erase(unread_.begin() + static_cast<std::ptrdiff_t>(replaced));
    // Kept also when refused, so that its paths go back with the others.
    unread_.emplace_back();
    unread_.back().Swap(&message);
    if (!sent)
        reconnect(TS_TEXT_KESTRUM_NOT_READING);
}

void ts_kestrum_t::on_frames_written(std::size_t)
{
    NT_ASSERT_MAIN_THREAD();
    if (send_queue_empty())
        drained();
}

void ts_kestrum_t::on_frames_read(std::size_t frames)
{
    NT_ASSERT_MAIN_THREAD();
    while (frames-- > 0 && !unread_.empty())
        unread_.pop_front();
}

void ts_kestrum_t::on_message(const char* body, std::size_t size)
{
    NT_ASSERT_MAIN_THREAD();
    // Used whatever the parse reported: a missing or unknown tag reads as
    // START_SCAN_RESPONSE, which is then an unexpected message.
    ks::ServerMessage message;
    parse_body(message, body, size);
    handle_message(message);
}

void ts_kestrum_t::handle_message(const ks::ServerMessage& message)
{
    switch (message.tag()) {
    case ks::ServerMessage::CLOSE_FLOW_RESPONSE: return;
    case ks::ServerMessage::FLOW_ALARM: {
        const boost::system::error_code code = nx::make_error_code(message.error().code());
        NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_KESTRUM_ERROR_PREFIX << code.message());
        flow_open_ = false;
        options_pending_ = false;
        if (++alarm_count_ >= MAX_FLOW_ALARMS)
            throw nx::EC_NO_HALVERN;
        open_session();
        return;
    }
    case ks::ServerMessage::OPEN_FLOW_RESPONSE: {
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_KESTRUM_OPENED);
        const bool pending = options_pending_;
        flow_open_ = true;
        alarm_count_ = 0;
        if (pending)
            send_flow_options();
        flow_ready();
        return;
    }
    default: {
        NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_KESTRUM_UNKNOWN_PREFIX << static_cast<int>(message.tag()));
        throw boost::system::system_error(nx::make_error_code(nx::EC_UNEXPECTED_MESSAGE));
    }
    }
}

void ts_kestrum_t::on_error(const boost::system::error_code& error)
{
    NT_ASSERT_MAIN_THREAD();
    if (!is_lost_connection(error))
        throw boost::system::system_error(error, TS_TEXT_CONTEXT_KESTRUM);
    reconnect(error.message());
}

void ts_kestrum_t::reconnect(const std::string& reason)
{
    NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_KESTRUM_CLOSED_PREFIX << reason << TS_TEXT_KESTRUM_CLOSED_SUFFIX);
    drop_connection();
    ostrand_->send_kestrum_request();
}

void ts_kestrum_t::drop_connection()
{
    flow_open_ = false;
    options_pending_ = false;
    // What Kestrum may not have read: it drops its unread input with the
    // connection, so these paths go back to the front of the queue (a path
    // it did read is then scanned twice, which costs less than a path never
    // scanned).
    paths_t paths;
    for (const ks::ClientMessage& message : unread_)
        for (const std::string& path : message.flow_path())
            paths.push_back(path);
    unread_.clear();
    close();
    if (!paths.empty())
        unsent(paths);
}

boost::shared_ptr<ts_protobuf_link_t> ts_kestrum_t::shared_link()
{
    return shared_from_this();
}
