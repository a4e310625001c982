// Follows the mount table on a thread of its own and reports every change
// as a mount event.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <boost/enable_shared_from_this.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/mutex.hpp>

#include "monitor/mnt_event.hpp"
#include "util/wake_fd.hpp"

// The changes that turn the table old_sorted into new_sorted, both sorted
// ascending, in ascending (dir, type) order. An entry that occurs more often
// in the new table gives one mounted event per extra occurrence, so a file
// system stacked on a directory of the same type still reaches the
// interceptor (a mount mark covers one mount only). An entry gives unmounted
// events only when no occurrence is left, since the directory stays
// reachable while a mount remains on it. When the mount found on a
// directory is another one (both identities known) and no occurrence was
// added, as when a mount is replaced in place or the upper of two stacked
// ones goes, one unmounted event and then one mounted event come: the
// interceptor forgets the mount that went and marks the one there now.
std::vector<ts_mnt_event_t> mount_table_changes(const std::vector<ts_mntent_t>& old_sorted,
                                                const std::vector<ts_mntent_t>& new_sorted);
// The same for a table woken for, whose identities are of the kind given
// (identify_mounts): when these may be handed on to the next mount and no
// change shows, every entry of new_sorted gives a mounted event.
std::vector<ts_mnt_event_t> mount_table_changes(const std::vector<ts_mntent_t>& old_sorted,
                                                const std::vector<ts_mntent_t>& new_sorted,
                                                ts_mount_id_kind_t identities);

class ts_mounts_watcher_t : private boost::noncopyable, public boost::enable_shared_from_this<ts_mounts_watcher_t>
{
public:
    typedef boost::signals2::signal<void(const std::string&)> error_signal_t;
    typedef boost::signals2::signal<void(const ts_mnt_event_t&)> mount_signal_t;

    // A complete failure text; the thread ends after it, except after a
    // failed re-read of the table.
    error_signal_t error_signal;
    // One change of the table. Emitted on the watcher thread: slots must be
    // short, must not throw, and must not call close.
    mount_signal_t mount_signal;

    // Nothing is read yet. mounts_path is the table to follow. Never throws
    // beyond std::bad_alloc; a missing wake-up descriptor is reported by run.
    explicit ts_mounts_watcher_t(const std::string& mounts_path = TS_MOUNTS_PATH);
    ~ts_mounts_watcher_t();

    // Starts run on a detached thread that holds a shared reference to the
    // watcher, with SIGHUP, SIGTERM and SIGINT blocked in it. The watcher
    // must be owned by a boost::shared_ptr.
    // Throws boost::bad_weak_ptr when it is not, boost::thread_resource_error
    // when no thread can be started.
    void start();

    // The thread body: reads the first table, then waits for changes and
    // rescans after each one. Returns after a failure (reported on
    // error_signal) or after close. Whoever runs it on a thread of its own
    // must keep the watcher alive until it returns (bind a shared_ptr).
    void run();

    // Reads the table again with the identities of its mounts, emits its
    // changes against the last table and keeps the new one. A failed read is emitted and keeps the old table.
    // Called by run; tests call it directly.
    void rescan();

    // Closes the gate: once it returns, no slot of either signal is running
    // or will run, and the thread ends soon after (it is woken at once).
    // Any thread but the watcher's own (from a slot it would deadlock).
    // Idempotent; never throws.
    void close() noexcept;

private:
    void emit_error(const std::string& text);

    const std::string path_;
    boost::shared_ptr<std::vector<ts_mntent_t>> table_; // only the watcher thread touches it once started
    boost::mutex gate_;                                 // held while a signal is emitted
    std::atomic<bool> closed_;
    ts_wake_fd_t wake_; // signalled by close
};

typedef boost::shared_ptr<ts_mounts_watcher_t> ts_mounts_watcher_ptr;
