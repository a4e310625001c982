#include "log/file_log.hpp"

#include <boost/make_shared.hpp>

#include "log/log.hpp"
#include "log/log_writer.hpp"

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd)
    : output_(boost::make_shared<cf_fd_log_output_t>(fd, owns_fd, true))
{}

void cf_file_log_t::open() {}

void cf_file_log_t::log(int level, const std::string& text)
{
    cf_log_writer_t::instance().post(output_, output_->line(level, text), level);
}

void cf_file_log_t::log_from_process(const std::string& source, int pid, const std::string& text)
{
    cf_log_writer_t::instance().post(output_, output_->process_line(source, pid, text), LOG_ERROR_LEVEL);
}

void cf_file_log_t::write_line(const std::string& line)
{
    output_->write(line, LOG_NOTICE_LEVEL);
}
