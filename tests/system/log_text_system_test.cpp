// What the daemon's log lines carry from outside: a file name with control
// bytes is written escaped in every sink, so it can never start a line of
// its own; a flood of one per-event Warning is cut at its limit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log/log_limiter.hpp"
#include "log/log_texts.hpp"
#include "monitor/monitor_texts.hpp"
#include "support/child_process.hpp"
#include "support/fake_syslog.hpp"
#include "support/temp_dir.hpp"
#include "system/system_fixture.hpp"

using nt_sys::long_wait;

namespace {

enum text_sink_t { CONSOLE, STAMPED, FILE_SINK, SYSLOG_SINK };

struct text_case_t
{
    const char* name;
    text_sink_t sink;
};

std::ostream& operator<<(std::ostream& os, const text_case_t& c)
{
    return os << c.name;
}

// File names and how a log line shows them.
const std::pair<std::string, std::string> names[] = {
    {"x\nNotice: LinuxTarsel 9.0.0.0.1403121422: Ready for service",
     "x\\012Notice: LinuxTarsel 9.0.0.0.1403121422: Ready for service"},
    {"y\nNotice: Exit with status 0 (Success)", "y\\012Notice: Exit with status 0 (Success)"},
    {"carriage\rreturn", "carriage\\015return"},
    {"escape\x1b[2Jcode", "escape\\033[2Jcode"},
    {"delete\x7f", "delete\\177"},
    {"back\\slash\\012", "back\\134slash\\134012"},
    {"caf\xc3\xa9-\xff", "caf\xc3\xa9-\xff"},
};

class log_text_system_test : public nt_sys::system_test, public ::testing::WithParamInterface<text_case_t>
{
protected:
    // Starts the daemon at Debug with the sink of the case.
    void start_with_sink()
    {
        nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
        nt::ostrand_options_t options;
        options.daemon = nt_sys::daemon_path;
        if (GetParam().sink == STAMPED)
            config.mutable_actual_log()->set_show_timestamp(true);
        if (GetParam().sink == FILE_SINK)
            config = nt_sys::file_config(watched, dir.file("daemon.log"));
        if (GetParam().sink == SYSLOG_SINK) {
            syslog.reset(new nt::fake_syslog_t(dir.file("log.sock")));
            options.daemon =
                nt::write_isolation_script(dir.file("isolated.sh"), dir.file("log.sock"), nt_sys::daemon_path);
            config.mutable_actual_log()->set_type(nx::Log::SYSLOG);
        }
        start(options);
        first_context(config, 3);
    }

    // Opens the file, seen by the daemon: a daemon in a mount namespace of
    // its own sees only accesses made there.
    void access(const std::string& path)
    {
        if (!syslog) {
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0) << path;
            ::close(fd);
            return;
        }
        nt::child_options_t options;
        options.argv = {"/usr/bin/nsenter", "--mount", "--target", std::to_string(ostrand->pid()), "/bin/sh", "-c",
                        ": < \"$1\"",       "sh",      path};
        options.stdout_path = dir.file("access.out");
        options.stderr_path = dir.file("access.err");
        nt::child_process_t shell(options);
        ASSERT_EQ(shell.wait_exit(long_wait), 0) << nt::read_file(dir.file("access.err"));
    }

    // The lines of the sink: the logger's messages less their header.
    std::vector<std::string> lines() const
    {
        if (syslog) {
            std::vector<std::string> texts;
            for (const std::string& m : syslog->messages()) {
                const std::size_t at = m.find("]: ");
                texts.push_back(at == std::string::npos ? m : m.substr(at + 3));
            }
            return texts;
        }
        if (GetParam().sink == FILE_SINK)
            return nt_sys::lines_of(nt::read_file(dir.file("daemon.log")));
        return ostrand->stderr_lines();
    }

    // Waits until `occurrences` lines end with the text.
    bool wait_for_ending(const std::string& text, std::size_t occurrences = 1)
    {
        return nt_sys::wait_until(
            [&] {
                std::size_t n = 0;
                for (const std::string& line : lines())
                    n += line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0;
                return n >= occurrences;
            },
            long_wait, [&](std::chrono::milliseconds slice) { ostrand->pump(slice); });
    }

    std::unique_ptr<nt::fake_syslog_t> syslog;
};

} // namespace

TEST_P(log_text_system_test, file_names_are_escaped_in_the_access_line)
{
    if (GetParam().sink == SYSLOG_SINK && !nt::isolation_available(dir.path()))
        GTEST_SKIP() << "no private mount namespace here: the test would log to the system's syslog";
    for (const auto& name : names)
        nt::write_file(watched + "/" + name.first, "");
    start_with_sink();
    for (const auto& name : names) {
        access(watched + "/" + name.first);
        EXPECT_TRUE(wait_for_ending(" Access on: " + watched + "/" + name.second)) << name.second;
    }
    EXPECT_EQ(terminate(), 107);
    // No name started a line of its own (the forged lines would begin with
    // their level word), and no control byte is left.
    for (const std::string& line : lines()) {
        EXPECT_NE(line.rfind("Notice: LinuxTarsel", 0), 0u) << line;
        EXPECT_NE(line.rfind("Notice: Exit with status 0", 0), 0u) << line;
        for (const char c : line)
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << line;
    }
}

// The limit is taken before a sink sees the line, so one sink shows it.
class log_flood_system_test : public log_text_system_test
{};

// Accesses of files whose paths are longer than /proc can name: every
// event is a Warning of its own, written at most LOG_EVENT_BURST times an
// interval; the first after the interval comes with the number held back.
TEST_P(log_flood_system_test, a_flood_of_one_warning_is_cut_at_the_limit)
{
    // Some 5000 bytes of directories below the watched one.
    int deep = ::open(watched.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(deep, 0);
    const std::string part(250, 'd');
    for (int level = 0; level < 20; ++level) {
        ASSERT_EQ(::mkdirat(deep, part.c_str(), 0755), 0);
        int next = ::openat(deep, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(deep);
        ASSERT_GE(next, 0);
        deep = next;
    }
    const int files = 100;
    for (int i = 0; i < files; ++i) {
        int fd = ::openat(deep, std::to_string(i).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    start_with_sink();
    auto flood = [&] {
        for (int i = 0; i < files; ++i) {
            int fd = ::openat(deep, std::to_string(i).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
    };
    const std::string warning = TS_TEXT_FANOTIFY_READLINK_FAILED;
    flood();
    ASSERT_TRUE(nt_sys::wait_until([&] { return nt_sys::count_containing(lines(), warning) >= LOG_EVENT_BURST; },
                                   long_wait, [&](std::chrono::milliseconds slice) { ostrand->pump(slice); }));
    // Once the interval is over, the next one brings the count.
    ostrand->pump(std::chrono::duration_cast<std::chrono::milliseconds>(LOG_EVENT_INTERVAL) +
                  std::chrono::milliseconds(500));
    EXPECT_EQ(nt_sys::count_containing(lines(), warning), LOG_EVENT_BURST);
    flood();
    const std::string report = std::string(CF_TEXT_SUPPRESSED_INFIX) + warning;
    // The report and the warning that brings it are two lines, and the
    // second may still be on its way when the first has been read.
    std::vector<std::string> all;
    std::size_t at = 0;
    const auto report_and_next = [&] {
        all = lines();
        at = 0;
        while (at < all.size() && all[at].find(report) == std::string::npos)
            ++at;
        return at + 1 < all.size();
    };
    ASSERT_TRUE(nt_sys::wait_until(report_and_next, long_wait, [&](std::chrono::milliseconds slice) {
        ostrand->pump(slice);
    })) << nt::read_file(dir.file("daemon.log"));
    ::close(deep);
    const std::size_t count_at =
        all[at].find(CF_TEXT_SUPPRESSED_PREFIX) + std::string(CF_TEXT_SUPPRESSED_PREFIX).size();
    // Each access is two events (open, close), each a failed readlink.
    EXPECT_GE(std::stoul(all[at].substr(count_at)), static_cast<unsigned long>(files) - LOG_EVENT_BURST);
    EXPECT_NE(all[at + 1].find(warning), std::string::npos) << all[at + 1];
    EXPECT_EQ(terminate(), 107);
}

INSTANTIATE_TEST_SUITE_P(log_text_system_test, log_text_system_test,
                         ::testing::Values(text_case_t{"Console", CONSOLE}, text_case_t{"Stamped", STAMPED},
                                           text_case_t{"File", FILE_SINK}, text_case_t{"Syslog", SYSLOG_SINK}),
                         [](const ::testing::TestParamInfo<text_case_t>& info) {
                             return std::string(info.param.name);
                         });
INSTANTIATE_TEST_SUITE_P(log_flood_system_test, log_flood_system_test,
                         ::testing::Values(text_case_t{"Console", CONSOLE}),
                         [](const ::testing::TestParamInfo<text_case_t>& info) {
                             return std::string(info.param.name);
                         });
