#include "log/console_log.hpp"

#include <unistd.h>

#include <boost/make_shared.hpp>

#include "log/log.hpp"

cf_console_log_t::cf_console_log_t()
    : output_(boost::make_shared<cf_fd_log_output_t>(STDERR_FILENO, false, false))
    , source_(cf_log_writer_t::instance().attach(output_))
{}

cf_console_log_t::~cf_console_log_t()
{
    cf_log_writer_t::instance().retire(source_);
}

void cf_console_log_t::open() {}

void cf_console_log_t::log(int level, const std::string& text)
{
    cf_log_writer_t::instance().post(source_, output_->line(level, text), level);
}

void cf_console_log_t::log_from_process(const std::string& source, int pid, const std::string& text)
{
    cf_log_writer_t::instance().post(source_, output_->process_line(source, pid, text), LOG_ERROR_LEVEL);
}
