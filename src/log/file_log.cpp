#include "log/file_log.hpp"

#include <boost/make_shared.hpp>

#include "log/log.hpp"

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd, bool torn)
    : output_(boost::make_shared<cf_fd_log_output_t>(fd, owns_fd, true, torn))
    , source_(cf_log_writer_t::instance().attach(output_))
    , torn_(torn)
{}

cf_file_log_t::~cf_file_log_t()
{
    cf_log_writer_t::instance().retire(source_);
}

void cf_file_log_t::open() {}

void cf_file_log_t::log(int level, const std::string& text)
{
    cf_log_writer_t::instance().post(source_, output_->line(level, text), level);
}

void cf_file_log_t::log_from_process(const std::string& source, int pid, const std::string& text)
{
    cf_log_writer_t::instance().post(source_, output_->process_line(source, pid, text), LOG_ERROR_LEVEL);
}

void cf_file_log_t::write_line(const std::string& line)
{
    static const cf_log_output_t::give_up_t never{cf_log_output_t::LOG_WAIT_FOREVER};
    output_->write(line, LOG_NOTICE_LEVEL, torn_, never);
}
