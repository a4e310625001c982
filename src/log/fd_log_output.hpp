// Lines on a descriptor: standard error in console form, or a log file (or
// standard error) with time stamps:
//     Notice: SIGHUP has arrived
//     2014-Mar-12 14:22:05 [1234] Notice: SIGHUP has arrived
#pragma once

#include <string>

#include "log/log_output.hpp"

class cf_fd_log_output_t : public cf_log_output_t
{
public:
    // Closes fd at destruction only when owns_fd (a log file, never
    // descriptor 2). `stamped`: the time-stamped form, with the pid taken now.
    // `torn`: the file already ends inside a line.
    cf_fd_log_output_t(int fd, bool owns_fd, bool stamped, bool torn = false);
    ~cf_fd_log_output_t() override;

    cf_fd_log_output_t(const cf_fd_log_output_t&) = delete;
    cf_fd_log_output_t& operator=(const cf_fd_log_output_t&) = delete;

    // "<Level>: <text>\n", or "<time> [<pid>] <Level>: <text>\n".
    std::string line(int level, const std::string& text) const override;
    // "<source>-<pid>: <text>\n", or "<time> [<source>-<pid>] <text>\n".
    std::string process_line(const std::string& source, int pid, const std::string& text) const;
    bool joins_lines() const override { return true; }
    // "stderr" for descriptor 2 (whatever it names), else the device and
    // inode of the file, so a log file opened anew shares the old one's.
    std::string destination() const override;
    bool starts_torn() const override { return starts_torn_; }
    // Writes the bytes whole: a write cut short (a pipe) is continued, EINTR
    // is retried, and a descriptor that would block (a log file that is a
    // FIFO, opened non-blocking) is waited for until `give_up`, and past it
    // for the rest of a line already begun; any other failure, or a write
    // that takes nothing, drops the rest.
    std::size_t write(const std::string& lines, int level, bool& torn, const give_up_t& give_up) override;

    int fd() const { return fd_; }

private:
    const int fd_;
    const bool owns_fd_;
    const bool stamped_;
    const bool starts_torn_;
    const std::string pid_;
};

typedef boost::shared_ptr<cf_fd_log_output_t> cf_fd_log_output_ptr;
