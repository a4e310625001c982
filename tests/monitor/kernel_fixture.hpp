// Helpers of the monitor tests that need the kernel: the private mount
// namespace, tmpfs and log capture of tests/support, a child process that
// makes accesses.
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
#include <system_error>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include "log/log.hpp"
#include "support/descriptors.hpp"
#include "support/log_capture.hpp"
#include "support/private_mounts.hpp"
#include "support/temp_dir.hpp"

namespace nt_monitor_test {

using nt::enter_private_mounts;
using nt::fd_is_open;
using nt::private_tmpfs_test_t;
using nt::tmpfs_t;

// nt::write_file for the tests that assert on the outcome: false where it
// would throw.
inline bool write_file(const std::string& path, const std::string& content)
{
    try {
        nt::write_file(path, content);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
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

// Closes a watcher's gate on every way out of a test, so that its thread
// never reaches the test's slots after they are gone.
template <class Watcher>
class gate_closer_t
{
public:
    explicit gate_closer_t(const boost::shared_ptr<Watcher>& watcher)
        : watcher_(watcher)
    {}
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

} // namespace nt_monitor_test
