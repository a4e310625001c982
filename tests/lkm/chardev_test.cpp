#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "lkm/chardev.hpp"
#include "lkm_test_util.hpp"

namespace fs = boost::filesystem;

class chardev_test : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

    // The node at path is a character device (mode 0400) of (major, minor).
    static void expect_node(const fs::path& path, unsigned major, unsigned minor)
    {
        struct stat st;
        ASSERT_EQ(::lstat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0400u);
        EXPECT_EQ(st.st_rdev, makedev(major, minor));
    }

    nt::temp_dir_t dir_{"nt-lkm"};
};

TEST_F(chardev_test, makes_a_read_only_character_node_and_removes_it_again)
{
    const fs::path node = dir_ / "noxel.control";
    {
        ts_chardev_t device(node, UNUSED_MAJOR, 1);
        EXPECT_EQ(device.path(), node);
        expect_node(node, UNUSED_MAJOR, 1);
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(node)));
}

TEST_F(chardev_test, replaces_a_stale_entry_of_any_simple_kind)
{
    const fs::path node = dir_ / "noxel.tarsel";
    const fs::path target = dir_ / "target";
    std::ofstream(target.string()) << "keep";
    struct case_t
    {
        const char* name;
        std::function<void()> make;
    };
    const std::vector<case_t> cases = {
        {"stale node", [&] { ASSERT_EQ(::mknod(node.c_str(), S_IFCHR | 0600, makedev(UNUSED_MAJOR, 9)), 0); }},
        {"regular file", [&] { std::ofstream(node.string()) << "x"; }},
        {"symbolic link", [&] { fs::create_symlink(target, node); }},
        {"empty directory", [&] { fs::create_directory(node); }},
    };
    for (const case_t& c : cases) {
        c.make();
        {
            ts_chardev_t device(node, UNUSED_MAJOR, 0);
            expect_node(node, UNUSED_MAJOR, 0);
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(node))) << c.name;
    }
    // The link went, not what it pointed to.
    std::ifstream kept(target.string());
    std::string text;
    kept >> text;
    EXPECT_EQ(text, "keep");
}

TEST_F(chardev_test, a_directory_with_content_makes_construction_fail)
{
    const fs::path node = dir_ / "noxel.control";
    fs::create_directories(node / "inside");
    EXPECT_THROW(ts_chardev_t(node, UNUSED_MAJOR, 1), fs::filesystem_error);
    EXPECT_TRUE(fs::is_directory(node / "inside"));
}

TEST_F(chardev_test, a_failed_mknod_reports_its_errno)
{
    const fs::path node = dir_ / "missing" / "noxel.control";
    try {
        ts_chardev_t device(node, UNUSED_MAJOR, 1);
        FAIL() << "constructed";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENOENT, boost::system::system_category()));
        EXPECT_EQ(std::string(e.what()).rfind("Couldn't make char device: ", 0), 0u) << e.what();
    }
}

TEST_F(chardev_test, a_node_that_cannot_be_removed_is_logged_not_thrown)
{
    log_capture_t log;
    const fs::path node = dir_ / "noxel.tarsel";
    {
        ts_chardev_t device(node, UNUSED_MAJOR, 0);
        fs::remove(node);
        fs::create_directories(node / "inside");
    }
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].first, LOG_WARNING_LEVEL);
    EXPECT_EQ(log.lines()[0].second.rfind("Couldn't remove char device " + node.string() + ": ", 0), 0u);
}

TEST_F(chardev_test, a_node_already_gone_at_destruction_is_no_error)
{
    log_capture_t log;
    {
        ts_chardev_t device(dir_ / "gone", UNUSED_MAJOR, 0);
        fs::remove(dir_ / "gone");
    }
    EXPECT_TRUE(log.lines().empty());
}
