// The daemon's single log entry and its process-wide state.
//
// Every line is logged through NT_LOG, which tests the threshold once and
// builds the text only when the line is wanted; the pieces are streamed:
//     NT_LOG(LOG_NOTICE_LEVEL, TS_TEXT_SIGHUP_ARRIVED);
//     NT_LOG(LOG_DEBUG_LEVEL, "PID: " << pid << " Access on: " << path);
//     NT_LOG(LOG_DEBUG_LEVEL, (added ? "added " : "not added ") << dir);  // ?: in parentheses
// A line that a single file access can cause (a failed readlink, a dropped
// path) goes through NT_LOG_EVENT instead, which also limits how many lines
// of its text are written (log/log_limiter.hpp):
//     NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_READLINK_FAILED, record.fd);
//     NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_OVERFLOW, "");
//
// Lines reach the daemon's sinks escaped: every byte below 0x20, the byte 0x7F and
// the backslash in a text are written as a backslash and three octal digits
// ("\012" for a newline, "\134" for a backslash), so that a file name can
// never start a line of its own or pass for one. A text without such bytes is
// written unchanged.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include <boost/thread/mutex.hpp>

#include "log/log_format.hpp"
#include "log/log_limiter.hpp"
#include "log/log_line.hpp"
#include "log/log_sink.hpp"
#include "log/log_texts.hpp"

namespace nx {
class Log;
}

enum cf_log_level_t {
    LOG_DEBUG_LEVEL = 0,
    LOG_INFO_LEVEL = 1,
    LOG_NOTICE_LEVEL = 2,
    LOG_WARNING_LEVEL = 3,
    LOG_ERROR_LEVEL = 4
};

// Lowest level written. Written on the main thread by the configuration road,
// read on every thread.
extern std::atomic<int> log_threshold;

// Held while the sink is replaced. No sink holds it while it writes: the
// writing happens on the log writer's threads (log/log_writer.hpp). Never
// destroyed, so threads still running at exit can log.
boost::mutex& log_mutex();

// Whether a line of the level is written: the one test of the threshold.
inline bool log_wanted(int level)
{
    return log_threshold.load(std::memory_order_relaxed) <= level;
}

// The logging entry point: `pieces` is streamed into the line (see
// cf_log_line_t) only when the level passes the threshold. A conditional
// among the pieces needs parentheses of its own.
#define NT_LOG(level_, pieces_)                                                                                        \
    do {                                                                                                               \
        const int nt_log_level_ = (level_);                                                                            \
        if (log_wanted(nt_log_level_)) {                                                                               \
            cf_log_line_t nt_log_line_;                                                                                \
            nt_log_line_ << pieces_;                                                                                   \
            log_message(nt_log_level_, nt_log_line_.text());                                                           \
        }                                                                                                              \
    } while (0)

// NT_LOG for a line that one file access can cause: `text` (a fixed text)
// then `more`, at most LOG_EVENT_BURST lines of this call site per
// LOG_EVENT_INTERVAL; the first line after a limited interval is preceded by
// "Suppressed <n> messages like: <text>" at the same level.
#define NT_LOG_EVENT(level_, text_, more_)                                                                             \
    do {                                                                                                               \
        const int nt_log_level_ = (level_);                                                                            \
        if (log_wanted(nt_log_level_)) {                                                                               \
            static cf_log_limiter_t nt_log_limiter_;                                                                   \
            std::uint64_t nt_log_suppressed_ = 0;                                                                      \
            if (nt_log_limiter_.admit(nt_log_suppressed_)) {                                                           \
                if (nt_log_suppressed_ != 0)                                                                           \
                    log_suppressed(nt_log_level_, nt_log_suppressed_, (text_));                                        \
                cf_log_line_t nt_log_line_;                                                                            \
                nt_log_line_ << (text_) << more_;                                                                      \
                log_message(nt_log_level_, nt_log_line_.text());                                                       \
            }                                                                                                          \
        }                                                                                                              \
    } while (0)

// Writes one line whatever the threshold: to the installed sink, else to
// standard error as "<Level>: <text>", the text escaped (see above). Any
// thread; it never waits for the line to be written (see log_flush).
// Throws what a sink of the tests throws; the daemon's own sinks throw
// nothing but std::bad_alloc.
void log_message(int level, const std::string& text);

// "Suppressed <count> messages like: <text>" at the level.
void log_suppressed(int level, std::uint64_t count, const char* text);

// How long the exit waits at most for the last lines to be written.
constexpr std::chrono::milliseconds LOG_EXIT_DRAIN(750);

// Waits until every line logged so far has been written, or the time is up;
// returns whether all were written. Lines a sink does not take meanwhile stay
// queued (or are counted as dropped); the caller goes on either way.
bool log_flush(std::chrono::milliseconds timeout);

// One line that speaks for another process. Any thread.
void log_from_process(const std::string& source, int pid, const std::string& text);

// Replaces the installed sink (an empty one sends lines to standard error
// again): opens the new sink, installs it, then releases the old one, which
// a logging call still using it keeps alive until the call ends. A syslog
// sink replacing another keeps its own connection. Main thread only.
// Throws boost::lock_error when log_mutex cannot be locked.
void set_log_sink(const cf_log_ptr& sink);

// A sink for the setting: syslog, a log file (opened for appending,
// created 0640, close-on-exec), standard error with time stamps or plain;
// empty for AUTO and any other type. A log file is reached only through
// symbolic links that root alone could have made, and never one of another
// user's (see open_log_file in log/make_log_sink.cpp).
// Throws boost::filesystem::filesystem_error: CF_TEXT_CONTEXT_LOG_OPTION with
// {20, "nx.Error"} for a file path that is not absolute,
// CF_TEXT_CONTEXT_LOG_OPEN with the errno (system category) for a log file
// that cannot be opened, CF_TEXT_CONTEXT_LOG_*_REFUSED with EPERM for one
// that another user could have redirected.
cf_log_ptr make_log_sink(const nx::Log& setting);

// nx::LogLevel (1 to 5) to a level (0 to 4); any other value gives Error.
int log_level_from_config(int level);
