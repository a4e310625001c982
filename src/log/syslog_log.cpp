#include "log/syslog_log.hpp"

#include <boost/make_shared.hpp>

#include "log/log.hpp"

cf_syslog_log_t::cf_syslog_log_t(const char* ident, int facility)
    : output_(boost::make_shared<cf_syslog_log_output_t>(ident, facility))
    , source_(cf_log_writer_t::instance().attach(output_))
{}

cf_syslog_log_t::~cf_syslog_log_t()
{
    try {
        cf_log_writer_t::instance().post_close(source_);
    } catch (...) {
        // Out of memory: the connection stays open until another sink opens.
    }
    cf_log_writer_t::instance().retire(source_);
}

void cf_syslog_log_t::open() {}

void cf_syslog_log_t::log(int level, const std::string& text)
{
    std::string escaped;
    cf_log_writer_t::instance().post(source_, log_escaped(text, escaped), level);
}

void cf_syslog_log_t::log_from_process(const std::string& source, int pid, const std::string& text)
{
    cf_log_writer_t::instance().post(source_, log_escape(source) + "-" + std::to_string(pid) + ": " + log_escape(text),
                                     LOG_ERROR_LEVEL);
}
