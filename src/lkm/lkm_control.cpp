#include "lkm/lkm_control.hpp"

#include <fcntl.h>

#include <cerrno>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "error.pb.h"
#include "lkm/kson.hpp"
#include "lkm/kson_parser.hpp"
#include "lkm/lkm_messages.hpp"
#include "lkm/lkm_texts.hpp"
#include "lkm/termination_hold.hpp"
#include "monitor/monitor_error.hpp"
#include "util/thread_alarm.hpp"

namespace {

// For the length of an exchange: SIGTERM and SIGINT are held on this thread,
// so that one that arrives stays pending where the exchange can see it; an
// alarm interrupts the blocking calls at every tick. Both end with the
// exchange, and a signal held meanwhile then reaches the event loop.
class exchange_guard_t : private boost::noncopyable
{
public:
    exchange_guard_t() { alarm_.arm(TS_LKM_EXCHANGE_TICK, TS_LKM_EXCHANGE_TICK); }

    ~exchange_guard_t() { alarm_.disarm(); }

private:
    // Held before the alarm is armed, given back after it is disarmed.
    const ts_termination_hold_t hold_;
    ts_thread_alarm_t alarm_;
};

// Frees the parser and its tree however receive ends.
struct parser_release_t
{
    kson_parser_t* parser;
    ~parser_release_t() { kson_parser_free(parser); }
};

} // namespace

ts_lkm_control_t::ts_lkm_control_t(boost::asio::io_service& loop, const boost::filesystem::path& node, int major,
                                   int minor, const ts_device_opener_t& opener, std::chrono::milliseconds timeout)
    : loop_(loop)
    , stream_(loop)
    , node_(node, major, minor)
    , timeout_(timeout)
    , deadline_(std::chrono::steady_clock::time_point::max())
{
    descriptor_.reset(opener(node_.path().string(), O_RDWR));
    if (descriptor_.get() < 0)
        throw boost::system::system_error(errno, boost::system::system_category(), TS_TEXT_LKM_OPEN_CONTROL_FAILED);
    stream_.assign(descriptor_.get());
}

ts_lkm_control_t::~ts_lkm_control_t()
{
    // The holder is the descriptor's only owner: the stream gives it up
    // here, then the holder closes it and the node goes.
    stream_.release();
}

bool ts_lkm_control_t::add_dir(const std::string& dir)
{
    return exchange<ts_lkm_add_dir_request_t, ts_lkm_add_dir_response_t>(TS_TEXT_LKM_ADDING, dir);
}

bool ts_lkm_control_t::del_dir(const std::string& dir)
{
    return exchange<ts_lkm_del_dir_request_t, ts_lkm_del_dir_response_t>(TS_TEXT_LKM_DELETING, dir);
}

template <class Request, class Response>
bool ts_lkm_control_t::exchange(const char* text, const std::string& dir)
{
    const Request request(dir);
    NT_LOG(LOG_DEBUG_LEVEL, text << '"' << dir << '"');
    Response response;
    {
        const exchange_guard_t guard;
        // No deadline outside an exchange, however this one ends.
        struct deadline_t
        {
            std::chrono::steady_clock::time_point& at;
            ~deadline_t() { at = std::chrono::steady_clock::time_point::max(); }
        } const deadline = {deadline_};
        deadline.at = std::chrono::steady_clock::now() + timeout_;
        send(request);
        receive(response);
    }
    return response.error == 0;
}

void ts_lkm_control_t::check_interrupted(const char* context) const
{
    if (ts_termination_hold_t::pending()) {
        NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_LKM_EXCHANGE_TERMINATED);
        throw nx::EC_APP_TERMINATED;
    }
    if (std::chrono::steady_clock::now() >= deadline_) {
        NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_LKM_EXCHANGE_TIMED_OUT << timeout_.count() << TS_TEXT_LKM_MILLISECONDS);
        throw boost::system::system_error(ETIMEDOUT, boost::system::system_category(), context);
    }
}

void ts_lkm_control_t::send(const ts_kson_request_t& request)
{
    std::vector<char> packet;
    size_t size = 0;
    if (!serialize_request(request, packet, size))
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_SERIALIZE), TS_TEXT_CONTEXT_LKM);
    size_t written = 0;
    while (written < size) {
        boost::system::error_code error;
        written += stream_.write_some(boost::asio::buffer(packet.data() + written, size - written), error);
        if (error == boost::asio::error::interrupted) {
            check_interrupted(TS_TEXT_CONTEXT_LKM_WRITE);
        } else if (error) {
            throw boost::system::system_error(error, TS_TEXT_CONTEXT_LKM_WRITE);
        }
    }
}

void ts_lkm_control_t::read_exactly(void* buffer, size_t size)
{
    size_t read = 0;
    while (read < size) {
        boost::system::error_code error;
        read += stream_.read_some(boost::asio::buffer(static_cast<char*>(buffer) + read, size - read), error);
        if (error == boost::asio::error::interrupted) {
            check_interrupted(TS_TEXT_CONTEXT_LKM_READ);
        } else if (error) {
            throw boost::system::system_error(error, TS_TEXT_CONTEXT_LKM_READ);
        }
    }
}

void ts_lkm_control_t::receive(ts_kson_response_t& response)
{
    uint32_t length = 0;
    read_exactly(&length, sizeof(length));
    // A response is a small object; a length beyond any packet means the
    // device sent garbage, which is not allocated.
    if (length > KSON_MAX_BODY)
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_PARSE), TS_TEXT_CONTEXT_LKM);
    std::vector<uint8_t> body(length);
    read_exactly(body.data(), body.size());
    ts_kson_parser_t parser(body.data(), body.size());
    const parser_release_t release = {parser.get()};
    if (!parse_response(response, parser))
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_PARSE), TS_TEXT_CONTEXT_LKM);
}
