// The interceptor built on Linux fanotify: one notification group with a
// mount mark for open and close events on every monitored mount point.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>

#include "monitor/event.hpp"
#include "monitor/interceptor.hpp"
#include "monitor/mount_ids.hpp"
#include "util/unique_fd.hpp"
#include "util/wake_fd.hpp"

// Bytes asked for by one read: room for 100 records, so at most 100 event
// descriptors are open at once.
const std::size_t TS_FAN_READ_SIZE = 2400;
// Room for a link target read from "/proc/self/fd/N".
const std::size_t TS_FAN_PATH_SIZE = 4096;

class ts_fanotify_t : public ts_interceptor_if, private boost::noncopyable
{
public:
    typedef int (*init_fn_t)(unsigned int flags, unsigned int event_f_flags);
    typedef int (*mark_fn_t)(int fanotify_fd, unsigned int flags, std::uint64_t mask, int dirfd, const char* pathname);

    // Opens a notification group and marks every mount point in list order
    // (Debug line for each). io is the main event loop that run hands
    // events over to; it must outlive run.
    // Throws std::runtime_error ("dlopen: ...") when the program's own symbol
    // scope cannot be opened; boost::system::system_error with the "nx"
    // codes and the context "Fanotify": 203 when fanotify_init or
    // fanotify_mark is not found, 204 when the group (or its wake-up
    // descriptor) cannot be made, 205 when no mount point could be marked
    // (an empty list included). Nothing acquired is left behind.
    ts_fanotify_t(boost::asio::io_service& io, const std::vector<std::string>& mount_points);
    // Forgets the marked directories, closes the group (its marks go with
    // it) and the symbol scope.
    ~ts_fanotify_t() override;

    // Reads the group with plain reads on the calling thread until stop.
    // The events of reads of up to 100 records each are handed over, in
    // record order, once a batch's worth (TS_BATCH_PATHS) is gathered or a
    // read finds nothing more (and when run ends). A failing
    // read is logged once per run of failures and retried at once, since
    // the kernel fails a read for one event whose file it cannot open; once
    // more than 16 reads in a row have failed, every 100 ms. EINTR is
    // retried at once.
    // Never throws beyond std::bad_alloc.
    void run(boost::shared_ptr<ts_event_queue_t> queue) override;
    // Sets the stop flag and wakes run. Any thread; never throws.
    void stop() override;
    int kind() const override;
    // Puts a mount mark on dir, also when dir was marked before, so a file
    // system mounted over a marked directory is watched too (marking a mount
    // twice is harmless), and adds the mount to those run takes as attached.
    // False when the kernel refuses the mark.
    bool add_path(std::string dir) override;
    // Forgets dir and the mounts marked through it: run no longer takes
    // them as attached. The kernel drops the mark of an unmounted file
    // system by itself. Always true.
    bool remove_path(std::string dir) override;

    // Turns the bytes of one read into events, appended to out in record
    // order. Records are walked by their event_len: one that is too short or
    // runs past the end ends the walk, one of another metadata version is
    // skipped; the descriptor of every other record is closed once, when the
    // walk ends (a record without one closes nothing). Dropped: events of
    // own_pid, overflow records (Warning), objects other than regular files
    // and symbolic links, and paths that do not fit path_limit bytes
    // (Warning), and paths that do not name the accessed file: that of a
    // file with no link left, a name the kernel marked " (deleted)" unless a
    // file of that name is this one, and a name on a mount that marked
    // (when given and the kernel tells a file's mount) does not hold with a
    // directory the name lies in, unless it is this file's name in the
    // daemon's namespace too (Debug line).
    // path_limit is at most TS_FAN_PATH_SIZE. Never throws beyond
    // std::bad_alloc (a descriptor is still closed then).
    // fd_dir is a descriptor of "/proc/self/fd", through which each link is
    // read without walking that path again; -1 reads "/proc/self/fd/N".
    static void handle_records(const char* data, std::size_t size, int own_pid, std::vector<ts_event_t>& out,
                               int fd_dir = -1, std::size_t path_limit = TS_FAN_PATH_SIZE,
                               const ts_mount_ids_t* marked = nullptr);

private:
    struct symbols_closer_t
    {
        void operator()(void* handle) const;
    };

    // Bytes one read may ask for under the descriptor limit, lowest_free
    // being the lowest descriptor number free at the start of run.
    static std::size_t read_size_for(int lowest_free);
    // Makes the mounts of marked_ the set run takes as attached.
    void publish_marked();
    void back_off();
    bool wait_readable();

    std::atomic<bool> stop_flag_;
    boost::asio::io_service& io_;
    // Declared so that destruction releases the set, the group, then the
    // symbol scope.
    std::unique_ptr<void, symbols_closer_t> symbols_;
    init_fn_t init_;
    mark_fn_t mark_;
    ts_wake_fd_t wake_;    // signalled by stop
    ts_unique_fd_t group_; // the fanotify descriptor
    // The marked directories, each with the mounts a mark went to through
    // it (those whose identity the kernel told). Main thread only.
    std::map<std::string, std::vector<std::uint64_t>> marked_;
    // Those mounts, for run: replaced whole (std::atomic_store) by the main
    // thread, read by run once per read.
    std::shared_ptr<const ts_mount_ids_t> marked_ids_;
};
