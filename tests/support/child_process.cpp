#include "support/child_process.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.hpp"

extern char** environ;

namespace nt {

namespace {

int open_output(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "open " + path);
    return fd;
}

std::vector<std::string> merged_environment(const std::vector<std::string>& extra)
{
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(&s[0]);
    out.push_back(nullptr);
    return out;
}

// Only async-signal-safe calls from here to exec: the parent may have threads.
[[noreturn]] void exec_child(const child_options_t& options, char** argv, char** envp, int in_fd, int out_fd,
                             int err_fd, int report_fd, int max_fd)
{
    if (options.new_process_group)
        ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD})
        ::sigaction(sig, &dfl, nullptr);

    ::dup2(in_fd, 0);
    if (out_fd >= 0)
        ::dup2(out_fd, 1);
    if (err_fd >= 0)
        ::dup2(err_fd, 2);
    // Whatever the test process holds open stays out of the program.
    if (::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */) != 0) {
        for (int fd = 3; fd < max_fd; ++fd)
            if (fd != report_fd)
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    for (int fd : options.inherit_fds)
        ::fcntl(fd, F_SETFD, 0);
    ::fcntl(report_fd, F_SETFD, FD_CLOEXEC);

    ::execve(argv[0], argv, envp);
    int error = errno;
    ssize_t ignored = ::write(report_fd, &error, sizeof error);
    (void)ignored;
    ::_exit(127);
}

} // namespace

std::vector<std::string> complete_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl = text.find('\n'); nl != std::string::npos; nl = text.find('\n', start)) {
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

child_process_t::child_process_t(const child_options_t& options)
    : out_path(options.stdout_path)
    , err_path(options.stderr_path)
{
    if (options.argv.empty())
        throw std::system_error(EINVAL, std::generic_category(), "child_process_t: no program");
    for (int fd : options.inherit_fds)
        if (fd < 3)
            throw std::system_error(EINVAL, std::generic_category(), "child_process_t: inherited fd below 3");

    std::vector<std::string> args = options.argv;
    std::vector<std::string> env = merged_environment(options.env);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);

    struct rlimit limit;
    int max_fd = 4096;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < 65536)
        max_fd = static_cast<int>(limit.rlim_cur);

    int in_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (in_fd < 0)
        throw std::system_error(errno, std::generic_category(), "open /dev/null");
    int out_fd = -1, err_fd = -1;
    int report[2] = {-1, -1};
    auto close_all = [&] {
        for (int fd : {in_fd, out_fd, err_fd, report[0], report[1]})
            if (fd >= 0)
                ::close(fd);
    };
    try {
        if (!out_path.empty())
            out_fd = open_output(out_path);
        if (!err_path.empty())
            err_fd = open_output(err_path);
        if (::pipe2(report, O_CLOEXEC) != 0)
            throw std::system_error(errno, std::generic_category(), "pipe2");
    } catch (...) {
        close_all();
        throw;
    }

    process = ::fork();
    if (process < 0) {
        int error = errno;
        close_all();
        throw std::system_error(error, std::generic_category(), "fork");
    }
    if (process == 0)
        exec_child(options, argv.data(), envp.data(), in_fd, out_fd, err_fd, report[1], max_fd);

    ::close(report[1]);
    report[1] = -1;
    int exec_error = 0;
    ssize_t n;
    do
        n = ::read(report[0], &exec_error, sizeof exec_error);
    while (n < 0 && errno == EINTR);
    close_all();
    if (n > 0) {
        reap(true);
        throw std::system_error(exec_error, std::generic_category(), "exec " + options.argv[0]);
    }
    pidfd = static_cast<int>(::syscall(SYS_pidfd_open, process, 0));
    if (pidfd >= 0)
        ::fcntl(pidfd, F_SETFD, FD_CLOEXEC);
}

child_process_t::~child_process_t()
{
    if (!exit_status) {
        ::kill(process, SIGKILL);
        reap(true);
    }
    if (pidfd >= 0)
        ::close(pidfd);
}

bool child_process_t::reap(bool block)
{
    if (exit_status)
        return true;
    int status = 0;
    pid_t r;
    do
        r = ::waitpid(process, &status, block ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r != process)
        return false;
    if (WIFSIGNALED(status)) {
        signaled = true;
        exit_status = 128 + WTERMSIG(status);
    } else {
        exit_status = WEXITSTATUS(status);
    }
    return true;
}

bool child_process_t::running()
{
    return !reap(false);
}

bool child_process_t::signal(int sig)
{
    if (exit_status)
        return false;
    return ::kill(process, sig) == 0;
}

std::optional<int> child_process_t::wait_exit(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(false)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        if (pidfd >= 0) {
            pollfd pfd = {pidfd, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(left.count()));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(10)));
        }
    }
    return exit_status;
}

std::string child_process_t::stdout_text() const
{
    return out_path.empty() ? std::string() : read_file(out_path);
}

std::string child_process_t::stderr_text() const
{
    return err_path.empty() ? std::string() : read_file(err_path);
}

std::vector<std::string> child_process_t::stderr_lines() const
{
    return complete_lines(stderr_text());
}

std::size_t child_process_t::stderr_count(const std::string& text) const
{
    return err_path.empty() ? 0 : count_lines(err_path, text);
}

bool child_process_t::wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout,
                                      std::size_t occurrences,
                                      const std::function<void(std::chrono::milliseconds)>& idle)
{
    return !err_path.empty() && wait_for_lines(err_path, text, timeout, occurrences, idle);
}

std::vector<std::string> child_process_t::stdout_lines() const
{
    return complete_lines(stdout_text());
}

bool child_process_t::wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout,
                                      std::size_t occurrences)
{
    return !out_path.empty() && wait_for_lines(out_path, text, timeout, occurrences);
}

std::size_t count_lines(const std::string& path, const std::string& text)
{
    std::size_t n = 0;
    for (const std::string& line : complete_lines(read_file(path)))
        if (line.find(text) != std::string::npos)
            ++n;
    return n;
}

bool poll_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                const std::function<void(std::chrono::milliseconds)>& idle)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        auto slice = std::min(left, std::chrono::milliseconds(10));
        if (idle)
            idle(slice);
        else
            std::this_thread::sleep_for(slice);
    }
}

bool wait_for_lines(const std::string& path, const std::string& text, std::chrono::milliseconds timeout,
                    std::size_t occurrences, const std::function<void(std::chrono::milliseconds)>& idle)
{
    // Nothing signals a write to a file, so look again every few
    // milliseconds; only the limit is a time.
    return poll_until([&] { return count_lines(path, text) >= occurrences; }, timeout, idle);
}

} // namespace nt
