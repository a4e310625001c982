// Plain lines on standard error: "<Level>: <text>".
#pragma once

#include "log/fd_log_output.hpp"
#include "log/log_sink.hpp"

class cf_console_log_t : public cf_log_t
{
public:
    cf_console_log_t();

    void open() override;
    // Both queue the finished line for the log writer and return at once;
    // lines of different threads never mix. Throw std::bad_alloc only.
    void log(int level, const std::string& text) override;
    void log_from_process(const std::string& source, int pid, const std::string& text) override;

private:
    const cf_fd_log_output_ptr output_;
};

typedef boost::shared_ptr<cf_console_log_t> cf_console_log_ptr;
