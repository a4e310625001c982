// Ties the monitoring pipeline together: the event queue with its filters,
// the active interceptor with the thread running its read loop, and the
// mounts watcher.
//
// Threads. The main thread runs the event loop and every method of this
// class, of the event queue and of the links (each opens with
// NT_ASSERT_MAIN_THREAD, which checks in the sanitizer builds). The
// interceptor's loop thread runs ts_interceptor_if::run; the watcher's
// thread runs ts_mounts_watcher_t::run and its signals' slots. They meet the
// main thread at four crossings only:
// - file accesses: each run of an interceptor hands its events over through
//   a ts_event_handoff_t of its own (add, then flush), whose one posted
//   handler pushes into the queue all that was handed over before it runs;
// - hand_over_mount_change: a change of the mount table, added to or
//   removed from the interceptor;
// - hand_over_watcher_error: the watcher's failure, which ends the daemon;
// - hand_over_loop_end: the end of an interceptor's loop, fatal when the
//   current interceptor was not asked to stop.
// The last three go through ts_handoff_t::post, guarded by this object's
// liveness token. The calls the main thread makes into the other threads
// are stop on the interceptor and close on the watcher: each wakes its loop
// through a ts_wake_fd_t, and the module interceptor's stop also signals its
// loop thread through a ts_thread_alarm_t until the loop has left a read
// that a device without poll lets block.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/function.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/thread/thread.hpp>
#include <boost/weak_ptr.hpp>

#include "monitor/event.hpp"
#include "monitor/event_queue.hpp"
#include "monitor/interceptor.hpp"
#include "monitor/mounts_watcher.hpp"

namespace nx {
class LinuxTarselConfig;
}
class ts_inventory_t;
class ts_kestrum_t;

class ts_file_monitor_t
{
public:
    typedef boost::function<ts_interceptor_ptr(boost::asio::io_service&, int)> factory_t;
    typedef boost::shared_ptr<boost::thread> thread_ptr;
    typedef boost::function<thread_ptr(const boost::function<void()>&)> thread_starter_t;

    // Creates the queue and the watcher, connects the slots, installs an
    // empty process filter and starts the watcher's thread on mounts_path.
    // The owner's Kestrum link must exist. Throws std::bad_alloc,
    // boost::thread_resource_error when the watcher's thread cannot start.
    explicit ts_file_monitor_t(ts_inventory_t* owner, const std::string& mounts_path = TS_MOUNTS_PATH);
    // Stops the interceptor and waits up to 3 seconds for its thread; from
    // here on neither the watcher's thread, nor a loop thread that outlived
    // the wait, nor work already posted reaches this object.
    ~ts_file_monitor_t();

    // An nx::LinuxTarselState value: the running interceptor.
    int mode() const;

    // Rebuilds both filters from the owner's configuration, then starts,
    // keeps, retries or switches the interceptor for the mode (an
    // nx::LinuxTarselMode value).
    // Throws boost::filesystem::filesystem_error (code 20, "nx.Error") for a
    // configured path that is not absolute, before anything changes; throws
    // nx::ErrorCode EC_BAD_CONFIG by value, after its Error line, when no
    // interceptor can be used for the mode (the new filters stay, and an
    // interceptor that ran before runs on).
    void configure(int mode);

    // Sends at most one batch of the oldest waiting paths while the flow is
    // open and nothing waits behind the write in flight. Throws what the
    // Kestrum link's send throws.
    void send_pending();

    // For tests: how interceptors are built (create_interceptor by default),
    // how loop threads are started (start_thread by default) and where the
    // start-up scan looks for processes ("/proc").
    void set_interceptor_factory(const factory_t& factory) { create_ = factory; }
    void set_thread_starter(const thread_starter_t& starter) { start_thread_with_ = starter; }
    void set_proc_root(const std::string& root) { proc_root_ = root; }

    const ts_event_queue_ptr& event_queue() const { return queue_; }
    const ts_mounts_watcher_ptr& mounts_watcher() const { return watcher_; }

    // Starts a boost::thread on body. Throws boost::thread_resource_error.
    static thread_ptr start_thread(const boost::function<void()>& body);

private:
    void set_mode(int mode);
    // create, with an empty result turned into a std::runtime_error.
    ts_interceptor_ptr build(int mode);
    // Makes next current and starts its loop; the previous one stays current
    // when that fails.
    void make_current(const ts_interceptor_ptr& next);
    void switch_to(const ts_interceptor_ptr& next);
    void start_event_loop();
    // The crossings into the main thread (see Threads above). The first two
    // run on the watcher thread, as its signals' slots, while close has not
    // returned; the last on a loop thread, after run returned, possibly after
    // this object is gone: it touches only what it is given.
    void hand_over_mount_change(const ts_mnt_event_t& event);
    void hand_over_watcher_error(const std::string& text);
    static void hand_over_loop_end(boost::asio::io_service& io, const boost::weak_ptr<void>& token,
                                   ts_file_monitor_t* self, const ts_interceptor_ptr& ended);
    // On the main thread, what the watcher's crossings hand over.
    void handle_mount_event(const ts_mnt_event_t& event);
    void raise_watcher_error(const std::string& text);
    // On the main thread, after an interceptor's read loop returned. Throws
    // boost::system::system_error {EC_IO_ERROR, "nx.Error"} when the loop of
    // the current interceptor ended without being stopped.
    void on_loop_ended(const ts_interceptor_ptr& ended);
    void restore_unsent(const std::deque<std::string>& paths);

    // What the file monitor uses of its owner, taken once: the owner's event
    // loop, configuration and Kestrum link, all of which outlive it.
    boost::asio::io_service& event_loop_;
    const nx::LinuxTarselConfig* config_;
    ts_kestrum_t* kestrum_;
    ts_event_queue_ptr queue_;
    ts_interceptor_ptr interceptor_;
    thread_ptr loop_thread_;
    ts_mounts_watcher_ptr watcher_;
    // To the queue and the Kestrum link, which may outlive this object;
    // scoped, so that a constructor that throws leaves no slot behind.
    std::vector<boost::signals2::scoped_connection> connections_;
    // Work posted to the event loop holds it weakly: a handler that runs
    // after this object is gone finds it expired and does nothing.
    boost::shared_ptr<void> alive_;
    factory_t create_;
    thread_starter_t start_thread_with_;
    std::string proc_root_;
};
