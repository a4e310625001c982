// Time-stamped lines on a descriptor: a log file, or standard error.
//     2014-Mar-12 14:22:05 [1234] Notice: SIGHUP has arrived
#pragma once

#include "log/fd_log_output.hpp"
#include "log/log_sink.hpp"
#include "log/log_writer.hpp"

class cf_file_log_t : public cf_log_t
{
public:
    // Writes to fd; closes it only when owns_fd (a log file, never
    // descriptor 2), once the sink and every line it queued are gone.
    // `torn`: the file already ends inside a line, which the first write
    // ends with a newline.
    cf_file_log_t(int fd, bool owns_fd, bool torn = false);
    // Its lines still queued get a short time to be written.
    ~cf_file_log_t() override;

    cf_file_log_t(const cf_file_log_t&) = delete;
    cf_file_log_t& operator=(const cf_file_log_t&) = delete;

    void open() override;
    // "<time> [<pid>] <Level>: <text>\n", the time taken now, queued for the
    // log writer. Returns at once; throws std::bad_alloc only.
    void log(int level, const std::string& text) override;
    // "<time> [<source>-<pid>] <text>\n".
    void log_from_process(const std::string& source, int pid, const std::string& text) override;

    // Writes the finished line whole on the calling thread, as the log
    // writer does: a write cut short (a pipe, a signal) is continued, EINTR
    // is retried; any other failure, or a write that takes nothing, drops
    // the rest of the line, and the next line written here first ends it.
    // Blocks while the reader stalls. One thread at a time.
    void write_line(const std::string& line);

private:
    const cf_fd_log_output_ptr output_;
    const cf_log_writer_t::source_ptr source_;
    // write_line's own: the last line it wrote was cut short.
    bool torn_ = false;
};

typedef boost::shared_ptr<cf_file_log_t> cf_file_log_ptr;
