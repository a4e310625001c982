// The real daemon between the peer Ostrand and the peer Kestrum, on
// real fanotify: a private mount namespace and a private directory per test,
// a configuration that watches only that directory, file accesses made by
// child processes (the daemon drops its own).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "core/version.hpp"
#include "kestrum_client_ipc.pb.h"
#include "links/links_texts.hpp"
#include "linux_tarsel_config.pb.h"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "peers/bytes.hpp"
#include "peers/kestrum_peer.hpp"
#include "peers/ostrand_peer.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace nt_system_test {

typedef std::chrono::milliseconds ms;
typedef ks::ClientMessage client_t;
typedef nx::LinuxTarsel2OstrandMessage to_ostrand_t;

const std::string daemon_path = NT_DAEMON_PATH;

// Long enough for a daemon built with the sanitizers on a loaded machine;
// every wait ends as soon as its condition holds.
const ms patience(20000);

// The console form of a log line: the level's name, ": ", the text.
inline std::string line(const char* level, const std::string& text)
{
    return std::string(level) + ": " + text;
}

inline std::string canonical_path(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// A mount namespace of the test's own: the daemon started from here marks
// only copies of the mounts, so it sees only the accesses of processes of
// this namespace, and a tmpfs mounted by the test is seen by no one else.
inline bool enter_private_mounts()
{
    if (::unshare(CLONE_NEWNS) != 0)
        return false;
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A tmpfs on a directory for the lifetime of the object.
class tmpfs_t
{
public:
    explicit tmpfs_t(const std::string& dir)
        : where(dir)
    {
        mounted = ::mount("nt-system", dir.c_str(), "tmpfs", 0, "size=16m,mode=0755") == 0;
    }
    ~tmpfs_t()
    {
        if (mounted)
            ::umount2(where.c_str(), MNT_DETACH);
    }
    tmpfs_t(const tmpfs_t&) = delete;
    tmpfs_t& operator=(const tmpfs_t&) = delete;
    bool ok() const { return mounted; }

private:
    std::string where;
    bool mounted;
};

// A child process that opens the files in order and keeps them open until
// the object goes: every file gives exactly one open event, and no close
// event can put a path back into the daemon's queue after it was sent.
class file_holder_t
{
public:
    explicit file_holder_t(const std::vector<std::string>& paths)
    {
        std::vector<const char*> names;
        for (const std::string& p : paths)
            names.push_back(p.c_str());
        int ready[2], release[2];
        if (::pipe2(ready, O_CLOEXEC) != 0)
            return;
        if (::pipe2(release, O_CLOEXEC) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        child = ::fork();
        if (child == 0) {
            // Raw system calls only: the parent has other threads. Every
            // other descriptor goes, above all the release ends of other
            // holders, whose end of stream must not wait for this one.
            const int keep_low = std::min(ready[1], release[0]);
            const int keep_high = std::max(ready[1], release[0]);
            close_range_or_loop(3, keep_low - 1);
            close_range_or_loop(keep_low + 1, keep_high - 1);
            close_range_or_loop(keep_high + 1, INT_MAX);
            char failed = 0;
            for (const char* name : names)
                if (::syscall(SYS_openat, AT_FDCWD, name, O_RDONLY | O_NONBLOCK) < 0)
                    failed = 1;
            ::syscall(SYS_write, ready[1], &failed, 1);
            char ignored;
            ::syscall(SYS_read, release[0], &ignored, 1); // returns at end of stream
            ::syscall(SYS_exit_group, 0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_fd = release[1];
        char failed = 1;
        all_open = child > 0 && ::read(ready[0], &failed, 1) == 1 && failed == 0;
        ::close(ready[0]);
    }
    ~file_holder_t()
    {
        if (release_fd >= 0)
            ::close(release_fd);
        if (child > 0) {
            int status;
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    file_holder_t(const file_holder_t&) = delete;
    file_holder_t& operator=(const file_holder_t&) = delete;

    // Every file was opened.
    bool ok() const { return all_open; }

private:
    static void close_range_or_loop(int first, int last)
    {
        if (first > last)
            return;
        if (::syscall(SYS_close_range, first, last, 0) == 0)
            return;
        for (int fd = first; fd <= last && fd < 65536; ++fd)
            ::syscall(SYS_close, fd);
    }

    pid_t child = -1;
    int release_fd = -1;
    bool all_open = false;
};

// Files held open by a row of holders, each started after the previous one
// has opened its share, so the open events stay in order however low the
// descriptor limit.
inline std::vector<std::unique_ptr<file_holder_t>> hold_in_order(const std::vector<std::string>& paths)
{
    const std::size_t share = 400;
    std::vector<std::unique_ptr<file_holder_t>> holders;
    for (std::size_t first = 0; first < paths.size(); first += share) {
        std::vector<std::string> part(paths.begin() + first, paths.begin() + std::min(paths.size(), first + share));
        holders.emplace_back(new file_holder_t(part));
    }
    return holders;
}

inline bool all_held(const std::vector<std::unique_ptr<file_holder_t>>& holders)
{
    for (const auto& h : holders)
        if (!h->ok())
            return false;
    return true;
}

inline std::vector<std::string> data_paths(const std::vector<nt::kestrum_frame_t>& frames)
{
    std::vector<std::string> out;
    for (const nt::kestrum_frame_t& f : frames)
        if (f.message.tag() == client_t::FLOW_DATA_NOTIFICATION)
            out.insert(out.end(), f.message.flow_path().begin(), f.message.flow_path().end());
    return out;
}

inline std::vector<std::string> escaped(const std::vector<std::string>& paths)
{
    std::vector<std::string> out;
    for (const std::string& p : paths)
        out.push_back(nt::escape_bytes(p));
    return out;
}

class daemon_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: fanotify and mounts";
        ASSERT_TRUE(enter_private_mounts()) << std::strerror(errno);
        dir.reset(new nt::temp_dir_t("nt-system-"));
        root = canonical_path(dir->path());
        ASSERT_FALSE(root.empty());
    }

    // A daemon still running ends as SIGTERM has it end; whatever ended
    // it, the sanitizers (in a sanitizer build) must have found nothing.
    void TearDown() override
    {
        if (!ostrand)
            return;
        if (!ostrand->process().status()) {
            ostrand->signal(SIGTERM);
            EXPECT_EQ(ostrand->wait_exit(patience), nx::EC_APP_TERMINATED);
        }
        const std::string text = ostrand->stderr_text();
        for (const char* report : {"Sanitizer", "runtime error:"})
            EXPECT_EQ(text.find(report), std::string::npos) << text;
    }

    std::string path(const std::string& name) const { return root + "/" + name; }

    // Creates the file (before the daemon starts, so that its creation is no
    // access the daemon sees) and returns its path.
    std::string make_file(const std::string& name, const std::string& content = "")
    {
        const std::string p = path(name);
        nt::write_file(p, content);
        return p;
    }
    std::string make_dir(const std::string& name)
    {
        const std::string p = path(name);
        EXPECT_EQ(::mkdir(p.c_str(), 0755), 0) << p;
        return p;
    }

    // Mode 1 fanotify, console log, the given paths.
    static nx::LinuxTarselConfig watching(const std::vector<std::string>& included,
                                          const std::vector<std::string>& excluded = {},
                                          nx::LogLevel level = nx::LOG_LEVEL_DEBUG)
    {
        nx::LinuxTarselConfig config;
        config.set_log_level(level);
        config.set_mode(nx::LTM_FANOTIFY);
        config.mutable_actual_log()->set_type(nx::Log::STDERR);
        for (const std::string& p : included)
            config.mutable_included_path()->add_path(p);
        for (const std::string& p : excluded)
            config.mutable_excluded_path()->add_path(p);
        return config;
    }
    nx::LinuxTarselConfig watching_root(nx::LogLevel level = nx::LOG_LEVEL_DEBUG) const
    {
        return watching({root}, {}, level);
    }

    // Starts a peer Kestrum (unless one runs) and the daemon, which gets
    // the configuration and Kestrum's path.
    void start(const nx::LinuxTarselConfig& config, const std::string& kestrum_path = std::string())
    {
        if (!kestrum)
            kestrum.reset(new nt::kestrum_peer_t);
        ostrand.reset(new nt::ostrand_peer_t(daemon_path));
        ostrand->answer_context(config, revision);
        ostrand->answer_kestrum(kestrum_path.empty() ? kestrum->path() : kestrum_path);
    }

    // Waits for the condition while the peer Ostrand goes on answering.
    bool until(const std::function<bool()>& condition, ms timeout = patience)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (condition())
                return true;
            if (std::chrono::steady_clock::now() >= deadline || ostrand->process().status())
                return condition();
            ostrand->pump(ms(5));
        }
    }

    bool wait_for_line(const std::string& text, std::size_t occurrences = 1)
    {
        return ostrand->wait_for_stderr(text, patience, occurrences);
    }

    // The ready line with fanotify running.
    static std::string ready_line()
    {
        return line("Notice", std::string(TS_TEXT_OSTRAND_READY_PREFIX) + NT_VERSION_TEXT +
                                  TS_TEXT_OSTRAND_READY_SUFFIX + TS_TEXT_OSTRAND_READY_MODE_FANOTIFY);
    }

    bool wait_ready() { return wait_for_line(ready_line()); }

    // The daemon monitors from the moment it asks for Kestrum's address.
    bool wait_monitoring()
    {
        return until([&] { return ostrand_count(to_ostrand_t::GET_KESTRUM_REQUEST) >= 1; });
    }

    // Opens and reads the files with /bin/cat, a process of its own, and
    // waits for it to end.
    void cat(const std::vector<std::string>& paths)
    {
        nt::child_options_t options;
        options.argv = {"/bin/cat"};
        options.argv.insert(options.argv.end(), paths.begin(), paths.end());
        options.stdout_path = "/dev/null";
        nt::child_process_t reader(options);
        EXPECT_EQ(reader.wait_exit(patience), 0) << "cat " << nt::escape_bytes(paths.front());
    }

    bool wait_for_path(const std::string& p)
    {
        return until([&] { return kestrum->has_path(p); });
    }

    std::size_t ostrand_count(to_ostrand_t::MessageTag tag) { return ostrand->count(tag); }

    std::vector<to_ostrand_t> ostrand_messages(to_ostrand_t::MessageTag tag)
    {
        std::vector<to_ostrand_t> out;
        for (const nt::ostrand_frame_t& f : ostrand->frames())
            if (f.message.tag() == tag)
                out.push_back(f.message);
        return out;
    }

    std::string stderr_text() const { return ostrand->stderr_text(); }
    std::size_t stderr_count(const std::string& text) const { return ostrand->process().stderr_count(text); }

    static constexpr std::uint32_t revision = 7;

    // Destroyed in reverse: the daemon first, then Kestrum, then the files.
    std::unique_ptr<nt::temp_dir_t> dir;
    std::string root;
    std::unique_ptr<nt::kestrum_peer_t> kestrum;
    std::unique_ptr<nt::ostrand_peer_t> ostrand;
};

} // namespace nt_system_test
