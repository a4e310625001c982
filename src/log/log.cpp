#include "log/log.hpp"

#include <cstring>
#include <iostream>

#include <boost/smart_ptr/atomic_shared_ptr.hpp>

std::atomic<int> log_threshold{LOG_NOTICE_LEVEL};

namespace {

// The installed sink. A logging call takes its own reference, so the sink
// it uses lives until the call ends even when the main thread replaces it.
boost::atomic_shared_ptr<cf_log_t>& installed_sink()
{
    static boost::atomic_shared_ptr<cf_log_t>* sink = new boost::atomic_shared_ptr<cf_log_t>;
    return *sink;
}

// At exit, after the inventory is gone, the sink is released (closing a log
// file or the syslog connection) and later lines go to standard error.
struct sink_releaser_t
{
    ~sink_releaser_t() { installed_sink().store(cf_log_ptr()); }
} sink_releaser;

} // namespace

boost::mutex& log_mutex()
{
    static boost::mutex* mutex = new boost::mutex;
    return *mutex;
}

void log_message(int level, const std::string& text)
{
    cf_log_ptr sink = installed_sink().load();
    if (sink) {
        sink->log(level, text);
        return;
    }
    // One insertion of the finished line, so that lines of threads logging
    // at the same time do not mix within a line.
    std::string line = log_level_name(level);
    line += ": ";
    line += text;
    line += '\n';
    std::cerr << line << std::flush;
}

void log_from_process(const std::string& source, int pid, const std::string& text)
{
    cf_log_ptr sink = installed_sink().load();
    if (sink) {
        sink->log_from_process(source, pid, text);
        return;
    }
    std::string line = source;
    line += "-";
    line += std::to_string(pid);
    line += ": ";
    line += text;
    line += '\n';
    std::cerr << line << std::flush;
}

void set_log_sink(const cf_log_ptr& sink)
{
    boost::mutex::scoped_lock lock(log_mutex());
    // The new sink is opened before it is published, so a line logged
    // meanwhile goes to the old sink rather than to standard error. A syslog
    // sink closes the connection only while it is the one that opened it
    // last, so the old sink's release below, or later on a thread that still
    // holds it, cannot undo this open.
    if (sink)
        sink->open();
    cf_log_ptr previous = installed_sink().exchange(sink);
    // Released under the lock: unless a logging call still holds it, an
    // owned log file is closed here, after the new one was opened.
    previous.reset();
}

int log_level_from_config(int level)
{
    switch (level) {
    case 1: return LOG_DEBUG_LEVEL;
    case 2: return LOG_INFO_LEVEL;
    case 3: return LOG_NOTICE_LEVEL;
    case 4: return LOG_WARNING_LEVEL;
    default: return LOG_ERROR_LEVEL;
    }
}

const char* log_level_name(int level)
{
    static const char* const names[] = {"Debug", "Info", "Notice", "Warning", "Error"};
    if (level < 0 || level > 4)
        return "Unknown";
    return names[level];
}

int log_level_from_name(const char* name)
{
    for (int level = LOG_DEBUG_LEVEL; level < LOG_ERROR_LEVEL; ++level)
        if (std::strcmp(name, log_level_name(level)) == 0)
            return level;
    return LOG_ERROR_LEVEL;
}
