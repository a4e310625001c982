// Time-stamped lines on a descriptor: a log file, or standard error.
//     2014-Mar-12 14:22:05 [1234] Notice: SIGHUP has arrived
#pragma once

#include "log/log_sink.hpp"

class cf_file_log_t : public cf_log_t
{
public:
    // Writes to fd; closes it at destruction only when owns_fd (a log file,
    // never descriptor 2).
    cf_file_log_t(int fd, bool owns_fd);
    ~cf_file_log_t() override;

    cf_file_log_t(const cf_file_log_t&) = delete;
    cf_file_log_t& operator=(const cf_file_log_t&) = delete;

    void open() override;
    // "<time> [<pid>] <Level>: <text>\n". The line is built before the lock
    // is taken. Throw boost::lock_error when log_mutex cannot be locked.
    void log(int level, const std::string& text) override;
    // "<time> [<source>-<pid>] <text>\n".
    void log_from_process(const std::string& source, int pid, const std::string& text) override;

    // Writes the finished line whole under log_mutex: a write cut short (a
    // pipe, a signal) is continued, EINTR is retried; any other failure, or a
    // write that takes nothing, drops the rest of the line without a report.
    // Throws boost::lock_error when log_mutex cannot be locked.
    void write_line(const std::string& line);

private:
    int fd;
    bool owns_fd;
    int pid;
};

typedef boost::shared_ptr<cf_file_log_t> cf_file_log_ptr;
