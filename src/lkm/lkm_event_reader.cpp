#include "lkm/lkm_event_reader.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "lkm/kson_parser.hpp"
#include "lkm/lkm_messages.hpp"
#include "lkm/lkm_texts.hpp"

namespace {

[[noreturn]] void throw_read_error(int error)
{
    throw boost::system::system_error(error, boost::system::system_category(), TS_TEXT_CONTEXT_LKM_READ_SOME);
}

} // namespace

ts_lkm_event_reader_t::ts_lkm_event_reader_t(int wake_fd)
    : fd_(-1)
    , wake_fd_(wake_fd)
    , stream_(kson_stream_new(&ts_lkm_event_reader_t::on_event_path, this))
{}

ts_lkm_event_reader_t::~ts_lkm_event_reader_t()
{
    kson_stream_free(stream_);
}

void ts_lkm_event_reader_t::assign(int fd)
{
    fd_ = fd;
}

bool ts_lkm_event_reader_t::wait_readable()
{
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        const int ready = ::poll(fds, wake_fd_ >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw_read_error(errno);
        }
        // A stop wins over data that is waiting.
        if (wake_fd_ >= 0 && fds[1].revents != 0)
            return false;
        if ((fds[0].revents & POLLNVAL) != 0)
            throw_read_error(EBADF);
        // Readable, at its end, or failed: the read tells which.
        if (fds[0].revents != 0)
            return true;
    }
}

bool ts_lkm_event_reader_t::read_events(std::vector<ts_event_t>& events)
{
    events.clear();
    while (pending_.empty()) {
        // A failure kept behind the events of its own read, handed out first.
        if (failure_) {
            std::exception_ptr failure = failure_;
            failure_ = nullptr;
            std::rethrow_exception(failure);
        }
        if (!wait_readable())
            return false;
        const ssize_t got = ::read(fd_, buffer_, sizeof(buffer_));
        if (got == 0)
            throw boost::system::system_error(boost::asio::error::eof, TS_TEXT_CONTEXT_LKM_READ_SOME);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            throw_read_error(errno);
        }
        const bool fed = kson_stream_feed(stream_, buffer_, static_cast<size_t>(got));
        if (!fed && !failure_)
            failure_ = std::make_exception_ptr(std::runtime_error(TS_TEXT_LKM_STREAM_FAILED));
        // Events the read completed before the failure are not lost: they
        // go out now, and the failure with the next call (the loop's top).
    }
    events.swap(pending_);
    return true;
}

void ts_lkm_event_reader_t::on_event_path(kson_parser_t* parser, void* user)
{
    ts_lkm_event_reader_t* reader = static_cast<ts_lkm_event_reader_t*>(user);
    // Nothing may unwind through the C assembler, which frees the body and
    // the parser after this call.
    if (reader->failure_)
        return;
    try {
        ts_kson_parser_t packet(parser);
        ts_lkm_event_path_response_t response;
        if (!parse_response(response, packet)) {
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_LKM_EVENT_NOT_DESERIALIZED, "");
            return;
        }
        // No file has an empty path; the packet is damaged and must not be
        // forwarded as an access. One line of fixed text: the module can
        // send such a packet for every access.
        if (response.path->empty()) {
            NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_LKM_EVENT_EMPTY_PATH, "");
            return;
        }
        ts_event_t event;
        event.path = response.path;
        event.pid = static_cast<int>(response.pid);
        reader->pending_.push_back(event);
    } catch (...) {
        reader->failure_ = std::current_exception();
    }
}
