// The kernel module's control channel: synchronous exchanges of one request
// and one response on the control device, through which the mount points
// that the module watches are added and removed. Main thread only.
#pragma once

#include <chrono>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/noncopyable.hpp>

#include "lkm/chardev.hpp"
#include "lkm/kson_request.hpp"
#include "lkm/kson_response.hpp"
#include "util/unique_fd.hpp"

// The longest one exchange (request written, response read) may take: a
// module that never answers must not hold the main thread, and with it the
// daemon's signals, for longer.
const std::chrono::milliseconds TS_LKM_EXCHANGE_TIMEOUT(5000);
// How often an exchange that waits looks at the clock and for a pending
// SIGTERM or SIGINT.
const std::chrono::milliseconds TS_LKM_EXCHANGE_TICK(100);

class ts_lkm_control_t : private boost::noncopyable
{
public:
    // Makes the node (see ts_chardev_t, whose exceptions pass) and opens it
    // for reading and writing. Throws boost::system::system_error (errno,
    // "Couldn't open control char device") when the open fails; the node is
    // removed again then.
    // timeout bounds each exchange of add_dir and del_dir.
    ts_lkm_control_t(boost::asio::io_service& loop, const boost::filesystem::path& node, int major, int minor,
                     const ts_device_opener_t& opener = &ts_open_device,
                     std::chrono::milliseconds timeout = TS_LKM_EXCHANGE_TIMEOUT);
    // Closes the descriptor once, then removes the node.
    ~ts_lkm_control_t();

    // Ask the module to watch, or stop watching, the mount point dir. True
    // when it answered with error 0, false for any other error value. Throw
    // like send and receive, and also:
    // - boost::system::system_error (ETIMEDOUT, "write" or "read") after an
    //   Error line when the module has not taken the request and answered
    //   within the timeout;
    // - nx::EC_APP_TERMINATED, by value, after an Error line, when SIGTERM or
    //   SIGINT arrives while the module has not answered: the signal stays
    //   pending for the event loop, which cannot run before this returns.
    // Main thread: SIGTERM and SIGINT are held on the calling thread for the
    // length of the exchange.
    bool add_dir(const std::string& dir);
    bool del_dir(const std::string& dir);

    // Writes the whole request packet. Throws boost::system::system_error:
    // monitoring code 208 with "LKM" when the packet cannot be built, the
    // write's error with "write".
    void send(const ts_kson_request_t& request);
    // Reads one response packet into response. Throws
    // boost::system::system_error: the read's error (end of file included)
    // with "read"; monitoring code 209 with "LKM" when the body is not a
    // readable response of the expected type or is longer than any response.
    void receive(ts_kson_response_t& response);

private:
    template <class Request, class Response>
    bool exchange(const char* text, const std::string& dir);
    void read_exactly(void* buffer, size_t size);
    // After an interrupted read or write: throws when the exchange must end.
    void check_interrupted(const char* context) const;

    boost::asio::io_service& loop_;
    boost::asio::posix::stream_descriptor stream_;
    ts_chardev_t node_;
    ts_unique_fd_t descriptor_;
    std::chrono::milliseconds timeout_;
    // The end of the exchange under way; never while none is.
    std::chrono::steady_clock::time_point deadline_;
};
