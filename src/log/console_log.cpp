#include "log/console_log.hpp"

#include <iostream>

#include "log/log.hpp"

void cf_console_log_t::open()
{
}

void cf_console_log_t::log(int level, const std::string& text)
{
    boost::mutex::scoped_lock lock(log_mutex());
    std::cerr << log_level_name(level) << ": " << text << std::endl;
}

void cf_console_log_t::log_from_process(const std::string& source, int pid, const std::string& text)
{
    boost::mutex::scoped_lock lock(log_mutex());
    std::cerr << source << "-" << pid << ": " << text << std::endl;
}
