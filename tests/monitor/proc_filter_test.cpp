#include "monitor/proc_filter.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace fs = boost::filesystem;

class proc_filter_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() / fs::unique_path("proc-filter-%%%%-%%%%-%%%%");
        fs::create_directories(root);
    }
    void TearDown() override
    {
        boost::system::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // "<root>/<pid>/exe" as a link whose text is target (no target needs to exist).
    void set_exe(int pid, const std::string& target)
    {
        const fs::path dir = root / std::to_string(pid);
        fs::create_directories(dir);
        boost::system::error_code ignored;
        fs::remove(dir / "exe", ignored);
        fs::create_symlink(target, dir / "exe");
    }
    // An "exe" that is no link, so readlink fails on it.
    void set_exe_not_a_link(int pid)
    {
        const fs::path dir = root / std::to_string(pid);
        fs::create_directories(dir);
        fs::ofstream(dir / "exe") << "x";
    }
    void end_process(int pid) { fs::remove_all(root / std::to_string(pid)); }

    std::string proc_root() const { return root.native(); }

    fs::path root;
    boost::asio::io_service io;
};

TEST_F(proc_filter_test, excludes_exact_link_text_only)
{
    ts_proc_filter_t filter(io, {"/usr/bin/foo", "/opt/tool/bin/run"}, proc_root());
    struct case_t
    {
        const char* link;
        bool allowed;
    };
    const case_t cases[] = {
        {"/usr/bin/foo", false},          {"/opt/tool/bin/run", false},  {"/usr//bin/foo", true},
        {"/usr/bin/foo/", true},          {"/usr/bin/Foo", true},        {"/usr/bin/fo", true},
        {"/usr/bin/foo (deleted)", true}, {"/usr/bin/../bin/foo", true},
    };
    int pid = 100;
    for (const case_t& c : cases) {
        set_exe(pid, c.link);
        EXPECT_EQ(c.allowed, filter.is_allowed(pid)) << c.link;
        ++pid;
    }
}

TEST_F(proc_filter_test, link_is_read_not_resolved)
{
    // The link names the excluded program even though nothing is there.
    const std::string excluded = (root / "gone-binary").native();
    set_exe(7, excluded);
    ts_proc_filter_t filter(io, {excluded}, proc_root());
    EXPECT_FALSE(filter.is_allowed(7));

    // A link through another link is not the configured path.
    const fs::path real = root / "real-binary";
    fs::ofstream(real) << "x";
    fs::create_symlink(real, root / "alias");
    set_exe(8, (root / "alias").native());
    ts_proc_filter_t by_target(io, {real.native()}, proc_root());
    EXPECT_TRUE(by_target.is_allowed(8));
}

TEST_F(proc_filter_test, unreadable_or_missing_link_is_allowed)
{
    ts_proc_filter_t filter(io, {"/usr/bin/foo"}, proc_root());
    set_exe_not_a_link(20);
    EXPECT_TRUE(filter.is_allowed(20));
    EXPECT_TRUE(filter.is_allowed(21)); // no such process
    EXPECT_TRUE(filter.is_allowed(-1));

    // Not remembered as allowed: once it runs the excluded program it is dropped.
    end_process(20);
    set_exe(20, "/usr/bin/foo");
    EXPECT_FALSE(filter.is_allowed(20));
}

TEST_F(proc_filter_test, proc_root_too_long_is_allowed)
{
    const std::string long_root(5000, 'p');
    ts_proc_filter_t filter(io, {"/usr/bin/foo"}, "/" + long_root);
    EXPECT_TRUE(filter.is_allowed(1));
    std::string out = "unchanged";
    EXPECT_FALSE(process_exe(1, out, ("/" + long_root).c_str()));
    EXPECT_EQ("unchanged", out);
    EXPECT_FALSE(process_exists(1, ("/" + long_root).c_str()));
}

TEST_F(proc_filter_test, remembered_pid_is_kept_until_cleanup)
{
    ts_proc_filter_t filter(io, {"/usr/bin/foo"}, proc_root(), boost::chrono::milliseconds(1));
    set_exe(30, "/usr/bin/foo"); // ends before the cleanup
    set_exe(31, "/usr/bin/foo"); // execs another program
    set_exe(32, "/usr/bin/foo"); // runs on
    set_exe(33, "/usr/bin/foo"); // its pid is taken by another program
    for (int pid : {30, 31, 32, 33})
        ASSERT_FALSE(filter.is_allowed(pid)) << pid;

    end_process(30);
    set_exe(31, "/usr/bin/other");
    end_process(33);
    set_exe(33, "/usr/bin/newcomer");
    // Remembered: no link is consulted before the cleanup.
    for (int pid : {30, 31, 32, 33})
        EXPECT_FALSE(filter.is_allowed(pid)) << pid;

    ASSERT_EQ(1u, io.run_one()); // one cleanup
    EXPECT_TRUE(filter.is_allowed(30));
    EXPECT_TRUE(filter.is_allowed(31));
    EXPECT_FALSE(filter.is_allowed(32));
    EXPECT_TRUE(filter.is_allowed(33));

    // The cleanup re-armed itself and keeps going.
    set_exe(32, "/usr/bin/other");
    EXPECT_FALSE(filter.is_allowed(32));
    ASSERT_EQ(1u, io.run_one());
    EXPECT_TRUE(filter.is_allowed(32));
}

TEST_F(proc_filter_test, set_excluded_appends_and_forgets_pids)
{
    ts_proc_filter_t filter(io, {"/bin/a"}, proc_root());
    set_exe(10, "/bin/a");
    ASSERT_FALSE(filter.is_allowed(10));
    set_exe(10, "/bin/c");
    ASSERT_FALSE(filter.is_allowed(10)); // remembered

    filter.set_excluded({"/bin/b", "/bin/b"});
    EXPECT_TRUE(filter.is_allowed(10));
    set_exe(11, "/bin/a");
    set_exe(12, "/bin/b");
    EXPECT_FALSE(filter.is_allowed(11));
    EXPECT_FALSE(filter.is_allowed(12));
}

TEST_F(proc_filter_test, nothing_excluded_reads_no_link)
{
    set_exe(40, "/usr/bin/foo");
    const std::string link = (root / "40" / "exe").native();
    // readlink updates a link's access time when it is older than its
    // modification time (relatime); set it so and see whether reading shows.
    auto age_link = [&link] {
        const struct timespec times[2] = {{1000, 0}, {2000, 0}};
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, link.c_str(), times, AT_SYMLINK_NOFOLLOW)) << errno;
    };
    auto link_atime = [&link] {
        struct stat st;
        EXPECT_EQ(0, ::lstat(link.c_str(), &st));
        return st.st_atim.tv_sec;
    };
    age_link();
    std::string out;
    ASSERT_TRUE(process_exe(40, out, proc_root().c_str()));
    if (link_atime() == 1000)
        GTEST_SKIP() << "this file system does not record link reads";

    age_link();
    ts_proc_filter_t filter(io, {}, proc_root());
    EXPECT_TRUE(filter.is_allowed(40));
    EXPECT_EQ(1000, link_atime());

    // The probe itself can fail: with an exclusion, the link is read.
    ts_proc_filter_t excluding(io, {"/usr/bin/bar"}, proc_root());
    EXPECT_TRUE(excluding.is_allowed(40));
    EXPECT_NE(1000, link_atime());
}

TEST_F(proc_filter_test, queued_completion_after_destruction_does_nothing)
{
    set_exe(50, "/usr/bin/foo");
    // A witness timer expiring with the filter's one: after the loop has
    // collected both, cancelling no longer reaches either, so their
    // completions run with success after the filter is gone.
    boost::asio::steady_timer witness(io);
    boost::system::error_code witness_error = boost::asio::error::would_block;
    std::unique_ptr<ts_proc_filter_t> filter(
        new ts_proc_filter_t(io, {"/usr/bin/foo"}, proc_root(), boost::chrono::milliseconds(1)));
    witness.expires_after(std::chrono::milliseconds(1));
    witness.async_wait([&witness_error](const boost::system::error_code& e) { witness_error = e; });
    ASSERT_FALSE(filter->is_allowed(50));

    ::usleep(20000); // both timers are due; nothing below depends on timing
    io.post([&] {
        filter.reset();
        witness.cancel();
    });
    // If the completion touched the destroyed filter, the sanitizer build
    // reports it; if it re-armed, run would not return.
    io.run();
    EXPECT_FALSE(filter);
    EXPECT_FALSE(witness_error) << witness_error.message();
}

TEST_F(proc_filter_test, process_helpers_on_fake_root)
{
    const fs::path target = root / "binary";
    fs::ofstream(target) << "x";
    set_exe(60, target.native());
    set_exe(61, (root / "missing").native());
    set_exe_not_a_link(62);

    EXPECT_TRUE(process_exists(60, proc_root().c_str()));
    EXPECT_FALSE(process_exists(61, proc_root().c_str())); // the check follows the link
    EXPECT_TRUE(process_exists(62, proc_root().c_str()));
    EXPECT_FALSE(process_exists(63, proc_root().c_str()));

    std::string out = "unchanged";
    EXPECT_TRUE(process_exe(61, out, proc_root().c_str()));
    EXPECT_EQ((root / "missing").native(), out);
    out = "unchanged";
    EXPECT_FALSE(process_exe(62, out, proc_root().c_str()));
    EXPECT_EQ("unchanged", out);
    EXPECT_FALSE(process_exe(63, out, proc_root().c_str()));
    EXPECT_EQ("unchanged", out);
}

TEST_F(proc_filter_test, own_process_on_real_proc)
{
    std::string exe;
    ASSERT_TRUE(process_exe(::getpid(), exe));
    EXPECT_TRUE(process_exists(::getpid()));
    ts_proc_filter_t filter(io, {exe});
    EXPECT_FALSE(filter.is_allowed(::getpid()));
    ts_proc_filter_t other(io, {exe + "x"});
    EXPECT_TRUE(other.is_allowed(::getpid()));
}
