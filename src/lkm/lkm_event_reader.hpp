// Reads the kernel module's monitor device on the interceptor thread and
// turns its EVENT_PATH packets into event records.
#pragma once

#include <cstddef>
#include <exception>
#include <vector>

#include <boost/noncopyable.hpp>

#include "lkm/kson.hpp"
#include "monitor/event.hpp"

// One read of the monitor device takes up to this many bytes.
const std::size_t TS_LKM_READ_SIZE = 4096;

class ts_lkm_event_reader_t : private boost::noncopyable
{
public:
    // wake_fd, borrowed (-1 for none), becomes readable when the reader must
    // stop waiting for the module.
    explicit ts_lkm_event_reader_t(int wake_fd = -1);
    // Releases the assembler; the monitor descriptor is not closed.
    ~ts_lkm_event_reader_t();

    // Borrows the monitor descriptor.
    void assign(int fd);

    // Reads until a read completes at least one EVENT_PATH packet that
    // deserializes, then replaces events with the events of that read, in
    // stream order (the module may complete several packets in one read;
    // none is dropped). Packets that do not deserialize are logged and
    // skipped. Returns false, with events empty, as soon as the wake-up
    // descriptor is readable. Interrupted reads and polls are repeated.
    // Throws boost::system::system_error with "read_some": Boost.Asio's end
    // of file when the device ends, the errno of a failed read or poll;
    // std::runtime_error("cannot parse stream") when the assembler fails (a
    // packet length beyond any packet, no memory); std::bad_alloc. Events
    // that the failing read completed before the failure are handed out
    // first, and the failure is thrown by the next call. After a throw the
    // reader is out of step with the stream and is not used again.
    bool read_events(std::vector<ts_event_t>& events);

    // Events deserialized by the last feed and not yet handed out.
    bool has_event() const { return !pending_.empty(); }

    // The assembler's callback: one packet body. Never throws; a failure is
    // kept and rethrown by read_events.
    static void on_event_path(kson_parser_t* parser, void* reader);

private:
    // Waits until the device is readable; false when woken instead.
    bool wait_readable();

    int fd_;
    int wake_fd_;
    char buffer_[TS_LKM_READ_SIZE];
    std::vector<ts_event_t> pending_;
    kson_stream_t* stream_;
    std::exception_ptr failure_;
};
