// Where the logging core sends each line once a configuration installed one.
#pragma once

#include <string>

#include <boost/shared_ptr.hpp>

class cf_log_t
{
public:
    virtual ~cf_log_t() {}
    // Called once, on the main thread under log_mutex, when the sink becomes
    // the installed one.
    virtual void open() = 0;
    // One line of the daemon; any thread.
    virtual void log(int level, const std::string& text) = 0;
    // One line that speaks for another process; any thread.
    virtual void log_from_process(const std::string& source, int pid, const std::string& text) = 0;
};

typedef boost::shared_ptr<cf_log_t> cf_log_ptr;
