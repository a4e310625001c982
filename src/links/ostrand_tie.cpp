#include "links/ostrand_tie.hpp"

#include <fcntl.h>

#include <sstream>

#include <boost/bind/bind.hpp>
#include <boost/system/system_error.hpp>

#include "core/config.hpp"
#include "core/inventory.hpp"
#include "core/version.hpp"
#include "error/proto_error.hpp"
#include "links/kestrum.hpp"
#include "links/links_texts.hpp"
#include "log/log.hpp"
#include "monitor/file_monitor.hpp"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "util/main_thread.hpp"

namespace {

// Keys of the requests of which one unwritten copy is enough: Ostrand
// answers each request it reads, and one answer serves them all.
const int CONTEXT_REQUEST_KEY = 1;
const int KESTRUM_REQUEST_KEY = 2;

} // namespace

ts_ostrand_tie_t::ts_ostrand_tie_t(ts_inventory_t* owner)
    : owner_(owner)
    , first_context_(true)
{
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_OSTRAND_CONSTRUCTED);
}

ts_ostrand_tie_t::~ts_ostrand_tie_t() {}

void ts_ostrand_tie_t::start(int descriptor)
{
    NT_ASSERT_MAIN_THREAD();
    ts_socket_ptr socket(new boost::asio::local::stream_protocol::socket(owner_->io_service_));
    socket->assign(boost::asio::local::stream_protocol(), descriptor);
    // Close-on-exec from here on: modprobe, run by the daemon, must not
    // inherit the link to Ostrand.
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    ts_protobuf_link_t::start(socket);
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_OSTRAND_STARTED);
}

void ts_ostrand_tie_t::send_context_request()
{
    nx::LinuxTarsel2OstrandMessage message;
    message.set_tag(nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST);
    send_to_ostrand(message, CONTEXT_REQUEST_KEY);
}

void ts_ostrand_tie_t::send_info_notification(std::uint32_t config_revision, int state)
{
    nx::LinuxTarsel2OstrandMessage message;
    message.set_tag(nx::LinuxTarsel2OstrandMessage::MY_INFO_NOTIFICATION);
    message.set_config_revision(config_revision);
    message.mutable_info()->set_state(static_cast<nx::LinuxTarselState>(state));
    send_to_ostrand(message, 0);
}

void ts_ostrand_tie_t::send_kestrum_request()
{
    nx::LinuxTarsel2OstrandMessage message;
    message.set_tag(nx::LinuxTarsel2OstrandMessage::GET_KESTRUM_REQUEST);
    send_to_ostrand(message, KESTRUM_REQUEST_KEY);
}

void ts_ostrand_tie_t::send_to_ostrand(const nx::LinuxTarsel2OstrandMessage& message, int replace_key)
{
    if (send(message, replace_key))
        return;
    // Ostrand reads nothing: ended like a lost link, for Ostrand to start
    // the daemon again, rather than holding its output without end.
    NT_LOG(LOG_ERROR_LEVEL,
           TS_TEXT_OSTRAND_NOT_READING << TS_OUTPUT_HIGH_WATERMARK << TS_TEXT_OSTRAND_NOT_READING_BYTES);
    throw boost::system::system_error(boost::system::errc::make_error_code(boost::system::errc::no_buffer_space),
                                      TS_TEXT_CONTEXT_OSTRAND);
}

void ts_ostrand_tie_t::on_message(const char* body, std::size_t size)
{
    NT_ASSERT_MAIN_THREAD();
    // Used whatever the parse reported: a missing or unknown tag reads as
    // GET_CONTEXT_RESPONSE, and an empty body applies the default configuration.
    // Parsed without the required-field check, which would only add the
    // protobuf library's own line on standard error, past the configured log.
    nx::Ostrand2LinuxTarselMessage message;
    parse_body(message, body, size);
    dispatch(message);
}

void ts_ostrand_tie_t::on_error(const boost::system::error_code& error)
{
    NT_ASSERT_MAIN_THREAD();
    throw boost::system::system_error(error, TS_TEXT_CONTEXT_OSTRAND);
}

boost::shared_ptr<ts_protobuf_link_t> ts_ostrand_tie_t::shared_link()
{
    return shared_from_this();
}

void ts_ostrand_tie_t::dispatch(const nx::Ostrand2LinuxTarselMessage& message)
{
    switch (message.tag()) {
    case nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE: on_context_response(message); break;
    case nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE: on_kestrum_response(message); break;
    }
}

void ts_ostrand_tie_t::on_context_response(const nx::Ostrand2LinuxTarselMessage& message)
{
    NT_ASSERT_MAIN_THREAD();
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_OSTRAND_CONTEXT_RESPONSE);
    apply_config(*owner_->config(), message.config());
    const std::uint32_t revision = message.config_revision();
    send_info_notification(revision, owner_->file_monitor()->mode());
    owner_->file_monitor()->configure(owner_->config()->mode());
    if (first_context_) {
        ready_connection_ = owner_->kestrum()->flow_ready.connect(
            boost::bind(&ts_ostrand_tie_t::on_ready, this, revision), boost::signals2::at_back);
        send_kestrum_request();
        first_context_ = false;
    } else {
        owner_->kestrum()->send_flow_options();
        on_ready(revision);
    }
}

void ts_ostrand_tie_t::on_kestrum_response(const nx::Ostrand2LinuxTarselMessage& message)
{
    NT_ASSERT_MAIN_THREAD();
    if (message.has_error())
        throw boost::system::system_error(nx::make_error_code(message.error().code()));
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_OSTRAND_KESTRUM_RESPONSE);
    ts_kestrum_t* kestrum = owner_->kestrum();
    kestrum->set_socket_path(message.socket_path());
    // OPEN_FLOW_REQUEST follows once the connection is made.
    kestrum->connect();
}

void ts_ostrand_tie_t::on_ready(std::uint32_t config_revision)
{
    NT_ASSERT_MAIN_THREAD();
    ready_connection_.disconnect();
    const int state = owner_->file_monitor()->mode();
    send_info_notification(config_revision, state);
    const char* const mode = state == nx::LTS_FANOTIFY ? TS_TEXT_OSTRAND_READY_MODE_FANOTIFY
                             : state == nx::LTS_LKM    ? TS_TEXT_OSTRAND_READY_MODE_LKM
                                                       : "";
    NT_LOG(LOG_NOTICE_LEVEL, TS_TEXT_OSTRAND_READY_PREFIX << NT_VERSION_TEXT << TS_TEXT_OSTRAND_READY_SUFFIX << mode);
}
