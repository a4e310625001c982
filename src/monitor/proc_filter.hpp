// The excluded-process filter: drops the accesses of processes whose "exe"
// link names a configured executable. Main thread only; no lock of its own.
#pragma once

#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/chrono/system_clocks.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include "monitor/event.hpp"

// True when access(F_OK) succeeds on "<proc_root>/<pid>/exe" (which follows
// the link). Never throws.
bool process_exists(int pid, const char* proc_root = "/proc");

// The target text of "<proc_root>/<pid>/exe" (at most 4095 bytes, the link
// itself, not resolved) into out; false, out unchanged, when it cannot be
// read. Throws only std::bad_alloc.
bool process_exe(int pid, std::string& out, const char* proc_root = "/proc");

// The start-up scan: one record per running process whose executable
// resolves, its canonical path and pid, in directory order, queued as if
// each had been accessed. Entries whose names are not all decimal digits (or
// too large for a pid) are skipped. Throws
// boost::filesystem::filesystem_error when the directory cannot be listed.
std::vector<ts_event_t> produce_exe_list(const std::string& proc_root = "/proc");

class ts_proc_filter_t : boost::noncopyable
{
public:
    typedef boost::chrono::steady_clock::duration duration_t;

    // Arms the cleanup timer on io to run every period. The executables are
    // matched against the link text byte for byte.
    // Throws std::bad_alloc, and boost::system::system_error when the timer
    // cannot be armed.
    ts_proc_filter_t(boost::asio::io_service& io,
                     const std::vector<std::string>& excluded_executables = std::vector<std::string>(),
                     const std::string& proc_root = "/proc", duration_t period = boost::chrono::seconds(30));
    // Cancels the timer; a completion already queued on the loop does nothing.
    ~ts_proc_filter_t();

    // Adds executables to the excluded ones and forgets every remembered
    // pid. Throws only std::bad_alloc.
    void set_excluded(const std::vector<std::string>& executables);

    // False for a pid whose "exe" link names an excluded executable (such a
    // pid is remembered until the cleanup finds its link changed or gone);
    // true otherwise, also when the link cannot be read. Reads no link when
    // nothing is excluded. Throws only std::bad_alloc.
    bool is_allowed(int pid);

private:
    typedef boost::asio::basic_waitable_timer<boost::chrono::steady_clock> cleanup_timer_t;

    void arm();
    void on_timer(const boost::system::error_code& error);
    void drop_dead();
    bool names_excluded(int pid);

    std::set<int> excluded_pids_;
    std::unordered_set<std::string> excluded_exes_;
    std::string proc_root_;
    duration_t period_;
    // Reused for every link read, so an event costs no allocation.
    std::string link_text_;
    cleanup_timer_t timer_;
    // The timer's completion holds a weak reference to this: once the filter
    // is gone, a completion already queued on the loop finds it expired.
    boost::shared_ptr<void> alive_;
};
