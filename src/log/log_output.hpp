// Where the log writer thread (log/log_writer.hpp) puts the lines that a
// sink has finished: a descriptor, or the system logger. A sink shares its
// output with the lines it queued, so the output (an owned log file, a
// syslog ident) lives until the last of them has been written.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

class cf_log_output_t
{
public:
    virtual ~cf_log_output_t() {}
    // The finished line of a text at a level in this output's form. Any
    // thread; used by the writer for the line that reports dropped lines.
    virtual std::string line(int level, const std::string& text) const = 0;
    // Whether finished lines may be joined and written at once (a
    // descriptor); the system logger takes one line per message.
    virtual bool joins_lines() const = 0;
    // Writes the finished lines whole; false when they could not be
    // written. Writer thread only: it may wait as long as the reader stalls.
    virtual bool write(const std::string& lines, int level) = 0;
    // The sink that owns the output is gone. Writer thread only.
    virtual void close() {}
};

typedef boost::shared_ptr<cf_log_output_t> cf_log_output_ptr;
