// The daemon's single log entry and its process-wide state.
//
// Call sites test the threshold first and build the text only when the line
// is wanted:
//     if (log_threshold <= LOG_NOTICE) { std::ostringstream s; ...; log_message(LOG_NOTICE, s.str()); }
#pragma once

#include <atomic>
#include <string>

#include <boost/thread/mutex.hpp>

#include "log/log_sink.hpp"

namespace nx { class Log; }

enum cf_log_level_t { LOG_DEBUG_LEVEL = 0, LOG_INFO_LEVEL = 1, LOG_NOTICE_LEVEL = 2, LOG_WARNING_LEVEL = 3, LOG_ERROR_LEVEL = 4 };

// Lowest level written. Written on the main thread by the configuration road,
// read on every thread.
extern std::atomic<int> log_threshold;

// Held while the sink is replaced and by the console and file sinks while they
// write. Never destroyed, so threads still running at exit can log.
boost::mutex& log_mutex();

// Writes one line whatever the threshold: to the installed sink, else to
// standard error as "<Level>: <text>". Any thread. Throws what the sink
// throws (boost::lock_error from the console and file sinks).
void log_message(int level, const std::string& text);

// One line that speaks for another process. Any thread.
void log_from_process(const std::string& source, int pid, const std::string& text);

// Replaces the installed sink (an empty one sends lines to standard error
// again): opens the new sink, installs it, then releases the old one, which
// a logging call still using it keeps alive until the call ends. A syslog
// sink replacing another keeps its own connection. Main thread only.
// Throws boost::lock_error when log_mutex cannot be locked.
void set_log_sink(const cf_log_ptr& sink);

// Contexts of the errors that make_log_sink throws.
constexpr const char* LOG_OPTION_ERROR_CONTEXT = "log option";
constexpr const char* LOG_OPEN_ERROR_CONTEXT = "open";

// A sink for the setting: syslog, a log file (opened for appending, mode
// 0644, close-on-exec), standard error with time stamps or plain; empty for
// AUTO and any other type.
// Throws boost::filesystem::filesystem_error: LOG_OPTION_ERROR_CONTEXT with
// {20, "nx.Error"} for a file path that is not absolute,
// LOG_OPEN_ERROR_CONTEXT with the errno (system category) for a log file
// that cannot be opened.
cf_log_ptr make_log_sink(const nx::Log& setting);

// nx::LogLevel (1 to 5) to a level (0 to 4); any other value gives Error.
int log_level_from_config(int level);

// "Debug", "Info", "Notice", "Warning", "Error"; "Unknown" for anything else.
const char* log_level_name(int level);

// The exact words of log_level_name; every other word gives Error.
int log_level_from_name(const char* name);
