// A mount namespace of the test's own and a tmpfs in it, for the tests that
// need the kernel (fanotify, mounts): they never touch "/" or the tester's
// files, and clean up even when they fail half-way. Needs root.
#pragma once

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace nt {

// Gives the calling process a mount namespace of its own, with nothing
// propagating back, so that mounts made by the test are seen by no one else
// and the mount table changes only by the test. Call before any thread is
// started. False (with errno) when it cannot be done.
inline bool enter_private_mounts()
{
    if (unshare(CLONE_NEWNS) != 0)
        return false;
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A tmpfs mounted on dir for the lifetime of the object (detached at the
// end, also when the test failed half-way).
class tmpfs_t
{
public:
    explicit tmpfs_t(const std::string& dir)
        : dir_(dir)
        , mounted_(false)
    {
        mount_again();
    }
    ~tmpfs_t() { unmount(); }
    tmpfs_t(const tmpfs_t&) = delete;
    tmpfs_t& operator=(const tmpfs_t&) = delete;

    bool mounted() const { return mounted_; }
    bool mount_again()
    {
        if (!mounted_)
            mounted_ = mount("nt-test", dir_.c_str(), "tmpfs", 0, "size=64m,mode=0755") == 0;
        return mounted_;
    }
    bool unmount()
    {
        if (!mounted_)
            return true;
        mounted_ = umount2(dir_.c_str(), MNT_DETACH) != 0;
        return !mounted_;
    }

private:
    std::string dir_;
    bool mounted_;
};

// A test in a mount namespace of its own, with a private tmpfs mounted on
// <temp>/watched for the whole test.
class private_tmpfs_test_t : public ::testing::Test
{
protected:
    explicit private_tmpfs_test_t(const char* name)
        : temp(name)
    {}

    void SetUp() override
    {
        ASSERT_TRUE(enter_private_mounts()) << strerror(errno);
        watched = temp.path() + "/watched";
        ASSERT_EQ(0, mkdir(watched.c_str(), 0755));
        tmpfs.reset(new tmpfs_t(watched));
        ASSERT_TRUE(tmpfs->mounted());
    }
    void TearDown() override { tmpfs.reset(); }

    temp_dir_t temp;
    std::string watched;
    std::unique_ptr<tmpfs_t> tmpfs;
};

} // namespace nt
