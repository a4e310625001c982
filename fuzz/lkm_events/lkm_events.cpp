// The kernel module's monitor device as the event reader reads it: each
// piece of the stream comes back from one read(2) (a sequenced-packet
// socket keeps the pieces apart), in one piece, one byte at a time, or in
// pieces of uneven sizes, then the device ends.
// Properties: every cut gives the same events in the same order and ends
// the same way: at the end of the device, or with the documented stream
// failure; no other exception leaves the reader.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "lkm/lkm_event_reader.hpp"
#include "lkm/lkm_texts.hpp"
#include "support/fuzz_support.hpp"

namespace {

struct outcome_t
{
    std::vector<std::pair<std::string, int>> events;
    bool stream_failed = false;
    bool operator==(const outcome_t& other) const
    {
        return events == other.events && stream_failed == other.stream_failed;
    }
};

template <typename Piece>
outcome_t read_all(const std::uint8_t* data, std::size_t size, Piece piece)
{
    int fds[2];
    nt_fuzz::check(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0, "socketpair");
    // The module's side on a thread of its own: the socket holds few pieces.
    std::thread module([&] {
        for (std::size_t done = 0, i = 0; done < size; ++i) {
            std::size_t n = piece(i);
            if (n == 0 || n > size - done)
                n = size - done;
            if (n > TS_LKM_READ_SIZE)
                n = TS_LKM_READ_SIZE;
            if (!nt_fuzz::write_all(fds[1], data + done, n, MSG_NOSIGNAL))
                break; // the reader gave up
            done += n;
        }
        ::shutdown(fds[1], SHUT_WR);
    });

    outcome_t outcome;
    ts_lkm_event_reader_t reader;
    reader.assign(fds[0]);
    try {
        std::vector<ts_event_t> events;
        while (reader.read_events(events))
            for (const ts_event_t& event : events)
                outcome.events.emplace_back(*event.path, event.pid);
        nt_fuzz::fail("the reader stopped without a wake-up");
    } catch (const boost::system::system_error& error) {
        nt_fuzz::check(error.code() == boost::asio::error::eof, "another read failure");
    } catch (const std::runtime_error& error) {
        nt_fuzz::check(std::string(error.what()) == TS_TEXT_LKM_STREAM_FAILED, "another failure");
        outcome.stream_failed = true;
    }
    ::shutdown(fds[0], SHUT_RDWR);
    module.join();
    ::close(fds[0]);
    ::close(fds[1]);
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    const outcome_t whole = read_all(data, size, [](std::size_t) { return 0; });
    nt_fuzz::check(read_all(data, size, [](std::size_t) { return 1; }) == whole, "one byte at a time");
    nt_fuzz::check(read_all(data, size, [data, size](std::size_t i) { return data[i % size] % 13 + 1; }) == whole,
                   "uneven pieces");
    return 0;
}
