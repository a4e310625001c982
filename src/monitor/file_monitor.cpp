#include "monitor/file_monitor.hpp"

#include <climits>
#include <sstream>
#include <stdexcept>

#include <boost/bind/bind.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/weak_ptr.hpp>

#include "core/config.hpp"
#include "core/inventory.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "links/kestrum.hpp"
#include "linux_tarsel_appinfo.pb.h"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"
#include "monitor/event_handoff.hpp"
#include "monitor/handoff.hpp"
#include "monitor/interceptor_factory.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"
#include "util/main_thread.hpp"
#include "util/signal_block.hpp"

namespace {

const int JOIN_SECONDS = 3;

std::string quoted(const std::string& dir)
{
    return "\"" + dir + "\"";
}

} // namespace

ts_file_monitor_t::thread_ptr ts_file_monitor_t::start_thread(const boost::function<void()>& body)
{
    return boost::make_shared<boost::thread>(body);
}

ts_file_monitor_t::ts_file_monitor_t(ts_inventory_t* owner, const std::string& mounts_path)
    : event_loop_(owner->io_service_)
    , config_(owner->config())
    , kestrum_(owner->kestrum())
    , queue_(new ts_event_queue_t)
    , watcher_(new ts_mounts_watcher_t(mounts_path))
    , alive_(boost::make_shared<int>(0))
    , create_([](boost::asio::io_service& io, int mode) { return create_interceptor(io, mode); })
    , start_thread_with_(&ts_file_monitor_t::start_thread)
    , proc_root_("/proc")
{
    NT_ASSERT_MAIN_THREAD();
    connections_.reserve(4);
    connections_.emplace_back(queue_->pushed.connect(boost::bind(&ts_file_monitor_t::send_pending, this)));
    connections_.emplace_back(kestrum_->flow_ready.connect(boost::bind(&ts_file_monitor_t::send_pending, this)));
    // A completed write with nothing behind it takes the next batch, so a
    // backlog reaches Kestrum without waiting for further file accesses.
    connections_.emplace_back(kestrum_->drained.connect(boost::bind(&ts_file_monitor_t::send_pending, this)));
    connections_.emplace_back(
        kestrum_->unsent.connect(boost::bind(&ts_file_monitor_t::restore_unsent, this, boost::placeholders::_1)));
    queue_->set_process_filter(new ts_proc_filter_t(event_loop_, std::vector<std::string>()));
    watcher_->error_signal.connect(
        boost::bind(&ts_file_monitor_t::hand_over_watcher_error, this, boost::placeholders::_1));
    watcher_->mount_signal.connect(
        boost::bind(&ts_file_monitor_t::hand_over_mount_change, this, boost::placeholders::_1));
    watcher_->start();
}

ts_file_monitor_t::~ts_file_monitor_t()
{
    NT_ASSERT_MAIN_THREAD();
    // The watcher's thread outlives this object; once close returns, none of
    // its slots runs again, so nothing more is posted to the event loop.
    watcher_->close();
    if (loop_thread_) {
        interceptor_->stop();
        loop_thread_->try_join_for(boost::chrono::seconds(JOIN_SECONDS));
    }
    connections_.clear();
    alive_.reset();
    watcher_.reset();
    loop_thread_.reset();
    interceptor_.reset();
    queue_.reset();
}

int ts_file_monitor_t::mode() const
{
    NT_ASSERT_MAIN_THREAD();
    if (!interceptor_ || !loop_thread_)
        return nx::LTS_LOADING;
    switch (interceptor_->kind()) {
    case TS_KIND_FANOTIFY: return nx::LTS_FANOTIFY;
    case TS_KIND_LKM: return nx::LTS_LKM;
    default: return nx::LTS_LOADING;
    }
}

void ts_file_monitor_t::configure(int mode)
{
    NT_ASSERT_MAIN_THREAD();
    const nx::LinuxTarselConfig& configured = *config_;
    std::vector<std::string> included, excluded, processes;
    included_paths(configured, included);
    excluded_paths(configured, excluded);
    excluded_processes(configured, processes);

    // Built before anything is replaced: a relative path leaves all as it was.
    std::unique_ptr<ScanSet> paths(new ScanSet(included, excluded));
    queue_->set_path_filter(paths.release());
    std::unique_ptr<ts_proc_filter_t> processes_filter(new ts_proc_filter_t(event_loop_));
    processes_filter->set_excluded(processes);
    queue_->set_process_filter(processes_filter.release());

    try {
        set_mode(mode);
    } catch (const std::exception& e) {
        NT_LOG(LOG_DEBUG_LEVEL, short_what(e));
        NT_LOG(LOG_ERROR_LEVEL, (mode == nx::LTM_FANOTIFY ? TS_TEXT_COULDNT_INIT_FANOTIFY
                                 : mode == nx::LTM_LKM    ? TS_TEXT_COULDNT_INIT_LKM
                                                          : TS_TEXT_COULDNT_INIT_ANY));
        throw nx::EC_BAD_CONFIG;
    }
}

ts_interceptor_ptr ts_file_monitor_t::build(int mode)
{
    NT_ASSERT_MAIN_THREAD();
    ts_interceptor_ptr built = create_(event_loop_, mode);
    if (!built)
        throw std::runtime_error(TS_TEXT_NO_INTERCEPTOR);
    return built;
}

void ts_file_monitor_t::set_mode(int mode)
{
    NT_ASSERT_MAIN_THREAD();
    if (!interceptor_) {
        make_current(build(mode));
        // Pushed directly, not posted: they enter the queue before any event
        // of the new interceptor, whose pushes wait in the event loop.
        const std::vector<ts_event_t> running = produce_exe_list(proc_root_);
        for (const ts_event_t& event : running)
            queue_->push(event);
        return;
    }

    const int kind = interceptor_->kind();
    if (kind == TS_KIND_FANOTIFY && (mode == nx::LTM_AUTO || mode == nx::LTM_FANOTIFY))
        return;
    if (kind == TS_KIND_LKM && mode == nx::LTM_LKM)
        return;
    if (kind == TS_KIND_LKM && mode == nx::LTM_AUTO) {
        ts_interceptor_ptr next;
        try {
            next = build(nx::LTM_FANOTIFY);
        } catch (const std::exception& e) {
            NT_LOG(LOG_DEBUG_LEVEL, short_what(e));
            NT_LOG(LOG_INFO_LEVEL, TS_TEXT_REMAIN_LKM);
            return;
        }
        switch_to(next);
        return;
    }
    // Fanotify to mode 2, the kernel module to mode 1, any other kind to any
    // mode: each switch builds what the mode names.
    switch_to(build(mode));
}

void ts_file_monitor_t::make_current(const ts_interceptor_ptr& next)
{
    NT_ASSERT_MAIN_THREAD();
    const ts_interceptor_ptr previous = interceptor_;
    interceptor_ = next;
    try {
        start_event_loop();
    } catch (...) {
        interceptor_ = previous;
        throw;
    }
}

void ts_file_monitor_t::switch_to(const ts_interceptor_ptr& next)
{
    NT_ASSERT_MAIN_THREAD();
    const ts_interceptor_ptr old_interceptor = interceptor_;
    const thread_ptr old_thread = loop_thread_;
    // The new loop runs before the old one is asked to stop, so no access
    // goes unseen; the queue merges what both report meanwhile.
    make_current(next);
    old_interceptor->stop();
    if (old_thread)
        old_thread->try_join_for(boost::chrono::seconds(JOIN_SECONDS));
    // Releasing old_thread detaches a loop that outlived the wait; it holds
    // its interceptor and the queue until its run returns.
}

void ts_file_monitor_t::start_event_loop()
{
    NT_ASSERT_MAIN_THREAD();
    try {
        // The loop thread inherits the blocked mask: these signals belong to
        // the main thread's event loop.
        ts_signal_block_t blocked;
        const ts_interceptor_ptr current = interceptor_;
        const ts_event_queue_ptr events = queue_;
        const boost::weak_ptr<void> token = alive_;
        ts_file_monitor_t* self = this;
        boost::asio::io_service* loop = &event_loop_;
        loop_thread_ = start_thread_with_([current, events, token, self, loop] {
            current->run(events);
            // A loop that gives up on its own (the kernel module's device
            // failed) would leave the daemon blind: the main thread decides.
            hand_over_loop_end(*loop, token, self, current);
        });
    } catch (const std::exception& e) {
        NT_LOG(LOG_DEBUG_LEVEL, std::string(TS_TEXT_CANNOT_START) + e.what());
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_CANNOT_START), TS_TEXT_CONTEXT_FILE_MONITOR);
    }
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LOOP_STARTED);
}

void ts_file_monitor_t::on_loop_ended(const ts_interceptor_ptr& ended)
{
    NT_ASSERT_MAIN_THREAD();
    // A replaced interceptor's loop ends because it was stopped.
    if (ended != interceptor_)
        return;
    NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_LOOP_ENDED);
    throw boost::system::system_error(nx::make_error_code(nx::EC_IO_ERROR), TS_TEXT_CONTEXT_FILE_MONITOR);
}

void ts_file_monitor_t::send_pending()
{
    NT_ASSERT_MAIN_THREAD();
    if (!kestrum_->is_flow_open() || !kestrum_->send_queue_empty())
        return;
    std::deque<std::string> batch;
    // pop takes one more than its limit.
    queue_->pop(batch, TS_BATCH_PATHS - 1);
    if (!batch.empty())
        kestrum_->send_flow_data(batch.begin(), batch.end());
}

void ts_file_monitor_t::restore_unsent(const std::deque<std::string>& paths)
{
    NT_ASSERT_MAIN_THREAD();
    queue_->restore_front(paths);
}

void ts_file_monitor_t::hand_over_loop_end(boost::asio::io_service& io, const boost::weak_ptr<void>& token,
                                           ts_file_monitor_t* self, const ts_interceptor_ptr& ended)
{
    // Without a file monitor nobody waits for the news; the check spares a
    // post into a loop that may be shutting down with the process.
    if (token.expired())
        return;
    ts_handoff_t::post(io, token, [self, ended] { self->on_loop_ended(ended); });
}

void ts_file_monitor_t::hand_over_mount_change(const ts_mnt_event_t& event)
{
    ts_file_monitor_t* self = this;
    ts_handoff_t::post(event_loop_, alive_, [self, event] { self->handle_mount_event(event); });
}

void ts_file_monitor_t::hand_over_watcher_error(const std::string& text)
{
    ts_file_monitor_t* self = this;
    ts_handoff_t::post(event_loop_, alive_, [self, text] { self->raise_watcher_error(text); });
}

void ts_file_monitor_t::handle_mount_event(const ts_mnt_event_t& event)
{
    NT_ASSERT_MAIN_THREAD();
    if (!interceptor_)
        return;
    const std::string& dir = event.entry.dir;
    if (event.kind == TS_MNT_MOUNTED) {
        if (interceptor_->add_path(dir))
            NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_MOUNT_PREFIX + quoted(dir) + TS_TEXT_MOUNT_ADDED_SUFFIX);
        else
            NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_MOUNT_NOT_ADDED_PREFIX + quoted(dir) + TS_TEXT_MOUNT_NOT_ADDED_SUFFIX);
    } else if (event.kind == TS_MNT_UNMOUNTED) {
        if (interceptor_->remove_path(dir))
            NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_MOUNT_PREFIX + quoted(dir) + TS_TEXT_MOUNT_DELETED_SUFFIX);
        else
            NT_LOG(LOG_WARNING_LEVEL,
                   TS_TEXT_MOUNT_NOT_DELETED_PREFIX + quoted(dir) + TS_TEXT_MOUNT_NOT_DELETED_SUFFIX);
    }
}

void ts_file_monitor_t::raise_watcher_error(const std::string& text)
{
    NT_ASSERT_MAIN_THREAD();
    NT_LOG(LOG_DEBUG_LEVEL, text);
    throw boost::system::system_error(make_monitor_error_code(TS_ERR_MOUNTS_WATCHER), TS_TEXT_CONTEXT_FILE_MONITOR);
}
