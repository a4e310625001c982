#include "log/file_log.hpp"

#include <unistd.h>

#include <cerrno>
#include <locale>
#include <sstream>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "log/log.hpp"

namespace {

// A locale carrying Boost's time facet in its default format, built once: a
// stream without the facet would build one for every line. Never destroyed,
// so threads still logging at exit can use it.
const std::locale& stamp_locale()
{
    static const std::locale* locale = new std::locale(std::locale::classic(), new boost::posix_time::time_facet);
    return *locale;
}

// The local time in whole seconds as "2014-Mar-12 14:22:05" (the default
// format's fraction and zone fall away for a ptime of whole seconds).
void put_stamp(std::ostringstream& line)
{
    line.imbue(stamp_locale());
    line << boost::posix_time::second_clock::local_time();
}

} // namespace

cf_file_log_t::cf_file_log_t(int fd_value, bool owns) : fd(fd_value), owns_fd(owns), pid(getpid())
{
}

cf_file_log_t::~cf_file_log_t()
{
    if (owns_fd && fd >= 0)
        ::close(fd);
}

void cf_file_log_t::open()
{
}

void cf_file_log_t::log(int level, const std::string& text)
{
    std::ostringstream line;
    put_stamp(line);
    line << " [" << pid << "] " << log_level_name(level) << ": " << text << "\n";
    write_line(line.str());
}

void cf_file_log_t::log_from_process(const std::string& source, int source_pid, const std::string& text)
{
    std::ostringstream line;
    put_stamp(line);
    line << " [" << source << "-" << source_pid << "] " << text << "\n";
    write_line(line.str());
}

void cf_file_log_t::write_line(const std::string& line)
{
    boost::mutex::scoped_lock lock(log_mutex());
    std::string::size_type offset = 0;
    while (offset < line.size()) {
        ssize_t written = ::write(fd, line.data() + offset, line.size() - offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        offset += static_cast<std::string::size_type>(written);
    }
}
