#include "lkm/lkm_loader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <boost/lexical_cast.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "error.pb.h"
#include "lkm/lkm_texts.hpp"
#include "lkm/lkmnotify.hpp"
#include "lkm/termination_hold.hpp"
#include "monitor/monitor_error.hpp"
#include "util/unique_fd.hpp"

namespace {

const int CHILD_FAILED = 126;
const int CHILD_CLOSE_LIMIT = 1024;
const size_t READ_CHUNK = 256;

[[noreturn]] void throw_errno(int error, const char* what)
{
    throw boost::system::system_error(error, boost::system::system_category(), what);
}

// Between fork and exec only async-signal-safe calls.
[[noreturn]] void exec_child(char* const* argv, int output, const sigset_t& mask)
{
    // The pipe end must not sit where it is about to be duplicated to.
    if (output <= STDERR_FILENO)
        output = ::fcntl(output, F_DUPFD, STDERR_FILENO + 1);
    if (output < 0 || ::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0)
        ::_exit(CHILD_FAILED);
    for (int fd = STDERR_FILENO + 1; fd < CHILD_CLOSE_LIMIT; ++fd)
        ::close(fd);
    // The daemon's own signal arrangements are not the program's: the mask
    // goes back to the caller's (the parent holds SIGTERM and SIGINT for
    // the run), and a write to a pipe nobody reads ends it as usual.
    struct sigaction deflt;
    std::memset(&deflt, 0, sizeof(deflt));
    deflt.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &deflt, nullptr);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    ::execvp(argv[0], argv);
    ::_exit(CHILD_FAILED);
}

// Readable once the child has ended; invalid where the kernel has none
// (before Linux 5.3), and the tick then looks for the end instead.
int open_process_fd(pid_t child)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
}

std::chrono::milliseconds until(std::chrono::steady_clock::time_point deadline)
{
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return std::chrono::milliseconds(0);
    // Rounded up: a wait of 0 before the deadline would spin.
    return std::chrono::ceil<std::chrono::milliseconds>(left);
}

// True with the child's status once it has ended and is reaped; never waits.
bool try_reap(pid_t child, int& status)
{
    pid_t waited;
    do {
        waited = ::waitpid(child, &status, WNOHANG);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0)
        throw_errno(errno, TS_TEXT_CONTEXT_LKM_WAITPID);
    return waited == child;
}

// Waits for the end of the child up to the deadline; true with its status
// once it has been reaped.
bool reap_until(pid_t child, int process_fd, std::chrono::steady_clock::time_point deadline, int& status)
{
    // Without a process descriptor, a look every few milliseconds.
    const std::chrono::milliseconds look(10);
    while (!try_reap(child, status)) {
        const std::chrono::milliseconds left = until(deadline);
        if (left.count() == 0)
            return false;
        pollfd end = {process_fd, POLLIN, 0};
        if (process_fd >= 0) {
            ::poll(&end, 1, static_cast<int>(left.count()));
        } else {
            ::poll(nullptr, 0, static_cast<int>(std::min(left, look).count()));
        }
    }
    return true;
}

// Kills the child and gives it the grace to be gone. The status of one that
// is still there says what was done to it.
int kill_child(pid_t child, int process_fd)
{
    ::kill(child, SIGKILL);
    int status = 0;
    if (!reap_until(child, process_fd, std::chrono::steady_clock::now() + TS_LKM_CHILD_REAP_GRACE, status))
        status = SIGKILL;
    return status;
}

// One read, repeated when interrupted; false at end of file or when the
// read failed (after a Debug line). Blocks only when nothing is there.
bool read_once(int fd, std::string& output)
{
    char chunk[READ_CHUNK];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got == 0)
            return false;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_READ_FAILED << strerror(errno));
            return false;
        }
        if (output.size() < TS_LKM_OUTPUT_LIMIT)
            output.append(chunk, std::min(static_cast<size_t>(got), TS_LKM_OUTPUT_LIMIT - output.size()));
        return true;
    }
}

// What the child wrote before it ended and is still in the pipe; no more
// than TS_LKM_OUTPUT_LIMIT bytes of it, since a process it left behind may
// go on writing.
void drain(int fd, std::string& output)
{
    for (size_t taken = 0; taken < TS_LKM_OUTPUT_LIMIT; taken += READ_CHUNK) {
        pollfd readable = {fd, POLLIN, 0};
        if (::poll(&readable, 1, 0) != 1 || !read_once(fd, output))
            return;
    }
}

} // namespace

ts_interceptor_ptr create_lkm_interceptor(boost::asio::io_service& loop, const std::vector<std::string>& mount_points,
                                          const ts_lkm_setup_t& setup)
{
    NT_LOG(LOG_INFO_LEVEL, TS_TEXT_LKM_TRYING);
    load_module(TS_LKM_MODULE_NAME, setup.program, setup.modprobe_timeout);
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_LOADED);
    const int major = get_device_major(TS_LKM_MODULE_NAME, setup.devices_list);
    if (major < 0)
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_NO_MAJOR), TS_TEXT_CONTEXT_LKM);
    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MAJOR << major);
    NT_LOG(LOG_INFO_LEVEL, TS_TEXT_LKM_DEVICE_DIR << setup.device_dir);
    return boost::make_shared<ts_lkmnotify_t>(loop, setup.device_dir, major, mount_points, setup.opener);
}

void load_module(const std::string& name, const std::string& program, std::chrono::milliseconds timeout)
{
    std::string output;
    const int status = run_command({program.c_str(), name.c_str()}, output, timeout);
    if (!output.empty()) {
        if (output.back() == '\n')
            output.pop_back();
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MODPROBE_OUTPUT << output);
    }
    if (WIFSIGNALED(status)) {
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MODPROBE_SIGNAL);
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_MODULE_LOAD), TS_TEXT_CONTEXT_LKM);
    }
    if (WEXITSTATUS(status) != 0) {
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_LKM_MODPROBE_STATUS << WEXITSTATUS(status));
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_MODULE_LOAD), TS_TEXT_CONTEXT_LKM);
    }
}

int get_device_major(const std::string& name, const std::string& devices_list)
{
    std::ifstream devices(devices_list);
    std::string line;
    bool character_section = false;
    while (std::getline(devices, line)) {
        // Every heading ends in a colon; only the character devices count,
        // since a block driver of the same name has nothing behind our nodes.
        if (!line.empty() && line.back() == ':') {
            character_section = line == TS_LKM_CHARACTER_SECTION;
            continue;
        }
        if (!character_section)
            continue;
        // "%3d %s": the major, then the driver's whole name. A name that only
        // contains ours belongs to another driver, whose device would then
        // receive our requests.
        std::istringstream fields(line);
        std::string major, driver, rest;
        if (fields >> major >> driver && !(fields >> rest) && driver == name)
            return boost::lexical_cast<int>(major);
    }
    return -1;
}

int run_command(const std::vector<const char*>& arguments, std::string& output, std::chrono::milliseconds timeout)
{
    // Ready before the fork: the child may not allocate.
    std::vector<char*> argv;
    for (const char* argument : arguments)
        argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);

    // Held from before the fork, so that no signal slips between the fork
    // and the first look; the child sets the caller's mask again.
    const ts_termination_hold_t hold;
    int ends[2];
    // Close-on-exec, so that no other child of the daemon inherits them.
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw_errno(errno, TS_TEXT_CONTEXT_LKM_PIPE);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        throw_errno(error, TS_TEXT_CONTEXT_LKM_FORK);
    }
    if (child == 0)
        exec_child(argv.data(), ends[1], hold.previous());
    ::close(ends[1]);
    const ts_unique_fd_t pipe(ends[0]);
    const ts_unique_fd_t ended(open_process_fd(child));

    // The output is read as it comes, so a child that writes more than the
    // pipe holds never stalls; but only for as long as the child runs.
    bool reading = true;
    for (;;) {
        int status = 0;
        if (try_reap(child, status)) {
            if (reading)
                drain(pipe.get(), output);
            return status;
        }
        if (ts_termination_hold_t::pending()) {
            kill_child(child, ended.get());
            NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_LKM_MODPROBE_TERMINATED);
            throw nx::EC_APP_TERMINATED;
        }
        if (until(deadline).count() == 0) {
            NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_LKM_MODPROBE_TIMED_OUT << timeout.count() << TS_TEXT_LKM_MILLISECONDS);
            status = kill_child(child, ended.get());
            if (reading)
                drain(pipe.get(), output);
            return status;
        }
        pollfd watched[2];
        nfds_t count = 0;
        if (reading)
            watched[count++] = {pipe.get(), POLLIN, 0};
        if (ended.valid())
            watched[count++] = {ended.get(), POLLIN, 0};
        const int wait = static_cast<int>(std::min(until(deadline), TS_LKM_CHILD_TICK).count());
        const int ready = ::poll(watched, count, wait);
        if (ready < 0 && errno != EINTR) {
            const int error = errno;
            kill_child(child, ended.get());
            throw_errno(error, TS_TEXT_CONTEXT_LKM_POLL);
        }
        if (ready > 0 && reading && watched[0].revents != 0)
            reading = read_once(pipe.get(), output);
    }
}

void read_all(int fd, std::string& output)
{
    while (read_once(fd, output)) {
    }
}
