#include "log/syslog_log_output.hpp"

#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "log/log.hpp"

namespace {

char* copy(const char* text)
{
    if (text == nullptr)
        return nullptr;
    char* copied = strdup(text);
    if (copied == nullptr)
        throw std::bad_alloc();
    return copied;
}

// The output whose openlog is in force. Writer thread only; never
// destroyed, since the writer outlives every static object.
boost::shared_ptr<cf_syslog_log_output_t>& open_output()
{
    static boost::shared_ptr<cf_syslog_log_output_t>* output = new boost::shared_ptr<cf_syslog_log_output_t>;
    return *output;
}

} // namespace

cf_syslog_log_output_t::cf_syslog_log_output_t(const char* ident, int facility)
    : facility_(facility)
    , ident_(copy(ident))
{}

cf_syslog_log_output_t::~cf_syslog_log_output_t()
{
    // Not the open output (that one is held), so the logger keeps no
    // pointer to this copy.
    std::free(ident_);
}

std::string cf_syslog_log_output_t::line(int, const std::string& text) const
{
    return text;
}

int cf_syslog_log_output_t::priority(int level)
{
    switch (level) {
    case LOG_DEBUG_LEVEL: return LOG_DEBUG;
    case LOG_INFO_LEVEL: return LOG_INFO;
    case LOG_NOTICE_LEVEL: return LOG_NOTICE;
    case LOG_WARNING_LEVEL: return LOG_WARNING;
    default: return LOG_ERR;
    }
}

std::size_t cf_syslog_log_output_t::write(const std::string& line, int level, bool&, const give_up_t&)
{
    boost::shared_ptr<cf_syslog_log_output_t>& open = open_output();
    if (open.get() != this) {
        // openlog keeps the previous ident when given none: closing first
        // drops the pointer into another output's copy, so a null ident
        // really means the program's name.
        closelog();
        openlog(ident_, LOG_PID, facility_);
        open = shared_from_this();
    }
    syslog(priority(level), "%s", line.c_str());
    return line.size();
}

void cf_syslog_log_output_t::close()
{
    boost::shared_ptr<cf_syslog_log_output_t>& open = open_output();
    if (open.get() == this) {
        closelog();
        open.reset();
    }
}
