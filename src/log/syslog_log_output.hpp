// Lines to the system logger. The connection (openlog, closelog) is made
// and ended on the log writer thread only, next to the syslog calls: a
// logger that stopped receiving then stalls that thread and never the main
// thread, which would otherwise wait in openlog for the logger's lock.
#pragma once

#include <boost/enable_shared_from_this.hpp>

#include "log/log_output.hpp"

class cf_syslog_log_output_t : public cf_log_output_t, public boost::enable_shared_from_this<cf_syslog_log_output_t>
{
public:
    // ident may be null: the system logger then uses the program's name. The
    // output keeps its own copy, since openlog keeps the pointer.
    // Throws std::bad_alloc when the copy cannot be made.
    cf_syslog_log_output_t(const char* ident, int facility);
    ~cf_syslog_log_output_t() override;

    cf_syslog_log_output_t(const cf_syslog_log_output_t&) = delete;
    cf_syslog_log_output_t& operator=(const cf_syslog_log_output_t&) = delete;

    // The text itself: the logger adds ident, pid and time.
    std::string line(int level, const std::string& text) const override;
    bool joins_lines() const override { return false; }
    // "syslog": every syslog output shares the one connection.
    std::string destination() const override { return "syslog"; }
    // Opens the connection with this output's ident, LOG_PID and facility
    // unless it is already the open one, then sends the line with "%s" at
    // the level's priority. The open output is held until it is closed or
    // another one opens, so the ident stays valid as long as openlog needs.
    // Waits as long as the logger does: the send cannot be bounded.
    std::size_t write(const std::string& line, int level, bool& torn, const give_up_t& give_up) override;
    // Closes the connection when this output is the open one.
    void close() override;

    // Debug to Warning map to LOG_DEBUG to LOG_WARNING, every other level to
    // LOG_ERR.
    static int priority(int level);

private:
    const int facility_;
    char* const ident_;
};
