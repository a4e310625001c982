#include "monitor/fanotify.hpp"

#include <sys/fanotify.h>
#include <sys/ioctl.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <set>

#include <boost/asio/io_service.hpp>
#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "kernel_fixture.hpp"
#include "monitor/event_queue.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/mount_ids.hpp"
#include "monitor/mounts_watcher.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"
#include "support/temp_dir.hpp"
#include "util/signal_block.hpp"

using namespace nt_monitor_test;

namespace {

// ---- records handed to handle_records --------------------------------------

enum object_t { REGULAR, REGULAR_LONG, DIRECTORY, FIFO, NO_FD, STALE_FD };

struct record_t
{
    object_t object;
    bool own_pid;
    std::uint64_t mask;
    std::uint8_t vers;       // 0: the kernel's version
    std::uint32_t event_len; // 0: the record's real size
    std::size_t pad;         // bytes after the 24-byte header
};

record_t rec(object_t object, std::uint64_t mask = FAN_OPEN)
{
    return record_t{object, false, mask, 0, 0, 0};
}
record_t own(object_t object)
{
    return record_t{object, true, FAN_OPEN, 0, 0, 0};
}
record_t version(object_t object, std::uint8_t vers)
{
    return record_t{object, false, FAN_OPEN, vers, 0, 0};
}
record_t length(object_t object, std::uint32_t event_len, std::size_t pad = 0)
{
    return record_t{object, false, FAN_OPEN, 0, event_len, pad};
}

struct buffer_case_t
{
    const char* name;
    std::vector<record_t> records;
    std::size_t trailing;              // stray bytes after the records
    bool short_path_limit;             // room for the short file's path only
    std::vector<std::size_t> events;   // records whose path arrives, in order
    std::vector<std::size_t> kept;     // records whose descriptor stays open
    std::vector<std::string> warnings; // prefixes, in order
};

const int other_pid = 1;

std::vector<std::size_t> first_records(std::size_t count)
{
    std::vector<std::size_t> records(count);
    for (std::size_t i = 0; i < count; ++i)
        records[i] = i;
    return records;
}

const buffer_case_t buffer_cases[] = {
    {"regular file of another process", {rec(REGULAR)}, 0, false, {0}, {}, {}},
    {"access by the daemon itself", {own(REGULAR), own(NO_FD)}, 0, false, {}, {}, {}},
    {"queue overflow", {rec(NO_FD, FAN_Q_OVERFLOW)}, 0, false, {}, {}, {TS_TEXT_FANOTIFY_OVERFLOW}},
    {"directories and FIFOs", {rec(DIRECTORY), rec(FIFO), rec(REGULAR)}, 0, false, {2}, {}, {}},
    {"record without a descriptor", {rec(NO_FD), rec(REGULAR)}, 0, false, {1}, {}, {}},
    {"descriptor that cannot be examined",
     {rec(STALE_FD), rec(REGULAR)},
     0,
     false,
     {1},
     {},
     {std::string(TS_TEXT_FANOTIFY_STAT_FAILED) + strerror(EBADF)}},
    {"other metadata version is skipped",
     {version(REGULAR, FANOTIFY_METADATA_VERSION + 1), rec(REGULAR_LONG)},
     0,
     false,
     {1},
     {0},
     {TS_TEXT_FANOTIFY_BAD_VERSION}},
    {"longer record is walked by its length", {length(REGULAR, 40, 16), rec(REGULAR_LONG)}, 0, false, {0, 1}, {}, {}},
    {"too short a length ends the walk",
     {rec(REGULAR), length(REGULAR_LONG, 8), rec(DIRECTORY)},
     0,
     false,
     {0},
     {1, 2},
     {TS_TEXT_FANOTIFY_BAD_RECORD}},
    {"length past the end ends the walk",
     {rec(REGULAR), length(REGULAR_LONG, 4096)},
     0,
     false,
     {0},
     {1},
     {TS_TEXT_FANOTIFY_BAD_RECORD}},
    {"stray bytes after the last record", {rec(REGULAR)}, 10, false, {0}, {}, {TS_TEXT_FANOTIFY_BAD_RECORD}},
    {"path that does not fit is dropped",
     {rec(REGULAR_LONG), rec(REGULAR)},
     0,
     true,
     {1},
     {},
     {TS_TEXT_FANOTIFY_PATH_TOO_LONG}},
    {"events keep record order", {rec(REGULAR_LONG), rec(DIRECTORY), rec(REGULAR)}, 0, false, {0, 2}, {}, {}},
    // The descriptors of a walk are closed together, runs of consecutive
    // numbers at once: a skipped record's descriptor in the middle of such
    // numbers is not the walk's to close.
    {"a skipped record's descriptor between closed ones stays open",
     {rec(REGULAR), version(REGULAR, FANOTIFY_METADATA_VERSION + 1), rec(REGULAR), rec(REGULAR)},
     0,
     false,
     {0, 2, 3},
     {1},
     {TS_TEXT_FANOTIFY_BAD_VERSION}},
    {"more descriptors than one read brings",
     std::vector<record_t>(150, rec(REGULAR)),
     0,
     false,
     first_records(150),
     {},
     {}},
};

// ---- a running interceptor --------------------------------------------------

class fanotify_test : public private_tmpfs_test_t
{
protected:
    fanotify_test()
        : private_tmpfs_test_t("nt-fanotify")
    {}

    void SetUp() override
    {
        private_tmpfs_test_t::SetUp();
        if (HasFatalFailure())
            return;
        queue = boost::make_shared<ts_event_queue_t>();
        queue->set_path_filter(new ScanSet(std::vector<std::string>{watched}, std::vector<std::string>()));
        queue->set_process_filter(new ts_proc_filter_t(io));
    }

    void TearDown() override
    {
        stop_and_join();
        interceptor.reset();
        private_tmpfs_test_t::TearDown();
    }

    void start(const std::vector<std::string>& mount_points)
    {
        interceptor = boost::make_shared<ts_fanotify_t>(boost::ref(io), mount_points);
        ts_signal_block_t block;
        loop = boost::make_shared<boost::thread>(boost::bind(&ts_interceptor_if::run, interceptor, queue));
    }

    // True when run returned within the (generous) limit after stop.
    bool stop_and_join()
    {
        if (!loop)
            return true;
        interceptor->stop();
        bool ended = loop->try_join_for(boost::chrono::seconds(2));
        if (!ended)
            loop->detach();
        loop.reset();
        return ended;
    }

    // Runs the event loop until path was pushed (true) or a generous limit
    // passed; every path that reached the queue is kept in arrived once, in
    // the order of its first arrival.
    bool wait_for(const std::string& path)
    {
        for (int i = 0; i < 400; ++i) {
            io.run_one_for(std::chrono::milliseconds(25));
            std::deque<std::string> out;
            queue->pop(out, 0);
            for (std::size_t j = 0; j < out.size(); ++j)
                if (std::find(arrived.begin(), arrived.end(), out[j]) == arrived.end())
                    arrived.push_back(out[j]);
            if (std::find(arrived.begin(), arrived.end(), path) != arrived.end())
                return true;
        }
        return false;
    }

    std::string file(const std::string& name, const std::string& content = "x")
    {
        std::string path = watched + "/" + name;
        EXPECT_TRUE(write_file(path, content)) << path;
        return path;
    }

    log_capture_t capture;
    boost::asio::io_service io;
    ts_event_queue_ptr queue;
    boost::shared_ptr<ts_fanotify_t> interceptor;
    boost::shared_ptr<boost::thread> loop;
    std::vector<std::string> arrived;
};

std::string group_fd_link()
{
    return "anon_inode:[fanotify]";
}

// The descriptor number of the (single) fanotify group of this process.
int find_group_fd()
{
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64], target[256];
        snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof target - 1);
        if (n > 0 && std::string(target, n) == group_fd_link())
            return fd;
    }
    return -1;
}

// The identity of the mount dir leads to, as the interceptor learns it; 0
// when the kernel does not tell.
std::uint64_t mount_id_of(const std::string& dir)
{
    struct statx st;
    if (statx(AT_FDCWD, dir.c_str(), 0, TS_STATX_MOUNT_ID, &st) != 0 || statx_mount_id_kind(st) == TS_MOUNT_ID_NONE)
        return 0;
    return st.stx_mnt_id;
}

// A fanotify record of another process for fd, as the kernel writes it.
std::string record_for(int fd)
{
    struct fanotify_event_metadata m = {};
    m.event_len = FAN_EVENT_METADATA_LEN;
    m.vers = FANOTIFY_METADATA_VERSION;
    m.metadata_len = FAN_EVENT_METADATA_LEN;
    m.mask = FAN_CLOSE_NOWRITE;
    m.fd = fd;
    m.pid = other_pid;
    return std::string(reinterpret_cast<const char*>(&m), sizeof m);
}

} // namespace

TEST_F(fanotify_test, records_are_walked_and_their_descriptors_closed_once)
{
    const std::string short_path = file("a");
    const std::string long_path = file(std::string(200, 'l'));
    const std::string fifo_path = watched + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo_path.c_str(), 0644));

    // Both ways to the links: through a descriptor of "/proc/self/fd", and
    // by the full path.
    const int proc_fd_dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(proc_fd_dir, 0);
    for (int fd_dir : {proc_fd_dir, -1})
        for (const buffer_case_t& c : buffer_cases) {
            SCOPED_TRACE(c.name);
            SCOPED_TRACE(fd_dir < 0 ? "by full path" : "through the fd directory");
            capture.reset();
            std::vector<int> fds;
            std::string bytes;
            for (const record_t& r : c.records) {
                int fd = -1;
                switch (r.object) {
                case REGULAR: fd = open(short_path.c_str(), O_RDONLY | O_CLOEXEC); break;
                case REGULAR_LONG: fd = open(long_path.c_str(), O_RDONLY | O_CLOEXEC); break;
                case DIRECTORY: fd = open(watched.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); break;
                case FIFO: fd = open(fifo_path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); break;
                case NO_FD: fd = FAN_NOFD; break;
                case STALE_FD:
                    // Far above the numbers the other records get, which
                    // are the lowest free ones and would reuse a low one.
                    fd = fcntl(0, F_DUPFD_CLOEXEC, 900);
                    close(fd);
                    break;
                }
                if (r.object != NO_FD && r.object != STALE_FD) {
                    ASSERT_GE(fd, 0) << strerror(errno);
                }
                fds.push_back(fd);
                struct fanotify_event_metadata m = {};
                m.event_len = r.event_len ? r.event_len : static_cast<std::uint32_t>(FAN_EVENT_METADATA_LEN + r.pad);
                m.vers = r.vers ? r.vers : FANOTIFY_METADATA_VERSION;
                m.metadata_len = FAN_EVENT_METADATA_LEN;
                m.mask = r.mask;
                m.fd = fd;
                m.pid = r.own_pid ? getpid() : other_pid;
                bytes.append(reinterpret_cast<const char*>(&m), sizeof m);
                bytes.append(r.pad, '\0');
            }
            bytes.append(c.trailing, '\x7f');

            std::vector<ts_event_t> events;
            ts_fanotify_t::handle_records(bytes.data(), bytes.size(), getpid(), events, fd_dir,
                                          c.short_path_limit ? short_path.size() + 1 : TS_FAN_PATH_SIZE);

            ASSERT_EQ(c.events.size(), events.size());
            for (std::size_t i = 0; i < events.size(); ++i) {
                const object_t object = c.records[c.events[i]].object;
                ASSERT_TRUE(events[i].path);
                EXPECT_EQ(object == REGULAR ? short_path : long_path, *events[i].path);
                EXPECT_EQ(other_pid, events[i].pid);
            }
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i] < 0 || c.records[i].object == STALE_FD)
                    continue;
                const bool kept = std::count(c.kept.begin(), c.kept.end(), i) != 0;
                EXPECT_EQ(kept, fd_is_open(fds[i])) << "record " << i;
                if (kept)
                    close(fds[i]);
            }
            const std::vector<std::pair<int, std::string>> lines = capture.lines();
            ASSERT_EQ(c.warnings.size(), lines.size());
            for (std::size_t i = 0; i < lines.size(); ++i) {
                EXPECT_EQ(LOG_WARNING_LEVEL, lines[i].first);
                EXPECT_EQ(0u, lines[i].second.rfind(c.warnings[i], 0)) << lines[i].second;
            }
        }
    close(proc_fd_dir);
}

TEST_F(fanotify_test, files_opened_by_another_process_arrive_as_pushes_in_order)
{
    const std::string a = file("a"), b = file("b"), marker = file("marker");
    const std::string dir = watched + "/dir", fifo = watched + "/fifo", own = file("own");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    const std::size_t fds_before = nt::open_fd_count();
    start(std::vector<std::string>{watched});

    // The daemon's own access comes first in the kernel's queue.
    int fd = open(own.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(0, access_from_child({a, dir, fifo, b, a, marker}));
    ASSERT_TRUE(wait_for(marker));

    EXPECT_EQ((std::vector<std::string>{a, b, marker}), arrived);
    ASSERT_TRUE(stop_and_join());
    interceptor.reset();
    // Every event descriptor was closed; the group and its wake-up went
    // with the interceptor.
    EXPECT_EQ(fds_before, nt::open_fd_count());
    EXPECT_EQ(0u, capture.count(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_OVERFLOW));
}

TEST_F(fanotify_test, stop_wakes_a_waiting_loop)
{
    start(std::vector<std::string>{watched});
    // Let the thread reach its wait; the assertion does not depend on it.
    boost::this_thread::sleep_for(boost::chrono::milliseconds(50));
    EXPECT_TRUE(stop_and_join());
    EXPECT_TRUE(arrived.empty());
}

TEST_F(fanotify_test, stop_before_run_returns_at_once)
{
    interceptor = boost::make_shared<ts_fanotify_t>(boost::ref(io), std::vector<std::string>{watched});
    interceptor->stop();
    interceptor->run(queue);
    io.poll();
    std::deque<std::string> out;
    queue->pop(out, 0);
    EXPECT_TRUE(out.empty());
}

TEST_F(fanotify_test, a_file_system_stacked_on_a_marked_directory_is_watched_after_add_path)
{
    start(std::vector<std::string>{watched});
    tmpfs_t upper(watched);
    ASSERT_TRUE(upper.mounted());
    const std::string before = file("before"), after = file("after");
    ASSERT_EQ(0, access_from_child({before}));
    EXPECT_TRUE(interceptor->add_path(watched));
    ASSERT_EQ(0, access_from_child({after}));
    ASSERT_TRUE(wait_for(after));
    EXPECT_EQ(std::vector<std::string>{after}, arrived);
}

TEST_F(fanotify_test, add_and_remove_answer_for_the_directory)
{
    start(std::vector<std::string>{watched});
    EXPECT_TRUE(interceptor->remove_path("/never/marked"));
    EXPECT_FALSE(interceptor->add_path(watched + "/missing"));
    EXPECT_TRUE(interceptor->remove_path(watched));
    EXPECT_TRUE(interceptor->add_path(watched));
    EXPECT_EQ(TS_KIND_FANOTIFY, interceptor->kind());
    const std::string path = file("still");
    ASSERT_EQ(0, access_from_child({path}));
    EXPECT_TRUE(wait_for(path));
}

TEST_F(fanotify_test, kernel_queue_overflow_is_reported_once)
{
    // More distinct files than the kernel queues (16384 by default) before
    // the loop reads anything; each open by the child is one event.
    const std::size_t files = 20000;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < files; ++i)
        paths.push_back(file("f" + std::to_string(i), ""));
    interceptor = boost::make_shared<ts_fanotify_t>(boost::ref(io), std::vector<std::string>{watched});
    ASSERT_EQ(0, access_from_child(paths));
    ts_signal_block_t block;
    loop = boost::make_shared<boost::thread>(boost::bind(&ts_interceptor_if::run, interceptor, queue));

    for (int i = 0; i < 1000 && capture.count(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_OVERFLOW) == 0; ++i)
        io.run_for(std::chrono::milliseconds(10));
    io.poll();
    EXPECT_EQ(1u, capture.count(LOG_WARNING_LEVEL, TS_TEXT_FANOTIFY_OVERFLOW));
    EXPECT_GT(queue->size(), 0u);
    EXPECT_LT(queue->size(), files);
}

TEST_F(fanotify_test, a_failing_read_is_logged_once_and_backed_off)
{
    interceptor = boost::make_shared<ts_fanotify_t>(boost::ref(io), std::vector<std::string>{watched});
    // Put a directory where the group was: every read now fails with EISDIR
    // (the directory descriptor is then owned by the interceptor).
    const int group = find_group_fd();
    ASSERT_GE(group, 0);
    int dir = open(watched.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir, 0);
    ASSERT_EQ(group, dup3(dir, group, O_CLOEXEC));
    close(dir);
    {
        ts_signal_block_t block;
        loop = boost::make_shared<boost::thread>(boost::bind(&ts_interceptor_if::run, interceptor, queue));
    }

    const double cpu_before = thread_cpu_seconds(loop->native_handle());
    boost::this_thread::sleep_for(boost::chrono::milliseconds(500));
    const double cpu_used = thread_cpu_seconds(loop->native_handle()) - cpu_before;
    // A busy loop would burn the whole half second.
    EXPECT_LT(cpu_used, 0.2);
    EXPECT_TRUE(stop_and_join());
    EXPECT_EQ(1u, capture.count(LOG_WARNING_LEVEL, std::string(TS_TEXT_FANOTIFY_READ_FAILED) + strerror(EISDIR)));
}

TEST_F(fanotify_test, a_read_failed_for_a_file_the_kernel_cannot_open_goes_on_with_the_next_event)
{
    // The /proc file of a process that has exited cannot be opened for the
    // reader any more: the kernel fails the read that would carry its event
    // and drops the event. The mark on /proc is one of this test's private
    // mount namespace. The file is made before the group, so that the
    // failing event comes first in the kernel's queue: behind events already
    // read, the kernel would drop it without failing the read.
    const std::string after = file("after");
    interceptor = boost::make_shared<ts_fanotify_t>(boost::ref(io), std::vector<std::string>{watched, "/proc"});
    ASSERT_EQ(0, access_from_child({"/proc/self/environ", after}));
    {
        ts_signal_block_t block;
        loop = boost::make_shared<boost::thread>(boost::bind(&ts_interceptor_if::run, interceptor, queue));
    }
    EXPECT_TRUE(wait_for(after));
    EXPECT_EQ(1u, capture.count(LOG_WARNING_LEVEL, std::string(TS_TEXT_FANOTIFY_READ_FAILED) + strerror(ESRCH)));
}

TEST_F(fanotify_test, construction_failures_leave_nothing_behind)
{
    struct case_t
    {
        std::vector<std::string> mount_points;
    };
    const std::size_t fds_before = nt::open_fd_count();
    const case_t cases[] = {{{}}, {{watched + "/missing"}}, {{"relative"}}};
    for (const case_t& c : cases) {
        try {
            ts_fanotify_t fanotify(io, c.mount_points);
            ADD_FAILURE() << "no exception";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(make_monitor_error_code(TS_ERR_NO_PATH_ADDED), e.code());
            EXPECT_STREQ("Fanotify: couldn't add at least one path to monitor", e.what());
        }
        EXPECT_EQ(fds_before, nt::open_fd_count());
    }
}

TEST_F(fanotify_test, construction_logs_each_mount_point)
{
    const std::string missing = watched + "/missing";
    ts_fanotify_t fanotify(io, std::vector<std::string>{watched, missing, watched});
    const std::string added = TS_TEXT_PATH_ADDED + watched + TS_TEXT_PATH_ADDED_END;
    EXPECT_EQ(2u, capture.count(LOG_DEBUG_LEVEL, added));
    EXPECT_EQ(1u, capture.count(LOG_DEBUG_LEVEL, TS_TEXT_PATH_NOT_ADDED + missing));
    EXPECT_EQ(3u, capture.lines().size());
}

TEST_F(fanotify_test, mounts_reported_by_the_watcher_are_added_and_removed)
{
    start(std::vector<std::string>{watched});
    // Inside the watched tree, so the queue's path filter takes its files.
    const std::string later = watched + "/later";
    ASSERT_EQ(0, mkdir(later.c_str(), 0755));

    // As the file monitor does: the slot posts, the main loop calls the
    // interceptor. Handled here: (kind, dir, result) of every call.
    std::vector<std::string> handled;
    ts_mounts_watcher_ptr watcher = boost::make_shared<ts_mounts_watcher_t>();
    boost::asio::io_service& loop_io = io;
    boost::shared_ptr<ts_fanotify_t> target = interceptor;
    watcher->mount_signal.connect([&loop_io, target, &handled](const ts_mnt_event_t& event) {
        loop_io.post([target, &handled, event] {
            const bool ok =
                event.kind == TS_MNT_MOUNTED ? target->add_path(event.entry.dir) : target->remove_path(event.entry.dir);
            handled.push_back((event.kind == TS_MNT_MOUNTED ? "+" : "-") + event.entry.dir + (ok ? "" : " failed"));
        });
    });
    gate_closer_t<ts_mounts_watcher_t> closer(watcher);
    watcher->start();

    // A mount that lands before the thread's first reading of the table is
    // no change to it: mount again until the watcher reports the mount.
    const auto run_until = [this, &handled](const std::string& last) {
        for (int i = 0; i < 50 && (handled.empty() || handled.back() != last); ++i)
            io.run_one_for(std::chrono::milliseconds(10));
        return !handled.empty() && handled.back() == last;
    };
    tmpfs_t mounted(later);
    ASSERT_TRUE(mounted.mounted());
    for (int attempt = 0; attempt < 50 && !run_until("+" + later); ++attempt) {
        ASSERT_TRUE(mounted.unmount());
        run_until("-" + later);
        ASSERT_TRUE(mounted.mount_again());
    }
    ASSERT_FALSE(handled.empty());
    ASSERT_EQ("+" + later, handled.back());
    handled.clear();

    ASSERT_TRUE(write_file(later + "/file", "x"));
    ASSERT_EQ(0, access_from_child({later + "/file"}));
    EXPECT_TRUE(wait_for(later + "/file"));

    ASSERT_TRUE(mounted.unmount());
    for (int i = 0; i < 1000 && handled.empty(); ++i)
        io.run_one_for(std::chrono::milliseconds(10));
    EXPECT_EQ(std::vector<std::string>{"-" + later}, handled);
}

TEST_F(fanotify_test, only_a_name_that_still_names_the_accessed_file_is_forwarded)
{
    // The walk takes the watched mount as the one marked; another mount is
    // attached but not marked, a third is detached once its file is open.
    const std::string other_dir = temp.path() + "/other", gone_dir = temp.path() + "/gone";
    ASSERT_EQ(0, mkdir(other_dir.c_str(), 0755));
    ASSERT_EQ(0, mkdir(gone_dir.c_str(), 0755));
    tmpfs_t other(other_dir), gone(gone_dir);
    ASSERT_TRUE(other.mounted());
    ASSERT_TRUE(gone.mounted());
    const std::uint64_t watched_id = mount_id_of(watched);
    if (watched_id == 0)
        GTEST_SKIP() << "the kernel tells no mount identity";
    const ts_mount_ids_t marked(std::vector<ts_mount_ids_t::mount_t>{{watched_id, watched}});
    ASSERT_EQ(0, mkdir((gone_dir + "/sub").c_str(), 0755));
    ASSERT_TRUE(write_file(gone_dir + "/sub/secret", "x"));
    ASSERT_TRUE(write_file(other_dir + "/file", "x"));

    struct case_t
    {
        const char* name;
        std::string opened;   // the file whose descriptor the record carries
        std::string unlinked; // removed once it is open
        std::string linked;   // a second link made before
        bool forwarded;       // as opened
    };
    const case_t cases[] = {
        {"plain file", file("plain"), "", "", true},
        {"unlinked before its record is read", file("unlinked"), watched + "/unlinked", "", false},
        {"name unlinked, another link left", file("first"), watched + "/first", watched + "/second", false},
        {"a real file of a name the kernel's mark ends", file("a (deleted)"), "", "", true},
        {"file on an attached mount not marked", other_dir + "/file", "", "", true},
        {"on a mount detached since", gone_dir + "/sub/secret", "", "", false},
        {"plain file after them", file("last"), "", "", true},
    };
    std::string bytes;
    std::vector<std::string> expected;
    for (const case_t& c : cases) {
        if (!c.linked.empty()) {
            ASSERT_EQ(0, link(c.opened.c_str(), c.linked.c_str())) << c.name;
        }
        const int fd = open(c.opened.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << c.name << ": " << strerror(errno);
        if (!c.unlinked.empty()) {
            ASSERT_EQ(0, unlink(c.unlinked.c_str())) << c.name;
        }
        bytes += record_for(fd);
        if (c.forwarded)
            expected.push_back(c.opened);
    }
    ASSERT_TRUE(gone.unmount());

    for (const ts_mount_ids_t* set : {&marked, static_cast<const ts_mount_ids_t*>(nullptr)}) {
        SCOPED_TRACE(set ? "marked mounts given" : "no marked mounts given");
        std::string walked = bytes;
        if (!set) {
            // Each walk closes the descriptors it is given: the second one
            // gets its own, of the same files, less the detached one.
            walked.clear();
            for (const case_t& c : cases)
                if (c.opened.compare(0, gone_dir.size(), gone_dir) != 0)
                    walked += record_for(open(c.opened.c_str(), O_RDONLY | O_CLOEXEC));
        }
        std::vector<ts_event_t> events;
        ts_fanotify_t::handle_records(walked.data(), walked.size(), getpid(), events, -1, TS_FAN_PATH_SIZE, set);
        std::vector<std::string> paths;
        for (const ts_event_t& event : events)
            paths.push_back(*event.path);
        EXPECT_EQ(expected, paths);
        for (const std::pair<int, std::string>& line : capture.lines())
            EXPECT_LT(line.first, LOG_WARNING_LEVEL) << line.second;
    }
}

TEST_F(fanotify_test, a_name_inside_a_mount_detached_since_is_not_forwarded)
{
    // Every path reaches the queue, the detached mount's names included.
    queue->set_path_filter(new ScanSet(std::vector<std::string>{"/"}, std::vector<std::string>()));
    const std::string sub = watched + "/sub";
    ASSERT_EQ(0, mkdir(sub.c_str(), 0755));
    tmpfs_t mounted(sub);
    ASSERT_TRUE(mounted.mounted());
    if (mount_id_of(sub) == 0)
        GTEST_SKIP() << "the kernel tells no mount identity";
    const std::string inside = sub + "/file", marker = file("marker");
    ASSERT_TRUE(write_file(inside, "x"));
    start(std::vector<std::string>{watched, sub});

    // The child opens the file, then waits while the mount is detached,
    // then reads and closes it: that close is an access on a mount no
    // longer attached, of a name that names nothing. The interceptor has not
    // been told yet (the mounts watcher tells it later).
    int opened[2], go_on[2];
    ASSERT_EQ(0, pipe(opened));
    ASSERT_EQ(0, pipe(go_on));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        const int fd = open(inside.c_str(), O_RDONLY);
        if (write(opened[1], &byte, 1) != 1 || read(go_on[0], &byte, 1) != 1)
            _exit(1);
        if (read(fd, &byte, 1) != 1)
            _exit(2);
        close(fd);
        const int again = open(marker.c_str(), O_RDONLY);
        close(again);
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(1, read(opened[0], &byte, 1));
    ASSERT_TRUE(mounted.unmount());
    ASSERT_EQ(1, write(go_on[1], &byte, 1));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {opened[0], opened[1], go_on[0], go_on[1]})
        close(fd);

    ASSERT_TRUE(wait_for(marker));
    // The open may have been read while the mount was attached, by its name
    // then.
    for (const std::string& path : arrived)
        EXPECT_TRUE(path == inside || path.compare(0, watched.size(), watched) == 0 || path.find("/proc/") == 0)
            << path;
}

TEST_F(fanotify_test, a_posted_push_keeps_the_queue_alive)
{
    const std::string path = file("kept");
    start(std::vector<std::string>{watched});
    const int group = find_group_fd();
    ASSERT_GE(group, 0);
    ASSERT_EQ(0, access_from_child({path}));
    // Once the loop has read the event, its push is posted before the loop
    // looks at the stop flag again.
    int waiting = 1;
    for (int i = 0; i < 1000 && waiting != 0; ++i) {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(10));
        ASSERT_EQ(0, ioctl(group, FIONREAD, &waiting));
    }
    ASSERT_TRUE(stop_and_join());

    // Only the hand-over's posted wake holds the queue now (and, for a moment after the
    // join, the ended thread's own copy of its function), so their count is
    // not read off the reference count: each must run on a live queue.
    boost::weak_ptr<ts_event_queue_t> alive = queue;
    std::size_t pushes = 0;
    queue->pushed.connect([&pushes] { ++pushes; });
    queue.reset();
    EXPECT_FALSE(alive.expired());
    io.poll();
    EXPECT_GE(pushes, 1u);
    for (int i = 0; i < 200 && !alive.expired(); ++i)
        boost::this_thread::sleep_for(boost::chrono::milliseconds(10));
    EXPECT_TRUE(alive.expired());
}

TEST_F(fanotify_test, reads_that_follow_at_once_are_handed_over_together_up_to_a_batch)
{
    // Records come through a pipe put where the group was. 200 wait before
    // the loop starts: reads of 100 and 100 records make a batch's worth,
    // handed over together though the main loop runs meanwhile. 50 more
    // written after that push go once the read after them finds the pipe
    // empty.
    const std::size_t first = 200, records = 250;
    std::vector<std::string> paths;
    std::string bytes;
    for (std::size_t i = 0; i < records; ++i) {
        paths.push_back(file("r" + std::to_string(i)));
        struct fanotify_event_metadata m = {};
        m.event_len = FAN_EVENT_METADATA_LEN;
        m.vers = FANOTIFY_METADATA_VERSION;
        m.metadata_len = FAN_EVENT_METADATA_LEN;
        m.mask = FAN_OPEN;
        // Owned and closed by the loop from here on.
        m.fd = open(paths.back().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(m.fd, 0) << strerror(errno);
        m.pid = other_pid;
        bytes.append(reinterpret_cast<const char*>(&m), sizeof m);
    }
    const std::size_t first_bytes = first * sizeof(struct fanotify_event_metadata);
    int pipe_fds[2];
    ASSERT_EQ(0, pipe2(pipe_fds, O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(static_cast<ssize_t>(first_bytes), write(pipe_fds[1], bytes.data(), first_bytes));
    interceptor = boost::make_shared<ts_fanotify_t>(boost::ref(io), std::vector<std::string>{watched});
    const int group = find_group_fd();
    ASSERT_GE(group, 0);
    ASSERT_EQ(group, dup3(pipe_fds[0], group, O_CLOEXEC));
    close(pipe_fds[0]);

    std::vector<std::size_t> sizes; // the queue's size after each push
    queue->pushed.connect([this, &sizes] { sizes.push_back(queue->size()); });
    {
        ts_signal_block_t block;
        loop = boost::make_shared<boost::thread>(boost::bind(&ts_interceptor_if::run, interceptor, queue));
    }
    // The main loop runs while the reads go on, so a read handed over on
    // its own would mostly be pushed on its own.
    for (int i = 0; i < 400 && queue->size() < first; ++i)
        io.run_one_for(std::chrono::milliseconds(25));
    ASSERT_EQ(static_cast<ssize_t>(bytes.size() - first_bytes),
              write(pipe_fds[1], bytes.data() + first_bytes, bytes.size() - first_bytes));
    for (int i = 0; i < 400 && queue->size() < records; ++i)
        io.run_one_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(stop_and_join());
    close(pipe_fds[1]);

    EXPECT_EQ((std::vector<std::size_t>{first, records}), sizes);
    std::deque<std::string> out;
    queue->pop(out, 0);
    EXPECT_EQ(std::deque<std::string>(paths.begin(), paths.end()), out);
}
