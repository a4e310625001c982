// The rate limit of one per-event log line (NT_LOG_EVENT in log/log.hpp):
// a directory the kernel cannot name, or a producer gone wrong, can make the
// same Warning for every file access, thousands a second. Within each
// interval at most `burst` lines of the call site are written; the first
// line after the interval (if any were held back) is preceded by one line
// that says how many were suppressed, the way journald reports its rate
// limit.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>

// At most LOG_EVENT_BURST lines of one text per LOG_EVENT_INTERVAL.
constexpr unsigned LOG_EVENT_BURST = 10;
constexpr std::chrono::seconds LOG_EVENT_INTERVAL(5);

class cf_log_limiter_t
{
public:
    typedef std::chrono::steady_clock::time_point time_point_t;
    typedef time_point_t (*clock_t)();

    // Trivially destructible and constant-initialised, so that a call site's
    // limiter is usable from any thread until the process is gone.
    constexpr cf_log_limiter_t(unsigned burst = LOG_EVENT_BURST,
                               std::chrono::steady_clock::duration interval = LOG_EVENT_INTERVAL,
                               clock_t clock = nullptr)
        : burst_(burst)
        , interval_(interval)
        , clock_(clock)
    {}

    // Whether a line of this text may be written now. `suppressed` is set to
    // the number held back in the interval that has just ended (0 when
    // none), to be reported before this line. Any thread.
    bool admit(std::uint64_t& suppressed);

private:
    // std::mutex, not boost::mutex as elsewhere: its constructor is
    // constexpr, which the constant initialization above needs.
    std::mutex mutex_;
    const unsigned burst_;
    const std::chrono::steady_clock::duration interval_;
    const clock_t clock_;
    bool started_ = false;
    time_point_t interval_start_{};
    unsigned written_ = 0;
    std::uint64_t held_back_ = 0;
};
