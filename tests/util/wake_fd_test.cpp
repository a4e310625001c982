#include "util/wake_fd.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

bool readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

class wake_fd_test : public ::testing::Test
{};

} // namespace

TEST_F(wake_fd_test, is_close_on_exec_and_non_blocking)
{
    ts_wake_fd_t wake;
    ASSERT_TRUE(wake.valid());
    EXPECT_EQ(0, wake.error());
    EXPECT_NE(0, fcntl(wake.get(), F_GETFD) & FD_CLOEXEC);
    EXPECT_NE(0, fcntl(wake.get(), F_GETFL) & O_NONBLOCK);
}

TEST_F(wake_fd_test, a_signal_wakes_every_later_wait)
{
    ts_wake_fd_t wake;
    ASSERT_TRUE(wake.valid());
    EXPECT_FALSE(readable(wake.get()));
    wake.signal();
    EXPECT_TRUE(readable(wake.get()));
    // A loop may look more than once (poll, then its back-off wait): the
    // signal is not used up by being seen.
    EXPECT_TRUE(readable(wake.get()));
    wake.signal();
    EXPECT_TRUE(readable(wake.get()));
}

TEST_F(wake_fd_test, the_descriptor_is_closed_with_its_owner)
{
    int fd = -1;
    {
        ts_wake_fd_t wake;
        fd = wake.get();
        ASSERT_GE(fd, 0);
    }
    errno = 0;
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    EXPECT_EQ(EBADF, errno);
}

TEST_F(wake_fd_test, without_a_descriptor_the_errno_is_kept_and_signal_does_nothing)
{
    // In a child: no descriptor may be made there, and the test process keeps
    // its limit.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit none = {0, 0};
        if (setrlimit(RLIMIT_NOFILE, &none) != 0)
            _exit(10);
        ts_wake_fd_t wake;
        if (wake.valid())
            _exit(11);
        if (wake.get() != -1)
            _exit(12);
        if (wake.error() != EMFILE)
            _exit(13);
        wake.signal();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}
