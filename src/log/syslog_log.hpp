// Lines to the system logger, sent with LOG_PID under the sink's ident and
// facility.
#pragma once

#include "log/log_sink.hpp"
#include "log/log_writer.hpp"
#include "log/syslog_log_output.hpp"

class cf_syslog_log_t : public cf_log_t
{
public:
    // ident may be null: the system logger then uses the program's name. The
    // sink keeps its own copy, since openlog keeps the pointer.
    // Throws std::bad_alloc when the copy cannot be made.
    cf_syslog_log_t(const char* ident, int facility);
    // Ends the syslog connection once the lines the sink queued are sent
    // (they get a short time for it), unless a sink that replaced it has
    // opened its own meanwhile.
    ~cf_syslog_log_t() override;

    cf_syslog_log_t(const cf_syslog_log_t&) = delete;
    cf_syslog_log_t& operator=(const cf_syslog_log_t&) = delete;

    // Nothing: the log writer opens the connection (openlog with the ident,
    // LOG_PID and the facility) before the sink's first line.
    void open() override;
    // The text goes through "%s", so a "%" in it is sent unchanged. Queued
    // for the log writer; returns at once.
    void log(int level, const std::string& text) override;
    // "<source>-<pid>: <text>" at LOG_ERR.
    void log_from_process(const std::string& source, int pid, const std::string& text) override;

private:
    const boost::shared_ptr<cf_syslog_log_output_t> output_;
    const cf_log_writer_t::source_ptr source_;
};

typedef boost::shared_ptr<cf_syslog_log_t> cf_syslog_log_ptr;
