#include "log/fd_log_output.hpp"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <locale>
#include <sstream>

#include <boost/date_time/c_local_time_adjustor.hpp>
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
// format's fraction and zone fall away for a ptime of whole seconds). Built
// once a second per thread: the Debug line of every access needs one.
const std::string& stamp()
{
    thread_local std::time_t second = -1;
    thread_local std::string text;
    const std::time_t now = std::time(nullptr);
    if (now != second) {
        typedef boost::date_time::c_local_adjustor<boost::posix_time::ptime> local_t;
        std::ostringstream stream;
        stream.imbue(stamp_locale());
        stream << local_t::utc_to_local(boost::posix_time::from_time_t(now));
        text = stream.str();
        second = now;
    }
    return text;
}

} // namespace

cf_fd_log_output_t::cf_fd_log_output_t(int fd, bool owns_fd, bool stamped)
    : fd_(fd)
    , owns_fd_(owns_fd)
    , stamped_(stamped)
    , pid_(std::to_string(getpid()))
{}

cf_fd_log_output_t::~cf_fd_log_output_t()
{
    if (owns_fd_ && fd_ >= 0)
        ::close(fd_);
}

std::string cf_fd_log_output_t::line(int level, const std::string& raw) const
{
    std::string escaped;
    const std::string& text = log_escaped(raw, escaped);
    std::string line;
    const char* const word = log_level_name(level);
    if (stamped_) {
        const std::string& time = stamp();
        line.reserve(time.size() + pid_.size() + text.size() + 20);
        line += time;
        line += " [";
        line += pid_;
        line += "] ";
    } else {
        line.reserve(text.size() + 12);
    }
    line += word;
    line += ": ";
    line += text;
    line += '\n';
    return line;
}

std::string cf_fd_log_output_t::process_line(const std::string& raw_source, int pid, const std::string& raw) const
{
    const std::string source = log_escape(raw_source);
    const std::string text = log_escape(raw);
    std::string line;
    if (stamped_) {
        line += stamp();
        line += " [";
    }
    line += source;
    line += '-';
    line += std::to_string(pid);
    line += stamped_ ? "] " : ": ";
    line += text;
    line += '\n';
    return line;
}

bool cf_fd_log_output_t::write(const std::string& lines, int)
{
    std::string::size_type offset = 0;
    while (offset < lines.size()) {
        const ssize_t written = ::write(fd_, lines.data() + offset, lines.size() - offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        offset += static_cast<std::string::size_type>(written);
    }
    return true;
}
