#include "log/log.hpp"

#include <unistd.h>

#include <cstring>

#include <boost/make_shared.hpp>
#include <boost/smart_ptr/atomic_shared_ptr.hpp>

#include "log/fd_log_output.hpp"
#include "log/log_writer.hpp"

std::atomic<int> log_threshold{LOG_NOTICE_LEVEL};

namespace {

// The installed sink. A logging call takes its own reference, so the sink
// it uses lives until the call ends even when the main thread replaces it.
boost::atomic_shared_ptr<cf_log_t>& installed_sink()
{
    static boost::atomic_shared_ptr<cf_log_t>* sink = new boost::atomic_shared_ptr<cf_log_t>;
    return *sink;
}

// Standard error in console form, before any sink and after an empty one.
struct fallback_t
{
    const cf_fd_log_output_ptr output = boost::make_shared<cf_fd_log_output_t>(STDERR_FILENO, false, false);
    const cf_log_writer_t::source_ptr source = cf_log_writer_t::instance().attach(output);
};

const fallback_t& fallback()
{
    static const fallback_t* created = new fallback_t;
    return *created;
}

// At exit, after the inventory is gone, the last lines (the termination
// line, the exit line) get a bounded chance to be written, then the sink is
// released (closing a log file or the syslog connection once its lines are
// out) and later lines go to standard error. A reader that stalls keeps the
// rest; the daemon exits with its status anyway.
struct sink_releaser_t
{
    ~sink_releaser_t()
    {
        log_flush(LOG_EXIT_DRAIN);
        installed_sink().store(cf_log_ptr());
    }
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
    cf_log_writer_t::instance().post(fallback().source, fallback().output->line(level, text), level);
}

void log_from_process(const std::string& source, int pid, const std::string& text)
{
    cf_log_ptr sink = installed_sink().load();
    if (sink) {
        sink->log_from_process(source, pid, text);
        return;
    }
    cf_log_writer_t::instance().post(fallback().source, fallback().output->process_line(source, pid, text),
                                     LOG_ERROR_LEVEL);
}

void log_suppressed(int level, std::uint64_t count, const char* text)
{
    log_message(level, CF_TEXT_SUPPRESSED_PREFIX + std::to_string(count) + CF_TEXT_SUPPRESSED_INFIX + text);
}

bool log_flush(std::chrono::milliseconds timeout)
{
    return cf_log_writer_t::instance().flush(timeout);
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
