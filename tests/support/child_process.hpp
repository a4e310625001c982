// A program started for a test: chosen descriptors inherited, every other one
// closed at exec, standard output and error to files (never pipes, so a
// child that writes much never blocks on a reader that is not there).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace nt {

// The time a peer waits by default for something the daemon should do.
const std::chrono::milliseconds peer_timeout(20000);

struct child_options_t
{
    // argv[0] is the program's path; no PATH search.
    std::vector<std::string> argv;
    // "NAME=value" entries added to (or replacing those of) our environment.
    std::vector<std::string> env;
    // Descriptors (3 and above) the program inherits at the same numbers.
    std::vector<int> inherit_fds;
    // Files for standard output and error, created or truncated; empty means
    // this process's own (inherited). Standard input is /dev/null.
    std::string stdout_path;
    std::string stderr_path;
    // Own process group, so that a terminal's ^C reaches only us.
    bool new_process_group = false;
};

class child_process_t
{
public:
    // Starts the program. Throws std::system_error when it cannot be started
    // (the exec failure of the child is reported here, not as an exit status).
    explicit child_process_t(const child_options_t& options);
    // Kills (SIGKILL) and reaps the program if it still runs.
    ~child_process_t();
    child_process_t(const child_process_t&) = delete;
    child_process_t& operator=(const child_process_t&) = delete;

    pid_t pid() const { return process; }
    // Readable once the program has ended; -1 when the kernel has no pidfd.
    int exit_fd() const { return pidfd; }

    bool running();
    // kill(2); false when the program has already been reaped.
    bool signal(int sig);
    // Waits for the end: the exit code, or 128 + the signal that killed it;
    // nothing when it still runs at the timeout.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = peer_timeout);
    // The status after the end, as wait_exit gives it.
    std::optional<int> status() const { return exit_status; }
    bool killed_by_signal() const { return signaled; }

    const std::string& stdout_path() const { return out_path; }
    const std::string& stderr_path() const { return err_path; }
    std::string stdout_text() const;
    std::string stderr_text() const;
    // Complete lines (ended by a newline) of standard error so far.
    std::vector<std::string> stderr_lines() const;
    // Lines of standard error that contain the text.
    std::size_t stderr_count(const std::string& text) const;
    // Waits until at least `occurrences` lines of standard error contain the
    // text. `idle` runs between looks, given the longest time it may take;
    // by default it sleeps.
    bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout = peer_timeout,
                         std::size_t occurrences = 1, const std::function<void(std::chrono::milliseconds)>& idle = {});
    // The same for standard output.
    std::vector<std::string> stdout_lines() const;
    bool wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout = peer_timeout,
                         std::size_t occurrences = 1);

private:
    bool reap(bool block);

    pid_t process = -1;
    int pidfd = -1;
    std::optional<int> exit_status;
    bool signaled = false;
    std::string out_path;
    std::string err_path;
};

// Splits text into its complete lines (the part after the last newline is
// left out), without the newlines.
std::vector<std::string> complete_lines(const std::string& text);

// Polls the condition every few milliseconds (running `idle` between looks
// when given) until it holds or the time is up; returns whether it held.
bool poll_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                const std::function<void(std::chrono::milliseconds)>& idle = {});

// Complete lines of the file that contain the text.
std::size_t count_lines(const std::string& path, const std::string& text);

// Waits until at least `occurrences` complete lines of the file contain the
// text; `idle` as for child_process_t::wait_for_stderr.
bool wait_for_lines(const std::string& path, const std::string& text, std::chrono::milliseconds timeout,
                    std::size_t occurrences = 1, const std::function<void(std::chrono::milliseconds)>& idle = {});

} // namespace nt
