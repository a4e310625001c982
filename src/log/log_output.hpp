// Where the log writer (log/log_writer.hpp) puts the lines that a sink has
// finished: a descriptor, or the system logger. A sink shares its output
// with the lines it queued, so the output (an owned log file, a syslog
// ident) lives until the last of them has been written or dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

class cf_log_output_t
{
public:
    // Steady-clock nanoseconds (time_since_epoch) until which a write waits
    // for a destination that takes nothing; LOG_WAIT_FOREVER for no end.
    // The writer sets a bound once the sink that wrote to the output has
    // been replaced, while a write may be waiting.
    typedef std::atomic<std::int64_t> give_up_t;
    static constexpr std::int64_t LOG_WAIT_FOREVER = INT64_MAX;
    // The steady clock in those nanoseconds.
    static std::int64_t steady_ns()
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    virtual ~cf_log_output_t() {}
    // The finished line of a text at a level in this output's form. Any
    // thread; used by the writer for the line that reports dropped lines.
    virtual std::string line(int level, const std::string& text) const = 0;
    // Whether finished lines may be joined and written at once (a
    // descriptor); the system logger takes one line per message.
    virtual bool joins_lines() const = 0;
    // Where the lines go: outputs with the same destination (standard
    // error; the system logger; one log file, however often it was opened)
    // are written by one thread in the order they were queued, so that their
    // lines keep their order and never mix. Called once, when the writer
    // first sees the output.
    virtual std::string destination() const = 0;
    // Whether the destination already ends inside a line (a log file whose
    // last write was cut short) when the output is made.
    virtual bool starts_torn() const { return false; }
    // Writes the finished lines whole; returns how many of their bytes were
    // written, fewer than all when a write failed or the destination took
    // nothing until `give_up` passed. `torn`: the destination's last write
    // ended inside a line; a write then first ends that line with a newline,
    // so that no line holds two, and leaves `torn` as its own end left it.
    // Writer thread only: it may wait as long as the reader stalls.
    virtual std::size_t write(const std::string& lines, int level, bool& torn, const give_up_t& give_up) = 0;
    // The sink that owns the output is gone. Writer thread only.
    virtual void close() {}
};

typedef boost::shared_ptr<cf_log_output_t> cf_log_output_ptr;
