#include "monitor/mounts_watcher.hpp"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>

#include "monitor/monitor_texts.hpp"
#include "util/signal_block.hpp"

std::vector<ts_mnt_event_t> mount_table_changes(const std::vector<ts_mntent_t>& old_sorted,
                                                const std::vector<ts_mntent_t>& new_sorted)
{
    std::vector<ts_mnt_event_t> changes;
    std::vector<ts_mntent_t>::const_iterator o = old_sorted.begin(), n = new_sorted.begin();
    while (o != old_sorted.end() || n != new_sorted.end()) {
        // The smallest directory and type waiting in either table: how often
        // each table holds it, and the mount found there (the entries of one
        // directory share it; the last holds it when one is unknown).
        const ts_mntent_t place = (n == new_sorted.end() || (o != old_sorted.end() && *o < *n)) ? *o : *n;
        std::size_t in_old = 0, in_new = 0;
        const ts_mntent_t* old_entry = nullptr;
        const ts_mntent_t* new_entry = nullptr;
        for (; o != old_sorted.end() && same_place(*o, place); ++o, ++in_old)
            old_entry = &*o;
        for (; n != new_sorted.end() && same_place(*n, place); ++n, ++in_new)
            new_entry = &*n;
        const bool replaced =
            old_entry && new_entry && old_entry->id != 0 && new_entry->id != 0 && old_entry->id != new_entry->id;
        if (in_new > in_old)
            changes.insert(changes.end(), in_new - in_old, ts_mnt_event_t{TS_MNT_MOUNTED, *new_entry});
        else if (in_new == 0)
            changes.insert(changes.end(), in_old, ts_mnt_event_t{TS_MNT_UNMOUNTED, *old_entry});
        else if (replaced) {
            // Another mount is found on the directory, and none was added:
            // the one found before was replaced or detached. The interceptor
            // forgets the directory and marks what is there now.
            changes.push_back(ts_mnt_event_t{TS_MNT_UNMOUNTED, *old_entry});
            changes.push_back(ts_mnt_event_t{TS_MNT_MOUNTED, *new_entry});
        }
    }
    return changes;
}

std::vector<ts_mnt_event_t> mount_table_changes(const std::vector<ts_mntent_t>& old_sorted,
                                                const std::vector<ts_mntent_t>& new_sorted,
                                                ts_mount_id_kind_t identities)
{
    std::vector<ts_mnt_event_t> changes = mount_table_changes(old_sorted, new_sorted);
    // The table was woken for and reads as before. With identities that the
    // kernel hands on to the next mount, a mount replaced by another of the
    // same type on the same directory looks so too: each mount is marked
    // again.
    if (changes.empty() && identities == TS_MOUNT_ID_REUSED)
        for (std::size_t i = 0; i < new_sorted.size(); ++i)
            changes.push_back(ts_mnt_event_t{TS_MNT_MOUNTED, new_sorted[i]});
    return changes;
}

ts_mounts_watcher_t::ts_mounts_watcher_t(const std::string& mounts_path)
    : path_(mounts_path)
    , table_(boost::make_shared<std::vector<ts_mntent_t>>())
    , closed_(false)
{}

ts_mounts_watcher_t::~ts_mounts_watcher_t() = default;

void ts_mounts_watcher_t::start()
{
    ts_signal_block_t block;
    boost::thread thread(boost::bind(&ts_mounts_watcher_t::run, shared_from_this()));
    thread.detach();
}

void ts_mounts_watcher_t::close() noexcept
{
    {
        boost::mutex::scoped_lock lock(gate_);
        closed_ = true;
    }
    wake_.signal();
}

void ts_mounts_watcher_t::emit_error(const std::string& text)
{
    boost::mutex::scoped_lock lock(gate_);
    if (!closed_)
        error_signal(text);
}

void ts_mounts_watcher_t::rescan()
{
    boost::shared_ptr<std::vector<ts_mntent_t>> table = boost::make_shared<std::vector<ts_mntent_t>>();
    try {
        read_mounts(*table, path_);
    } catch (const std::exception& e) {
        emit_error(e.what());
        return;
    }
    const ts_mount_id_kind_t identities = identify_mounts(*table);
    std::sort(table->begin(), table->end());
    const std::vector<ts_mnt_event_t> changes = mount_table_changes(*table_, *table, identities);
    if (!changes.empty()) {
        boost::mutex::scoped_lock lock(gate_);
        for (std::size_t i = 0; i < changes.size() && !closed_; ++i)
            mount_signal(changes[i]);
    }
    table_ = table;
}

void ts_mounts_watcher_t::run()
{
    try {
        read_mounts(*table_, path_);
    } catch (const std::exception& e) {
        emit_error(e.what());
        return;
    }
    identify_mounts(*table_);
    std::sort(table_->begin(), table_->end());

    if (!wake_.valid()) {
        emit_error(std::string(TS_TEXT_WATCHER_WAKE_FAILED) + strerror(wake_.error()));
        return;
    }
    // The table is never read through this descriptor: it only signals changes.
    ts_unique_fd_t mounts(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!mounts.valid()) {
        emit_error(std::string(TS_TEXT_WATCHER_OPEN_FAILED) + path_ + ": " + strerror(errno));
        return;
    }
    ts_unique_fd_t epoll(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.valid()) {
        emit_error(std::string(TS_TEXT_WATCHER_EPOLL_FAILED) + strerror(errno));
        return;
    }
    struct epoll_event change = {};
    change.events = EPOLLIN | EPOLLPRI | EPOLLET;
    change.data.fd = mounts.get();
    struct epoll_event wake = {};
    wake.events = EPOLLIN;
    wake.data.fd = wake_.get();
    if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, mounts.get(), &change) != 0 ||
        epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake_.get(), &wake) != 0) {
        emit_error(std::string(TS_TEXT_WATCHER_EPOLL_ADD_FAILED) + strerror(errno));
        return;
    }

    while (!closed_) {
        struct epoll_event ready[2];
        int count = epoll_wait(epoll.get(), ready, 2, -1);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            emit_error(std::string(TS_TEXT_WATCHER_WAIT_FAILED) + strerror(errno));
            return;
        }
        for (int i = 0; i < count; ++i)
            if (ready[i].data.fd == wake_.get())
                return;
        for (int i = 0; i < count && !closed_; ++i)
            rescan();
    }
}
