#include "log/fd_log_output.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <locale>
#include <sstream>

#include <boost/date_time/c_local_time_adjustor.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "log/log_format.hpp"

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

cf_fd_log_output_t::cf_fd_log_output_t(int fd, bool owns_fd, bool stamped, bool torn)
    : fd_(fd)
    , owns_fd_(owns_fd)
    , stamped_(stamped)
    , starts_torn_(torn)
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

std::string cf_fd_log_output_t::destination() const
{
    if (fd_ == STDERR_FILENO)
        return "stderr";
    struct stat st;
    if (::fstat(fd_, &st) != 0)
        return "fd " + std::to_string(fd_);
    return "file " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

namespace {

// Waits until the descriptor takes bytes again or `give_up` has passed (it
// is read again every slice: the writer may set it meanwhile); whether to
// write again.
bool wait_writable(int fd, const cf_log_output_t::give_up_t& give_up)
{
    const std::int64_t slice_ns = 100 * 1000 * 1000;
    for (;;) {
        const std::int64_t now = cf_log_output_t::steady_ns();
        const std::int64_t end = give_up.load(std::memory_order_relaxed);
        if (now >= end)
            return false;
        struct pollfd p = {fd, POLLOUT, 0};
        const int timeout_ms = static_cast<int>((std::min(end - now, slice_ns) + 999999) / 1000000);
        const int ready = ::poll(&p, 1, timeout_ms);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

std::size_t cf_fd_log_output_t::write(const std::string& lines, int, bool& torn, const give_up_t& give_up)
{
    // A line cut short before is ended first, in the same write.
    std::string ended;
    const std::string* text = &lines;
    if (torn) {
        ended.reserve(lines.size() + 1);
        ended += '\n';
        ended += lines;
        text = &ended;
    }
    static const give_up_t never{LOG_WAIT_FOREVER};
    const give_up_t* bound = &give_up;
    std::string::size_type offset = 0;
    std::string::size_type end = text->size();
    while (offset < end) {
        const ssize_t written = ::write(fd_, text->data() + offset, end - offset);
        if (written > 0) {
            offset += static_cast<std::string::size_type>(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (wait_writable(fd_, *bound))
                continue;
            // The time is up. A line already begun is finished all the
            // same: giving up must never cut one short.
            if (bound == &never || offset == 0 || (*text)[offset - 1] == '\n')
                break;
            const std::string::size_type newline = text->find('\n', offset);
            end = newline == std::string::npos ? text->size() : newline + 1;
            bound = &never;
            continue;
        }
        break;
    }
    if (offset == text->size()) {
        torn = false;
        return lines.size();
    }
    // Cut short: the destination now ends inside a line unless the cut fell
    // just after a newline.
    if (offset > 0)
        torn = (*text)[offset - 1] != '\n';
    const std::string::size_type prefix = text->size() - lines.size();
    return offset > prefix ? offset - prefix : 0;
}
