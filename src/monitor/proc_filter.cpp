#include "monitor/proc_filter.hpp"

#include <climits>
#include <cstdio>

#include <unistd.h>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>

#include "log/log.hpp"
#include "monitor/monitor_texts.hpp"

namespace {

const std::size_t LINK_BUFFER_SIZE = 4096;

// "<proc_root>/<pid>/exe" into buffer; false when it does not fit.
bool exe_link_path(int pid, const char* proc_root, char (&buffer)[LINK_BUFFER_SIZE])
{
    const int length = std::snprintf(buffer, sizeof buffer, "%s/%d/exe", proc_root, pid);
    return length > 0 && static_cast<std::size_t>(length) < sizeof buffer;
}

} // namespace

bool process_exists(int pid, const char* proc_root)
{
    char path[LINK_BUFFER_SIZE];
    return exe_link_path(pid, proc_root, path) && ::access(path, F_OK) != -1;
}

bool process_exe(int pid, std::string& out, const char* proc_root)
{
    char path[LINK_BUFFER_SIZE];
    if (!exe_link_path(pid, proc_root, path))
        return false;
    char target[LINK_BUFFER_SIZE];
    const ssize_t length = ::readlink(path, target, sizeof target - 1);
    if (length < 0)
        return false;
    out.assign(target, static_cast<std::size_t>(length));
    return true;
}

ts_proc_filter_t::ts_proc_filter_t(boost::asio::io_service& io, const std::vector<std::string>& excluded_executables,
                                   const std::string& root, duration_t cleanup_period)
    : excluded_exes_(excluded_executables.begin(), excluded_executables.end())
    , proc_root_(root)
    , period_(cleanup_period)
    , timer_(io)
    , alive_(static_cast<void*>(nullptr), [](void*) {})
{
    link_text_.reserve(LINK_BUFFER_SIZE);
    arm();
}

ts_proc_filter_t::~ts_proc_filter_t()
{
    // Reaches only a wait still pending; a completion already queued on
    // the loop sees `alive_` expired instead.
    boost::system::error_code ignored;
    timer_.cancel(ignored);
}

void ts_proc_filter_t::set_excluded(const std::vector<std::string>& executables)
{
    excluded_exes_.insert(executables.begin(), executables.end());
    excluded_pids_.clear();
}

bool ts_proc_filter_t::is_allowed(int pid)
{
    // Nothing excluded: nothing to read.
    if (excluded_exes_.empty())
        return true;
    if (excluded_pids_.count(pid) != 0)
        return false;
    // Allowed pids are not remembered: the process may exec an excluded
    // program later.
    if (!names_excluded(pid))
        return true;
    excluded_pids_.insert(pid);
    return false;
}

bool ts_proc_filter_t::names_excluded(int pid)
{
    return process_exe(pid, link_text_, proc_root_.c_str()) && excluded_exes_.count(link_text_) != 0;
}

void ts_proc_filter_t::arm()
{
    timer_.expires_after(period_);
    boost::weak_ptr<void> token(alive_);
    timer_.async_wait([this, token](const boost::system::error_code& error) {
        // All of the filter's work runs on the loop's thread, so the filter
        // cannot go between this test and the call.
        if (!token.expired())
            on_timer(error);
    });
}

void ts_proc_filter_t::on_timer(const boost::system::error_code& error)
{
    if (error)
        return;
    drop_dead();
    arm();
}

void ts_proc_filter_t::drop_dead()
{
    // A pid is kept only while its link still names an excluded program: a
    // process that exec'd another program, or a new process that took the
    // pid, is examined afresh from its next event on.
    for (auto it = excluded_pids_.begin(); it != excluded_pids_.end();) {
        if (names_excluded(*it))
            ++it;
        else
            it = excluded_pids_.erase(it);
    }
}

namespace {

// The pid a /proc entry name stands for; false for a name that is not all
// decimal digits or does not fit an int (no process can have it).
bool parse_pid(const std::string& name, int& pid)
{
    if (name.empty())
        return false;
    long long value = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > INT_MAX)
            return false;
    }
    pid = static_cast<int>(value);
    return true;
}

} // namespace

std::vector<ts_event_t> produce_exe_list(const std::string& proc_root)
{
    namespace fs = boost::filesystem;
    std::vector<ts_event_t> list;
    for (fs::directory_iterator it(proc_root), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        int pid = 0;
        if (!parse_pid(name, pid))
            continue;
        const fs::path exe = it->path() / "exe";
        boost::system::error_code error;
        const fs::path resolved = fs::canonical(exe, error);
        if (!error) {
            list.push_back(ts_event_t{boost::make_shared<std::string>(resolved.string()), pid});
            NT_LOG(LOG_DEBUG_LEVEL,
                   TS_TEXT_EXE_PREFIX << pid << TS_TEXT_EXE_INFIX << "\"" << resolved.string() << "\"");
            continue;
        }
        if (error == boost::system::errc::no_such_file_or_directory) {
            // A failed size query counts as a size other than 0.
            boost::system::error_code size_error;
            const boost::uintmax_t size = fs::file_size(it->path() / "cmdline", size_error);
            if (!size_error && size == 0) {
                NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_EXE_PREFIX + name + TS_TEXT_KERNEL_THREAD);
                continue;
            }
        }
        NT_LOG(LOG_WARNING_LEVEL, error.message() << ": " << exe);
    }
    return list;
}
