// Plain lines on standard error: "<Level>: <text>".
#pragma once

#include "log/log_sink.hpp"

class cf_console_log_t : public cf_log_t
{
public:
    void open() override;
    // Both write under log_mutex, so lines of different threads never mix.
    // Throw boost::lock_error when log_mutex cannot be locked.
    void log(int level, const std::string& text) override;
    void log_from_process(const std::string& source, int pid, const std::string& text) override;
};

typedef boost::shared_ptr<cf_console_log_t> cf_console_log_ptr;
