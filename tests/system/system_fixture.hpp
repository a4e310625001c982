// What the black-box tests of the daemon binary share: the binary, the
// configurations they hand it, and looks from outside into the running
// process (/proc) and at its log lines.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gtest/gtest.h>

#include "linux_tarsel_config.pb.h"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "peers/ostrand_peer.hpp"
#include "support/temp_dir.hpp"

namespace nt_sys {

typedef nx::LinuxTarsel2OstrandMessage to_ostrand_t;

// The daemon under test.
extern const std::string daemon_path;

// Generous: the sanitizer build of the daemon starts slowly, and tests run
// eight at a time. Only the limit of a wait is a time, never its length.
const std::chrono::milliseconds long_wait(30000);

// The text of the daemon's exit line, and the line in console form.
std::string exit_text(int status, const std::string& text);
std::string console_exit_line(int status, const std::string& text);

// The ready line in console form, with fanotify running.
extern const std::string ready_line;

// Fanotify (mode 1), one watched directory that nothing touches, so the
// queue stays empty, and lines on standard error in console form. No
// log_level: Debug.
nx::LinuxTarselConfig stderr_config(const std::string& watched);
// The same with the lines going to a log file.
nx::LinuxTarselConfig file_config(const std::string& watched, const std::string& log_path);

// Polls the condition (every few milliseconds, running `idle` between looks
// when given) until it holds or the time is up; returns whether it held.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = long_wait,
                const std::function<void(std::chrono::milliseconds)>& idle = {});

// The number of open descriptors of the process.
std::size_t descriptor_count(pid_t pid);
// Every open descriptor of the process with what it names (the target of
// its /proc link: a path, "socket:[N]", "anon_inode:[eventpoll]", ...).
std::map<int, std::string> descriptor_targets(pid_t pid);
// What the daemon holds open for itself, beyond its standard descriptors, as
// a sorted list of kinds ("socket:", "pipe:", "anon_inode:[eventfd]", ...) and
// of the paths among `own_paths`. Files that fanotify lends the daemon with
// each event it reads (any path, held for a moment) are left out, so two
// looks at a daemon with the same descriptors give the same list whatever
// it is reading.
std::vector<std::string> held_descriptor_kinds(pid_t pid, const std::vector<std::string>& own_paths);
// Waits until the mounts watcher's thread, which the daemon starts at once
// and which opens its mount table and its epoll instance when it first gets
// to run, holds both: until then the daemon's own descriptor set still grows.
bool wait_for_settled_descriptors(pid_t pid, std::chrono::milliseconds timeout = long_wait,
                                  const std::function<void(std::chrono::milliseconds)>& idle = {});
// The numbers of the descriptors of the process that name the file.
std::vector<int> descriptors_naming(pid_t pid, const std::string& path);
// The "flags:" value of /proc/<pid>/fdinfo/<fd>; nothing when unreadable.
std::optional<unsigned long> descriptor_flags(pid_t pid, int fd);
// This process's descriptors that are Unix stream sockets.
std::vector<int> own_stream_sockets();
// The "SigBlk:" mask of every thread of the process, the main thread first.
std::vector<std::pair<pid_t, unsigned long long>> blocked_signals(pid_t pid);

// Whether the line is a file-sink line of that process: local time stamp as
// "2014-Mar-12 14:22:05", " [<pid>] ", the level word, ": " and the text.
bool is_file_line(const std::string& line, pid_t pid, const std::string& level, const std::string& text);
// The same with any level word and any text.
bool is_file_line(const std::string& line, pid_t pid);

// Lines of the text (complete ones), and those among them equal to `line`.
std::vector<std::string> lines_of(const std::string& text);
// The lines without Warning lines, in console or file form.
std::vector<std::string> without_warnings(const std::vector<std::string>& lines);
std::size_t count_equal(const std::vector<std::string>& lines, const std::string& line);
std::size_t count_containing(const std::vector<std::string>& lines, const std::string& part);

// A managed run: a private directory (watched subdirectory, log files) and
// the peer Ostrand with the daemon under it.
class system_test : public ::testing::Test
{
protected:
    system_test();
    // Skips unless root: the daemon's first context starts fanotify.
    void SetUp() override;

    // Starts the daemon under a fresh peer Ostrand (extra arguments after
    // "--monitor N") and waits for its first GET_CONTEXT_REQUEST.
    nt::ostrand_peer_t& start(const std::vector<std::string>& args = {});
    nt::ostrand_peer_t& start(const nt::ostrand_options_t& options);

    // Answers the first context with the configuration and revision and
    // waits for the MY_INFO_NOTIFICATION and GET_KESTRUM_REQUEST that end its
    // handling (Kestrum's address is withheld). Returns the notification.
    nt::ostrand_frame_t first_context(const nx::LinuxTarselConfig& config, std::uint32_t revision);

    // SIGHUP, then the GET_CONTEXT_REQUEST it brings; the context answered
    // as set up before.
    void hangup();
    // The two MY_INFO_NOTIFICATIONs that a later context brings.
    std::vector<nt::ostrand_frame_t> later_context_notifications();

    // The daemon's standard error for failure messages; nothing is read
    // unless it is a plain file (a FIFO would block the reader).
    std::string stderr_for_messages() const;

    // The daemon's standard error without its Warning lines: the start-up
    // scan of the running processes warns about every executable it cannot
    // resolve, which depends on the machine.
    std::vector<std::string> lines_without_warnings() const;

    // SIGTERM and the daemon's exit status.
    std::optional<int> terminate();

    nt::temp_dir_t dir;
    const std::string watched;
    std::unique_ptr<nt::ostrand_peer_t> ostrand;
    bool stderr_is_file = true;
};

} // namespace nt_sys
