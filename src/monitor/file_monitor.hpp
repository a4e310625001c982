// Ties the monitoring pipeline together: the event queue with its filters,
// the active interceptor with the thread running its read loop, and the
// mounts watcher. Everything here runs on the main thread; the interceptor
// and watcher threads reach it only through work posted to the event loop.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/function.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/thread.hpp>

#include "monitor/event.hpp"
#include "monitor/event_queue.hpp"
#include "monitor/interceptor.hpp"
#include "monitor/mounts_watcher.hpp"

class ts_inventory_t;

class ts_file_monitor_t
{
public:
    typedef boost::function<ts_interceptor_ptr(boost::asio::io_service&, int)> factory_t;

    // Creates the queue and the watcher, connects the slots, installs an
    // empty process filter and starts the watcher's thread.
    explicit ts_file_monitor_t(ts_inventory_t* owner, const std::string& mounts_path = TS_MOUNTS_PATH);
    // Stops the interceptor and waits up to 3 seconds for its thread; the
    // watcher's thread no longer reaches this object or the event loop.
    ~ts_file_monitor_t();

    // An nx::LinuxTarselState value: the running interceptor.
    int mode() const;

    // Rebuilds both filters from the current configuration, then starts,
    // keeps, retries or switches the interceptor for the mode.
    // Throws boost::filesystem::filesystem_error (code 20) for a relative
    // configured path, before anything changes, and nx::ErrorCode
    // EC_BAD_CONFIG when no interceptor can be used for the mode.
    void configure(int mode);

    // Sends at most one batch of the oldest waiting paths while the flow is
    // open and nothing waits behind the write in flight.
    void send_pending();

    // For tests: how interceptors are built (create_interceptor by default)
    // and where the start-up scan looks for processes ("/proc").
    void set_interceptor_factory(const factory_t& factory) { create = factory; }
    void set_proc_root(const std::string& root) { proc_root = root; }

    const ts_event_queue_ptr& event_queue() const { return queue; }

private:
    void set_mode(int mode);
    void switch_to(const ts_interceptor_ptr& next);
    void start_event_loop();
    // On the watcher thread: they only post to the event loop.
    void on_mount_event(const ts_mnt_event_t& event);
    void on_watcher_error(const std::string& text);
    void handle_mount_event(const ts_mnt_event_t& event);
    void raise_watcher_error(const std::string& text);
    void restore_unsent(const std::deque<std::string>& paths);

    ts_inventory_t* owner;
    ts_event_queue_ptr queue;
    ts_interceptor_ptr interceptor;
    boost::shared_ptr<boost::thread> loop_thread;
    boost::shared_ptr<ts_mounts_watcher_t> watcher;
    // To the queue and the Kestrum link, which may outlive this object.
    std::vector<boost::signals2::connection> connections;
    factory_t create;
    std::string proc_root;
};

// One record per running process whose executable resolves: its canonical
// path and pid. Throws boost::filesystem::filesystem_error when the process
// directory cannot be listed.
std::vector<ts_event_t> produce_exe_list(const std::string& proc_root = "/proc");

extern const char* const COULDNT_INIT_FANOTIFY; // "Couldn't init Fanotify interceptor"
extern const char* const COULDNT_INIT_LKM;      // "Couldn't init LKM interceptor"
extern const char* const COULDNT_INIT_ANY;      // "Couldn't init any filesystem interceptors"
extern const char* const REMAIN_LKM;            // "Cannot use fanotify. Remain use LKM"
