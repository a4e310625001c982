// Plain lines on standard error: "<Level>: <text>".
#pragma once

#include "log/fd_log_output.hpp"
#include "log/log_sink.hpp"
#include "log/log_writer.hpp"

class cf_console_log_t : public cf_log_t
{
public:
    cf_console_log_t();
    // Its lines still queued get a short time to be written.
    ~cf_console_log_t() override;

    cf_console_log_t(const cf_console_log_t&) = delete;
    cf_console_log_t& operator=(const cf_console_log_t&) = delete;

    void open() override;
    // Both queue the finished line for the log writer and return at once;
    // lines of different threads never mix. Throw std::bad_alloc only.
    void log(int level, const std::string& text) override;
    void log_from_process(const std::string& source, int pid, const std::string& text) override;

private:
    const cf_fd_log_output_ptr output_;
    const cf_log_writer_t::source_ptr source_;
};

typedef boost::shared_ptr<cf_console_log_t> cf_console_log_ptr;
