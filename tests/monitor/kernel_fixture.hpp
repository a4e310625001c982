// Helpers of the monitor tests that need the kernel: a private mount
// namespace, a private tmpfs, a child process that makes accesses, and a
// log capture at the Debug threshold.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "log/log.hpp"
#include "support/recording_log.hpp"
#include "support/temp_dir.hpp"

namespace nt_monitor_test {

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
    explicit tmpfs_t(const std::string& dir) : dir_(dir), mounted_(false) { mount_again(); }
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

inline bool write_file(const std::string& path, const std::string& content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && ok;
}

// Opens and closes every path in a child process (read-only, non-blocking,
// so a FIFO does not wait for a writer), in order. Returns the number of
// paths the child could not open, or -1 when the child did not run.
inline int access_from_child(const std::vector<std::string>& paths)
{
    std::vector<const char*> names;
    for (std::size_t i = 0; i < paths.size(); ++i)
        names.push_back(paths[i].c_str());
    pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        // Only async-signal-safe calls after fork in a threaded process.
        int failed = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            int fd = open(names[i], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0)
                ++failed;
            else
                close(fd);
        }
        _exit(failed > 100 ? 100 : failed);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int count_open_fds()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (struct dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count - 1; // the directory's own descriptor
}

inline bool fd_is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Closes a watcher's gate on every way out of a test, so that its thread
// never reaches the test's slots after they are gone.
template <class Watcher>
class gate_closer_t
{
public:
    explicit gate_closer_t(const boost::shared_ptr<Watcher>& watcher) : watcher_(watcher) {}
    ~gate_closer_t() { watcher_->close(); }
    gate_closer_t(const gate_closer_t&) = delete;
    gate_closer_t& operator=(const gate_closer_t&) = delete;

private:
    boost::shared_ptr<Watcher> watcher_;
};

// Processor time the thread has used so far; 0 when it cannot be read.
inline double thread_cpu_seconds(pthread_t thread)
{
    clockid_t clock;
    struct timespec used = {0, 0};
    if (pthread_getcpuclockid(thread, &clock) == 0)
        clock_gettime(clock, &used);
    return used.tv_sec + used.tv_nsec / 1e9;
}

// Installs a recording sink at the Debug threshold; puts back the state the
// logging core starts in.
class log_capture_t
{
public:
    log_capture_t()
    {
        reset();
        log_threshold = LOG_DEBUG_LEVEL;
    }

    // Starts again with a sink that has recorded nothing.
    void reset()
    {
        sink_ = boost::make_shared<recording_log_t>();
        set_log_sink(sink_);
    }

    std::vector<std::pair<int, std::string> > lines() const
    {
        std::vector<std::pair<int, std::string> > result;
        for (const recording_log_t::line_t& line : sink_->lines())
            result.push_back(std::make_pair(line.level, line.text));
        return result;
    }

    std::size_t count(int level, const std::string& text) const
    {
        std::size_t n = 0;
        for (const recording_log_t::line_t& line : sink_->lines())
            if (line.level == level && line.text == text)
                ++n;
        return n;
    }

private:
    log_state_restorer_t restorer_; // first in, last out
    recording_log_ptr sink_;
};

// A test in a mount namespace of its own, with a private tmpfs mounted on
// <temp>/watched for the whole test.
class private_tmpfs_test_t : public ::testing::Test
{
protected:
    explicit private_tmpfs_test_t(const char* name) : temp(name) {}

    void SetUp() override
    {
        ASSERT_TRUE(enter_private_mounts()) << strerror(errno);
        watched = temp.path() + "/watched";
        ASSERT_EQ(0, mkdir(watched.c_str(), 0755));
        tmpfs.reset(new tmpfs_t(watched));
        ASSERT_TRUE(tmpfs->mounted());
    }
    void TearDown() override { tmpfs.reset(); }

    nt::temp_dir_t temp;
    std::string watched;
    std::unique_ptr<tmpfs_t> tmpfs;
};

} // namespace nt_monitor_test
