// The kernel-module mode with a stand-in modprobe first on the search path:
// one that never ends, one that leaves a process holding its output, one
// that exits and leaves such a process. The daemon never waits on them for
// a termination signal, nor on what they leave behind.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "linux_tarsel_config.pb.h"
#include "system/system_fixture.hpp"

using nt_sys::console_exit_line;
using nt_sys::long_wait;
using nt_sys::to_ostrand_t;

namespace {

// Whether the process runs: it exists and is no zombie (one left behind may
// wait for a parent that never reaps it).
bool running(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line) || line.rfind(") ") == std::string::npos)
        return false;
    return line[line.rfind(") ") + 2] != 'Z';
}

// Two seconds from the signal to the daemon's end, as Ostrand expects.
const std::chrono::milliseconds termination_limit(2000);

struct stand_in_t
{
    const char* name;
    // The script's body, after it has written its pid to modprobe.pid.
    std::string body;
    int signal;
};

class modprobe_system_test : public nt_sys::system_test
{
protected:
    void TearDown() override
    {
        for (const char* name : {"modprobe.pid", "left.pid"})
            if (pid_t pid = written_pid(name))
                ::kill(pid, SIGKILL);
    }

    // The stand-in, in a directory of its own that comes first on PATH.
    std::vector<std::string> stand_in(const std::string& body)
    {
        const std::string bin = dir.file("bin");
        ::mkdir(bin.c_str(), 0755);
        const std::string path = bin + "/modprobe";
        std::ofstream(path) << "#!/bin/sh\necho $$ > " << dir.file("modprobe.pid") << ".new\nmv "
                            << dir.file("modprobe.pid") << ".new " << dir.file("modprobe.pid") << "\n"
                            << body << "\n";
        ::chmod(path.c_str(), 0755);
        const char* inherited = std::getenv("PATH");
        return {"PATH=" + bin + ":" + (inherited ? inherited : "/usr/bin:/bin")};
    }

    pid_t written_pid(const std::string& name)
    {
        std::ifstream in(dir.file(name));
        pid_t pid = 0;
        in >> pid;
        return pid;
    }

    // The daemon in the kernel-module mode, its first context answered,
    // until the stand-in runs.
    void start_in_module_mode(const std::vector<std::string>& env)
    {
        nt::ostrand_options_t options;
        options.daemon = nt_sys::daemon_path;
        options.env = env;
        start(options);
        nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
        config.set_mode(nx::LTM_LKM);
        ostrand->answer_context(config, 3);
        ostrand->push_context(config, 3);
        ASSERT_TRUE(ostrand->wait_for_tag(to_ostrand_t::MY_INFO_NOTIFICATION, long_wait)) << stderr_for_messages();
        ASSERT_TRUE(nt_sys::wait_until([this] { return written_pid("modprobe.pid") != 0; }))
            << "the stand-in does not run; standard error:\n"
            << stderr_for_messages();
    }
};

} // namespace

TEST_F(modprobe_system_test, a_termination_signal_while_modprobe_runs_ends_the_daemon_with_107_at_once)
{
    // Each far longer than the test: only the signal can end the run. The
    // first outlasts the bound on modprobe too.
    const std::vector<stand_in_t> cases = {
        {"sleeps", "exec sleep 60", SIGTERM},
        {"leaves a process holding its output, then sleeps",
         "sleep 60 & echo $! > " + dir.file("left.pid") + "; exec sleep 60", SIGTERM},
        {"sleeps with its output closed", "exec sleep 60 >/dev/null 2>&1", SIGINT},
    };
    for (const stand_in_t& c : cases) {
        for (const char* name : {"modprobe.pid", "left.pid"})
            std::remove(dir.file(name).c_str());
        start_in_module_mode(stand_in(c.body));
        if (HasFatalFailure())
            return;
        const pid_t modprobe = written_pid("modprobe.pid");
        ASSERT_TRUE(ostrand->signal(c.signal)) << c.name;
        const auto sent = std::chrono::steady_clock::now();
        const std::optional<int> status = ostrand->wait_exit(termination_limit);
        std::cout
            << c.name << ": ended "
            << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count()
            << " ms after the signal" << std::endl;
        ASSERT_TRUE(status) << c.name << ": not ended within 2 s; standard error:\n" << stderr_for_messages();
        EXPECT_EQ(*status, 107) << c.name << "\n" << stderr_for_messages();
        const std::vector<std::string> lines = lines_without_warnings();
        ASSERT_GE(lines.size(), 2u) << c.name;
        EXPECT_EQ(lines[lines.size() - 2], "Error: modprobe abandoned: termination signal received") << c.name;
        EXPECT_EQ(lines.back(), console_exit_line(107, "Process terminated by signal")) << c.name;
        // Stopped, not left running.
        EXPECT_FALSE(running(modprobe)) << c.name;
    }
}

TEST_F(modprobe_system_test, a_modprobe_that_exits_is_not_waited_for_beyond_its_end)
{
    // It leaves a process holding its output for a minute; the daemon takes
    // its end as the end of its output and goes on: no module on this
    // machine, so the mode fails as a failed module does.
    start_in_module_mode(stand_in("echo loading; sleep 60 & echo $! > " + dir.file("left.pid") + "; exit 0"));
    if (HasFatalFailure())
        return;
    // Well before the bound on modprobe's run (20 s), which would end the
    // wait as well.
    const std::optional<int> status = ostrand->wait_exit(std::chrono::seconds(10));
    ASSERT_TRUE(status) << "still waiting; standard error:\n" << stderr_for_messages();
    EXPECT_EQ(*status, 102) << stderr_for_messages();
    // The daemon ended while the process was still holding the pipe.
    EXPECT_TRUE(running(written_pid("left.pid")));
    const std::vector<std::string> lines = lines_without_warnings();
    EXPECT_EQ(nt_sys::count_equal(lines, "Debug: modprobe: loading"), 1u) << stderr_for_messages();
    EXPECT_EQ(nt_sys::count_equal(lines, "Debug: LKM has been loaded"), 1u) << stderr_for_messages();
    EXPECT_EQ(nt_sys::count_equal(lines, "Error: Couldn't init LKM interceptor"), 1u) << stderr_for_messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), console_exit_line(102, "Invalid configuration"));
}
