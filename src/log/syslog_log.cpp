#include "log/syslog_log.hpp"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

#include <boost/thread/mutex.hpp>

#include "log/log.hpp"

namespace {

// The sink whose openlog is in force, or null once it closed the connection.
// It never points to a destroyed sink: that sink clears it when it closes.
// Guarded by its own mutex, not log_mutex: a sink can be destroyed under
// log_mutex (in set_log_sink) or on any thread that dropped the last
// reference. Never destroyed, since a sink may be released at exit.
struct open_connection_t
{
    boost::mutex mutex;
    const cf_syslog_log_t* owner = nullptr;
};

open_connection_t& open_connection()
{
    static open_connection_t* connection = new open_connection_t;
    return *connection;
}

// Debug to Warning map to LOG_DEBUG to LOG_WARNING, every other level to
// LOG_ERR. The facility is not added: openlog was given it.
int priority(int level)
{
    switch (level) {
    case LOG_DEBUG_LEVEL: return LOG_DEBUG;
    case LOG_INFO_LEVEL: return LOG_INFO;
    case LOG_NOTICE_LEVEL: return LOG_NOTICE;
    case LOG_WARNING_LEVEL: return LOG_WARNING;
    default: return LOG_ERR;
    }
}

} // namespace

cf_syslog_log_t::cf_syslog_log_t(const char* ident_text, int facility_value)
    : facility(facility_value), ident(nullptr)
{
    if (ident_text != nullptr) {
        ident = strdup(ident_text);
        if (ident == nullptr)
            throw std::bad_alloc();
    }
}

cf_syslog_log_t::~cf_syslog_log_t()
{
    {
        open_connection_t& connection = open_connection();
        boost::mutex::scoped_lock lock(connection.mutex);
        if (connection.owner == this) {
            closelog();
            connection.owner = nullptr;
        }
    }
    // Freed only now: when this sink owned the connection it is closed, and
    // otherwise the open of the sink that took over, which closes before it
    // opens, dropped the logger's pointer to this copy.
    std::free(ident);
}

void cf_syslog_log_t::open()
{
    open_connection_t& connection = open_connection();
    boost::mutex::scoped_lock lock(connection.mutex);
    // openlog keeps the previous ident when given none: closing first drops
    // the pointer into another sink's copy, so a null ident really means the
    // program's name.
    closelog();
    openlog(ident, LOG_PID, facility);
    connection.owner = this;
}

void cf_syslog_log_t::log(int level, const std::string& text)
{
    syslog(priority(level), "%s", text.c_str());
}

void cf_syslog_log_t::log_from_process(const std::string& source, int pid, const std::string& text)
{
    std::ostringstream line;
    line << source << "-" << pid << ": " << text;
    syslog(LOG_ERR, "%s", line.str().c_str());
}
