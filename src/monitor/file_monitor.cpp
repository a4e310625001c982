#include "monitor/file_monitor.hpp"

#include <sstream>

#include <boost/asio/io_service.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/mutex.hpp>

#include "core/config.hpp"
#include "core/inventory.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "links/kestrum.hpp"
#include "linux_tarsel_appinfo.pb.h"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"
#include "monitor/interceptor_factory.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"
#include "monitor/signal_block.hpp"

const char* const COULDNT_INIT_FANOTIFY = "Couldn't init Fanotify interceptor";
const char* const COULDNT_INIT_LKM = "Couldn't init LKM interceptor";
const char* const COULDNT_INIT_ANY = "Couldn't init any filesystem interceptors";
const char* const REMAIN_LKM = "Cannot use fanotify. Remain use LKM";

namespace {

const std::size_t BATCH_LIMIT = 100; // pop takes limit + 1: batches of 101
const int JOIN_SECONDS = 3;
const int KIND_LKM = 0;
const int KIND_FANOTIFY = 1;

void log_debug(const std::string& text)
{
    if (log_threshold <= LOG_DEBUG_LEVEL)
        log_message(LOG_DEBUG_LEVEL, text);
}

} // namespace

ts_file_monitor_t::ts_file_monitor_t(ts_inventory_t* owner_, const std::string& mounts_path)
    : owner(owner_)
    , queue(new ts_event_queue_t)
    , watcher(new ts_mounts_watcher_t(mounts_path))
    , create([](boost::asio::io_service& io, int mode) { return create_interceptor(io, mode); })
    , proc_root("/proc")
{
    ts_kestrum_t* kestrum = owner->kestrum();
    connections.emplace_back(queue->pushed.connect(boost::bind(&ts_file_monitor_t::send_pending, this)));
    connections.emplace_back(kestrum->flow_ready.connect(boost::bind(&ts_file_monitor_t::send_pending, this)));
    connections.emplace_back(kestrum->drained.connect(boost::bind(&ts_file_monitor_t::send_pending, this)));
    connections.emplace_back(kestrum->unsent.connect(boost::bind(&ts_file_monitor_t::restore_unsent, this, boost::placeholders::_1)));
    queue->set_process_filter(new ts_proc_filter_t(owner->io_service_, std::vector<std::string>()));
    watcher->error_signal.connect(boost::bind(&ts_file_monitor_t::on_watcher_error, this, boost::placeholders::_1));
    watcher->mount_signal.connect(boost::bind(&ts_file_monitor_t::on_mount_event, this, boost::placeholders::_1));
    watcher->start();
}

ts_file_monitor_t::~ts_file_monitor_t()
{
    // The watcher's thread outlives this object; once close returns, none of
    // its slots runs again, so nothing more is posted to the event loop.
    watcher->close();
    if (loop_thread) {
        interceptor->stop();
        loop_thread->try_join_for(boost::chrono::seconds(JOIN_SECONDS));
    }
    for (boost::signals2::connection& connection : connections)
        connection.disconnect();
    watcher.reset();
    loop_thread.reset();
    interceptor.reset();
    queue.reset();
}

int ts_file_monitor_t::mode() const
{
    if (!interceptor || !loop_thread)
        return nx::LTS_LOADING;
    switch (interceptor->kind()) {
    case KIND_FANOTIFY: return nx::LTS_FANOTIFY;
    case KIND_LKM: return nx::LTS_LKM;
    default: return nx::LTS_LOADING;
    }
}

void ts_file_monitor_t::configure(int mode)
{
    const nx::LinuxTarselConfig& config = *owner->config();
    std::vector<std::string> included, excluded, processes;
    included_paths(config, included);
    excluded_paths(config, excluded);
    excluded_processes(config, processes);

    std::unique_ptr<ScanSet> paths(new ScanSet(included, excluded));
    queue->set_path_filter(paths.release());
    queue->set_process_filter(new ts_proc_filter_t(owner->io_service_, processes));

    try {
        set_mode(mode);
    } catch (const std::exception& e) {
        log_debug(short_what(e));
        if (log_threshold <= LOG_ERROR_LEVEL)
            log_message(LOG_ERROR_LEVEL, mode == nx::LTM_FANOTIFY ? COULDNT_INIT_FANOTIFY
                                         : mode == nx::LTM_LKM    ? COULDNT_INIT_LKM
                                                                  : COULDNT_INIT_ANY);
        throw nx::EC_BAD_CONFIG;
    }
}

void ts_file_monitor_t::set_mode(int mode)
{
    if (!interceptor) {
        interceptor = create(owner->io_service_, mode);
        if (!interceptor)
            throw std::runtime_error("no interceptor for this mode");
        start_event_loop();
        const std::vector<ts_event_t> running = produce_exe_list(proc_root);
        for (const ts_event_t& event : running)
            queue->push(event);
        return;
    }

    const int kind = interceptor->kind();
    if (kind == KIND_FANOTIFY && (mode == nx::LTM_AUTO || mode == nx::LTM_FANOTIFY))
        return;
    if (kind == KIND_LKM && mode == nx::LTM_LKM)
        return;
    if (kind == KIND_LKM && mode == nx::LTM_AUTO) {
        ts_interceptor_ptr next;
        try {
            next = create(owner->io_service_, nx::LTM_FANOTIFY);
        } catch (const std::exception& e) {
            log_debug(short_what(e));
            if (log_threshold <= LOG_INFO_LEVEL)
                log_message(LOG_INFO_LEVEL, REMAIN_LKM);
            return;
        }
        switch_to(next);
        return;
    }
    int build = mode;
    if (kind == KIND_FANOTIFY && mode == nx::LTM_LKM)
        build = nx::LTM_LKM;
    else if (kind == KIND_LKM && mode == nx::LTM_FANOTIFY)
        build = nx::LTM_FANOTIFY;
    switch_to(create(owner->io_service_, build));
}

void ts_file_monitor_t::switch_to(const ts_interceptor_ptr& next)
{
    if (!next)
        throw std::runtime_error("no interceptor for this mode");
    ts_interceptor_ptr old_interceptor = interceptor;
    boost::shared_ptr<boost::thread> old_thread = loop_thread;
    interceptor = next;
    start_event_loop();
    old_interceptor->stop();
    if (old_thread)
        old_thread->try_join_for(boost::chrono::seconds(JOIN_SECONDS));
}

void ts_file_monitor_t::start_event_loop()
{
    try {
        ts_signal_block_t blocked;
        loop_thread.reset(new boost::thread(boost::bind(&ts_interceptor_if::run, interceptor, queue)));
    } catch (const std::exception& e) {
        log_debug(std::string("Cannot start monitoring, error occured: ") + e.what());
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_CANNOT_START), TS_CTX_FILE_MONITOR);
    }
    log_debug("file monitor's event loop has been started");
}

void ts_file_monitor_t::send_pending()
{
    ts_kestrum_t* kestrum = owner->kestrum();
    if (!kestrum->is_flow_open() || !kestrum->send_queue_empty())
        return;
    std::deque<std::string> batch;
    queue->pop(batch, BATCH_LIMIT);
    if (!batch.empty())
        kestrum->send_flow_data(batch.begin(), batch.end());
}

void ts_file_monitor_t::restore_unsent(const std::deque<std::string>& paths)
{
    queue->restore_front(paths);
}

void ts_file_monitor_t::on_mount_event(const ts_mnt_event_t& event)
{
    owner->io_service_.post(boost::bind(&ts_file_monitor_t::handle_mount_event, this, event));
}

void ts_file_monitor_t::on_watcher_error(const std::string& text)
{
    owner->io_service_.post(boost::bind(&ts_file_monitor_t::raise_watcher_error, this, text));
}

void ts_file_monitor_t::handle_mount_event(const ts_mnt_event_t& event)
{
    if (!interceptor)
        return;
    const std::string& dir = event.entry.dir;
    if (event.kind == TS_MNT_MOUNTED) {
        if (interceptor->add_path(dir))
            log_debug("Mountpoint \"" + dir + "\" has been added for monitoring successfully");
        else
            log_debug("Couldn't add \"" + dir + "\" mountpoint for monitoring");
    } else if (event.kind == TS_MNT_UNMOUNTED) {
        if (interceptor->remove_path(dir))
            log_debug("Mountpoint \"" + dir + "\" has been deleted from monitoring paths successfully");
        else if (log_threshold <= LOG_WARNING_LEVEL)
            log_message(LOG_WARNING_LEVEL, "Couldn't delete \"" + dir + "\" mountpoint from monitoring paths");
    }
}

void ts_file_monitor_t::raise_watcher_error(const std::string& text)
{
    log_debug(text);
    throw boost::system::system_error(make_monitor_error_code(TS_ERR_MOUNTS_WATCHER), TS_CTX_FILE_MONITOR);
}

std::vector<ts_event_t> produce_exe_list(const std::string& proc_root)
{
    namespace fs = boost::filesystem;
    std::vector<ts_event_t> list;
    for (fs::directory_iterator it(proc_root), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const fs::path exe = it->path() / "exe";
        boost::system::error_code error;
        const fs::path resolved = fs::canonical(exe, error);
        if (!error) {
            const int pid = std::atoi(name.c_str());
            list.push_back(ts_event_t{boost::make_shared<std::string>(resolved.string()), pid});
            if (log_threshold <= LOG_DEBUG_LEVEL) {
                std::ostringstream text;
                text << "produce_exe_list: pid=" << pid << " exe=\"" << resolved.string() << "\"";
                log_message(LOG_DEBUG_LEVEL, text.str());
            }
            continue;
        }
        if (error == boost::system::errc::no_such_file_or_directory) {
            boost::system::error_code size_error;
            const boost::uintmax_t size = fs::file_size(it->path() / "cmdline", size_error);
            if (!size_error && size == 0) {
                log_debug("produce_exe_list: pid=" + name + " is a kernel thread");
                continue;
            }
        }
        if (log_threshold <= LOG_WARNING_LEVEL) {
            std::ostringstream text;
            text << error.message() << ": " << exe;
            log_message(LOG_WARNING_LEVEL, text.str());
        }
    }
    return list;
}
