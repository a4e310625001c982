// Lines to the system logger, sent with LOG_PID under the sink's ident and
// facility.
#pragma once

#include "log/log_sink.hpp"

class cf_syslog_log_t : public cf_log_t
{
public:
    // ident may be null: the system logger then uses the program's name. The
    // sink keeps its own copy, since openlog keeps the pointer.
    // Throws std::bad_alloc when the copy cannot be made.
    cf_syslog_log_t(const char* ident, int facility);
    // Closes the syslog connection only when this sink is the one that opened
    // it last: an old sink that outlives its replacement (a thread still held
    // it) must not close the connection of the sink now installed.
    ~cf_syslog_log_t() override;

    cf_syslog_log_t(const cf_syslog_log_t&) = delete;
    cf_syslog_log_t& operator=(const cf_syslog_log_t&) = delete;

    // openlog with the ident, LOG_PID and the facility; this sink becomes the
    // one that owns the connection.
    void open() override;
    // The text goes through "%s", so a "%" in it is sent unchanged. No lock.
    void log(int level, const std::string& text) override;
    // "<source>-<pid>: <text>" at LOG_ERR.
    void log_from_process(const std::string& source, int pid, const std::string& text) override;

private:
    int facility;
    char* ident;
};

typedef boost::shared_ptr<cf_syslog_log_t> cf_syslog_log_ptr;
