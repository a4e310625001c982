#include "monitor/mounts_watcher.hpp"

#include <signal.h>
#include <pthread.h>

#include <algorithm>
#include <sstream>

#include <boost/bind/bind.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "kernel_fixture.hpp"
#include "monitor/monitor_texts.hpp"
#include "support/temp_dir.hpp"
#include "util/signal_block.hpp"

using namespace nt_monitor_test;

namespace {

ts_mntent_t entry(const std::string& dir, const std::string& type, std::uint64_t id = 0)
{
    return ts_mntent_t{dir, type, id};
}

std::string describe(const std::vector<ts_mnt_event_t>& events)
{
    std::ostringstream out;
    for (std::size_t i = 0; i < events.size(); ++i)
        out << (events[i].kind == TS_MNT_MOUNTED     ? "+"
                : events[i].kind == TS_MNT_UNMOUNTED ? "-"
                                                     : "?")
            << events[i].entry.dir << ":" << events[i].entry.type << " ";
    return out.str();
}

std::vector<ts_mntent_t> sorted(std::vector<ts_mntent_t> table)
{
    std::sort(table.begin(), table.end());
    return table;
}

// One line of a mounts file for dir and type.
std::string line(const std::string& dir, const std::string& type, const std::string& options = "rw")
{
    return "dev " + dir + " " + type + " " + options + " 0 0\n";
}

// Collects what the watcher emits, from whatever thread emits it.
struct recorder_t
{
    boost::mutex mutex;
    boost::condition_variable changed;
    std::vector<ts_mnt_event_t> events;
    std::vector<std::string> errors;
    std::vector<bool> signals_blocked;

    void on_mount(const ts_mnt_event_t& event)
    {
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        boost::mutex::scoped_lock lock(mutex);
        events.push_back(event);
        signals_blocked.push_back(sigismember(&mask, SIGTERM) == 1 && sigismember(&mask, SIGINT) == 1 &&
                                  sigismember(&mask, SIGHUP) == 1);
        changed.notify_all();
    }
    void on_error(const std::string& text)
    {
        boost::mutex::scoped_lock lock(mutex);
        errors.push_back(text);
        changed.notify_all();
    }
    void connect(ts_mounts_watcher_t& watcher)
    {
        watcher.mount_signal.connect(boost::bind(&recorder_t::on_mount, this, boost::placeholders::_1));
        watcher.error_signal.connect(boost::bind(&recorder_t::on_error, this, boost::placeholders::_1));
    }
    // Waits (generously) until count events arrived; false when they did not.
    bool wait_events(std::size_t count, boost::chrono::milliseconds limit = boost::chrono::seconds(10))
    {
        boost::mutex::scoped_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return events.size() >= count; });
    }
    void clear()
    {
        boost::mutex::scoped_lock lock(mutex);
        events.clear();
        signals_blocked.clear();
    }
    std::vector<ts_mnt_event_t> events_copy()
    {
        boost::mutex::scoped_lock lock(mutex);
        return events;
    }
};

struct diff_case_t
{
    const char* name;
    std::vector<ts_mntent_t> old_table;
    std::vector<ts_mntent_t> new_table;
    std::string expected;
};

const diff_case_t diff_cases[] = {
    {"nothing changes", {entry("/", "ext4"), entry("/proc", "proc")}, {entry("/proc", "proc"), entry("/", "ext4")}, ""},
    {"first table", {}, {entry("/b", "tmpfs"), entry("/a", "ext4")}, "+/a:ext4 +/b:tmpfs "},
    {"new mount point", {entry("/", "ext4")}, {entry("/", "ext4"), entry("/mnt", "tmpfs")}, "+/mnt:tmpfs "},
    {"mount point gone", {entry("/", "ext4"), entry("/mnt", "tmpfs")}, {entry("/", "ext4")}, "-/mnt:tmpfs "},
    {"type changes on a directory", {entry("/m", "vfat")}, {entry("/m", "ntfs")}, "+/m:ntfs -/m:vfat "},
    {"several changes in (dir, type) order",
     {entry("/a", "ext4"), entry("/c", "tmpfs"), entry("/e", "xfs")},
     {entry("/b", "tmpfs"), entry("/c", "tmpfs"), entry("/d", "nfs")},
     "-/a:ext4 +/b:tmpfs +/d:nfs -/e:xfs "},
    {"same type stacked on a directory is reported",
     {entry("/s", "tmpfs")},
     {entry("/s", "tmpfs"), entry("/s", "tmpfs")},
     "+/s:tmpfs "},
    {"stacked mount removed while one remains",
     {entry("/s", "tmpfs"), entry("/s", "tmpfs")},
     {entry("/s", "tmpfs")},
     ""},
    {"both stacked mounts removed", {entry("/s", "tmpfs"), entry("/s", "tmpfs")}, {}, "-/s:tmpfs -/s:tmpfs "},
    {"duplicate entries appear at once", {}, {entry("/d", "tmpfs"), entry("/d", "tmpfs")}, "+/d:tmpfs +/d:tmpfs "},
    {"other type stacked on a directory",
     {entry("/x", "ext4")},
     {entry("/x", "ext4"), entry("/x", "tmpfs")},
     "+/x:tmpfs "},
    {"byte order of directories", {}, {entry("/a b", "t"), entry("/a", "t"), entry("/A", "t")}, "+/A:t +/a:t +/a b:t "},
    // With the identity of the mount found on each directory.
    {"a mount replaced in place", {entry("/m", "tmpfs", 5)}, {entry("/m", "tmpfs", 6)}, "-/m:tmpfs +/m:tmpfs "},
    {"the same mount on a directory", {entry("/m", "tmpfs", 5)}, {entry("/m", "tmpfs", 5)}, ""},
    {"a mount stacked on one of the same type",
     {entry("/s", "tmpfs", 7)},
     {entry("/s", "tmpfs", 8), entry("/s", "tmpfs", 8)},
     "+/s:tmpfs "},
    {"the upper of two stacked mounts goes",
     {entry("/s", "tmpfs", 8), entry("/s", "tmpfs", 8)},
     {entry("/s", "tmpfs", 7)},
     "-/s:tmpfs +/s:tmpfs "},
    {"the last mount on a directory goes", {entry("/m", "tmpfs", 5)}, {}, "-/m:tmpfs "},
    {"an identity not told before or after is no change",
     {entry("/m", "tmpfs", 0), entry("/n", "tmpfs", 4)},
     {entry("/m", "tmpfs", 6), entry("/n", "tmpfs", 0)},
     ""},
    {"replaced in place among other changes",
     {entry("/a", "ext4", 1), entry("/m", "tmpfs", 5)},
     {entry("/b", "ext4", 2), entry("/m", "tmpfs", 6)},
     "-/a:ext4 +/b:ext4 -/m:tmpfs +/m:tmpfs "},
};

class mounts_watcher_test : public ::testing::Test
{
protected:
    nt::temp_dir_t temp{"nt-mounts"};
    std::string mounts_file() const { return temp.path() + "/mounts"; }
};

} // namespace

TEST_F(mounts_watcher_test, changes_between_two_tables)
{
    for (const diff_case_t& c : diff_cases)
        EXPECT_EQ(c.expected, describe(mount_table_changes(sorted(c.old_table), sorted(c.new_table)))) << c.name;
}

TEST_F(mounts_watcher_test, identities_the_kernel_hands_on_make_a_table_read_unchanged_mark_every_mount_again)
{
    const std::vector<ts_mntent_t> table = sorted({entry("/", "ext4", 1), entry("/m", "tmpfs", 5)});
    const std::vector<ts_mntent_t> other = sorted({entry("/", "ext4", 1)});
    struct case_t
    {
        ts_mount_id_kind_t kind;
        const std::vector<ts_mntent_t>& after;
        std::string expected;
    };
    const case_t cases[] = {
        {TS_MOUNT_ID_REUSED, table, "+/:ext4 +/m:tmpfs "},
        {TS_MOUNT_ID_UNIQUE, table, ""},
        {TS_MOUNT_ID_NONE, table, ""},
        {TS_MOUNT_ID_REUSED, other, "-/m:tmpfs "},
    };
    for (const case_t& c : cases)
        EXPECT_EQ(c.expected, describe(mount_table_changes(table, c.after, c.kind))) << c.kind;
}

TEST_F(mounts_watcher_test, a_mount_replaced_in_place_between_two_reads_is_reported)
{
    ASSERT_TRUE(enter_private_mounts()) << strerror(errno);
    const std::string dir = temp.path() + "/replaced";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    tmpfs_t mounted(dir);
    ASSERT_TRUE(mounted.mounted());
    ts_mounts_watcher_t watcher;
    recorder_t recorder;
    recorder.connect(watcher);
    watcher.rescan();
    ASSERT_FALSE(recorder.events.empty());

    // Of the same type, the same source and options, on the same directory;
    // the kernel may even give it the number of the one it replaces.
    for (int cycle = 0; cycle < 3; ++cycle) {
        ASSERT_TRUE(mounted.unmount());
        ASSERT_TRUE(mounted.mount_again());
        recorder.events.clear();
        watcher.rescan();
        std::vector<ts_mnt_event_t> on_dir;
        for (const ts_mnt_event_t& event : recorder.events)
            if (event.entry.dir == dir)
                on_dir.push_back(event);
        ASSERT_FALSE(on_dir.empty()) << "cycle " << cycle;
        EXPECT_EQ(TS_MNT_MOUNTED, on_dir.back().kind) << describe(on_dir);
    }
}

TEST_F(mounts_watcher_test, read_mounts_keeps_file_order_and_decodes_names)
{
    ASSERT_TRUE(write_file(mounts_file(), line("/", "ext4") + line("/with\\040space", "tmpfs") + line("/proc", "proc") +
                                              line("/", "ext4")));
    std::vector<ts_mntent_t> table{entry("/kept", "x")};
    read_mounts(table, mounts_file());
    ASSERT_EQ(5u, table.size());
    EXPECT_EQ(entry("/kept", "x"), table[0]);
    EXPECT_EQ(entry("/", "ext4"), table[1]);
    EXPECT_EQ(entry("/with space", "tmpfs"), table[2]);
    EXPECT_EQ(entry("/proc", "proc"), table[3]);
    EXPECT_EQ(entry("/", "ext4"), table[4]);
}

TEST_F(mounts_watcher_test, read_mounts_of_a_missing_table_throws_the_system_text)
{
    std::vector<ts_mntent_t> table;
    try {
        read_mounts(table, temp.path() + "/missing");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(strerror(ENOENT), e.what());
    }
    EXPECT_TRUE(table.empty());
}

TEST_F(mounts_watcher_test, rescan_reports_each_rewrite_of_the_table)
{
    ts_mounts_watcher_t watcher(mounts_file());
    recorder_t recorder;
    recorder.connect(watcher);

    struct step_t
    {
        std::string table; // empty: the file is removed
        std::string events;
        std::size_t errors;
    };
    const step_t steps[] = {
        {line("/", "ext4") + line("/proc", "proc"), "+/:ext4 +/proc:proc ", 0},
        {line("/", "ext4") + line("/proc", "proc") + line("/mnt", "tmpfs"), "+/mnt:tmpfs ", 0},
        // A remount that changes only the options and the source.
        {line("/", "ext4", "ro") + line("/proc", "proc") + line("/mnt", "tmpfs", "ro,size=1k"), "", 0},
        // Unreadable: one error, the old table stays.
        {"", "", 1},
        {line("/", "ext4") + line("/proc", "proc"), "-/mnt:tmpfs ", 0},
        {line("/", "ext4") + line("/proc", "proc") + line("/mnt", "vfat") + line("/mnt", "vfat"),
         "+/mnt:vfat +/mnt:vfat ", 0},
        {line("/", "ext4") + line("/proc", "proc") + line("/mnt", "vfat"), "", 0},
        {line("/", "ext4") + line("/proc", "proc") + line("/mnt", "ntfs"), "+/mnt:ntfs -/mnt:vfat ", 0},
    };
    for (std::size_t i = 0; i < sizeof steps / sizeof steps[0]; ++i) {
        if (steps[i].table.empty())
            ASSERT_EQ(0, unlink(mounts_file().c_str()));
        else
            ASSERT_TRUE(write_file(mounts_file(), steps[i].table));
        recorder.events.clear();
        recorder.errors.clear();
        watcher.rescan();
        EXPECT_EQ(steps[i].events, describe(recorder.events)) << "step " << i;
        ASSERT_EQ(steps[i].errors, recorder.errors.size()) << "step " << i;
        if (steps[i].errors) {
            EXPECT_EQ(strerror(ENOENT), recorder.errors[0]);
        }
    }
}

TEST_F(mounts_watcher_test, run_reports_a_table_that_cannot_be_watched)
{
    struct case_t
    {
        std::string path;
        std::string error;
    };
    ASSERT_TRUE(write_file(mounts_file(), line("/", "ext4")));
    // epoll refuses regular files: the only way a readable table fails here.
    const case_t cases[] = {
        {temp.path() + "/missing", strerror(ENOENT)},
        {mounts_file(), std::string(TS_TEXT_WATCHER_EPOLL_ADD_FAILED) + strerror(EPERM)},
    };
    for (const case_t& c : cases) {
        ts_mounts_watcher_t watcher(c.path);
        recorder_t recorder;
        recorder.connect(watcher);
        watcher.run(); // returns after the failure
        ASSERT_EQ(1u, recorder.errors.size()) << c.path;
        EXPECT_EQ(c.error, recorder.errors[0]);
        EXPECT_TRUE(recorder.events.empty());
    }
}

TEST_F(mounts_watcher_test, a_closed_gate_emits_nothing)
{
    ASSERT_TRUE(write_file(mounts_file(), line("/", "ext4")));
    ts_mounts_watcher_t watcher(mounts_file());
    recorder_t recorder;
    recorder.connect(watcher);
    watcher.close();
    watcher.close();
    watcher.rescan();
    unlink(mounts_file().c_str());
    watcher.rescan();
    watcher.run();
    EXPECT_TRUE(recorder.events.empty());
    EXPECT_TRUE(recorder.errors.empty());
}

TEST_F(mounts_watcher_test, follows_real_mounts_until_closed)
{
    ASSERT_TRUE(enter_private_mounts()) << strerror(errno);
    const std::string first = temp.path() + "/first", second = temp.path() + "/second";
    ASSERT_EQ(0, mkdir(first.c_str(), 0755));
    ASSERT_EQ(0, mkdir(second.c_str(), 0755));

    recorder_t recorder;
    boost::weak_ptr<ts_mounts_watcher_t> alive;
    {
        ts_mounts_watcher_ptr watcher = boost::make_shared<ts_mounts_watcher_t>();
        recorder.connect(*watcher);
        alive = watcher;
        watcher->start();
    }
    ts_mounts_watcher_ptr watcher = alive.lock();
    ASSERT_TRUE(watcher) << "the thread holds the watcher";
    std::unique_ptr<gate_closer_t<ts_mounts_watcher_t>> closer(new gate_closer_t<ts_mounts_watcher_t>(watcher));

    // The thread reads its first table by itself, and a mount that lands
    // before that read is no change: toggle a probe mount until the thread
    // reports one, then leave the probe unmounted.
    const std::string probe_dir = temp.path() + "/probe";
    ASSERT_EQ(0, mkdir(probe_dir.c_str(), 0755));
    {
        tmpfs_t probe(probe_dir);
        for (int attempt = 0; attempt < 100 && recorder.events_copy().empty(); ++attempt) {
            if (attempt % 2)
                ASSERT_TRUE(probe.mount_again());
            else
                ASSERT_TRUE(probe.unmount());
            recorder.wait_events(1, boost::chrono::milliseconds(200));
        }
        ASSERT_FALSE(recorder.events_copy().empty());
        if (probe.mounted()) {
            ASSERT_TRUE(probe.unmount());
            ASSERT_TRUE(recorder.wait_events(2));
        }
    }
    recorder.clear();

    tmpfs_t lower(first);
    ASSERT_TRUE(lower.mounted());
    ASSERT_TRUE(recorder.wait_events(1));
    tmpfs_t upper(first); // stacked, same type
    ASSERT_TRUE(upper.mounted());
    ASSERT_TRUE(recorder.wait_events(2));
    // The lower tmpfs remains on first, another mount than the one found
    // there before: first is forgotten and marked again.
    ASSERT_TRUE(upper.unmount());
    ASSERT_TRUE(recorder.wait_events(4));
    tmpfs_t other(second);
    ASSERT_TRUE(other.mounted());
    ASSERT_TRUE(recorder.wait_events(5));
    ASSERT_TRUE(other.unmount());
    ASSERT_TRUE(recorder.wait_events(6));
    ASSERT_TRUE(lower.unmount());
    ASSERT_TRUE(recorder.wait_events(7));

    const std::vector<ts_mnt_event_t> events = recorder.events_copy();
    EXPECT_EQ("+" + first + ":tmpfs +" + first + ":tmpfs -" + first + ":tmpfs +" + first + ":tmpfs +" + second +
                  ":tmpfs -" + second + ":tmpfs -" + first + ":tmpfs ",
              describe(events));
    {
        boost::mutex::scoped_lock lock(recorder.mutex);
        for (std::size_t i = 0; i < recorder.signals_blocked.size(); ++i)
            EXPECT_TRUE(recorder.signals_blocked[i]) << "event " << i;
        EXPECT_TRUE(recorder.errors.empty());
    }

    // Closing wakes the thread, which ends and lets the watcher go.
    closer.reset();
    watcher.reset();
    for (int i = 0; i < 1000 && !alive.expired(); ++i)
        boost::this_thread::sleep_for(boost::chrono::milliseconds(10));
    EXPECT_TRUE(alive.expired());
    tmpfs_t late(second);
    ASSERT_TRUE(late.mounted());
    EXPECT_EQ(events.size(), recorder.events_copy().size());
}

TEST_F(mounts_watcher_test, signal_block_covers_only_its_scope)
{
    sigset_t before, inside, after;
    pthread_sigmask(SIG_SETMASK, nullptr, &before);
    ASSERT_EQ(0, sigismember(&before, SIGTERM));
    {
        ts_signal_block_t block;
        pthread_sigmask(SIG_SETMASK, nullptr, &inside);
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &after);
    EXPECT_EQ(1, sigismember(&inside, SIGHUP));
    EXPECT_EQ(1, sigismember(&inside, SIGTERM));
    EXPECT_EQ(1, sigismember(&inside, SIGINT));
    EXPECT_EQ(0, sigismember(&after, SIGHUP));
    EXPECT_EQ(0, sigismember(&after, SIGTERM));
    EXPECT_EQ(0, sigismember(&after, SIGINT));
}
