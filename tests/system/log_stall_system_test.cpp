// A log reader that stops reading must never hold up the daemon: standard
// error a pipe nobody reads (plain and time-stamped), a log file that is a
// FIFO nobody reads, a system logger whose socket is full. The daemon keeps
// answering, SIGTERM ends it promptly with 107, and once the reader goes
// on, the lines come in order, with a count of those dropped.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "log/log_texts.hpp"
#include "log/log_writer.hpp"
#include "support/fake_syslog.hpp"
#include "support/temp_dir.hpp"
#include "system/system_fixture.hpp"

using nt_sys::long_wait;

namespace {

enum sink_kind_t { STDERR_PLAIN, STDERR_STAMPED, FILE_FIFO, SYSLOG };

struct stall_case_t
{
    const char* name;
    sink_kind_t kind;
};

std::ostream& operator<<(std::ostream& os, const stall_case_t& c)
{
    return os << c.name;
}

// Contexts pushed per burst: each is dumped in 21 Debug lines, some 2 KiB
// of queued lines, so a burst is more than the log queue and a pipe hold
// together. Each waits for the daemon's report of the context, so when a
// burst ends the daemon has logged every line of it.
const int contexts_per_burst = 700;

// Generous: the daemon waits for its last lines for less than a second.
const std::chrono::milliseconds prompt_exit(5000);

class log_stall_system_test : public nt_sys::system_test, public ::testing::WithParamInterface<stall_case_t>
{
protected:
    ~log_stall_system_test() override
    {
        if (reader >= 0)
            ::close(reader);
    }

    // Contexts that differ in one excluded path, numbered from `first`:
    // their dumps show the order in which they were logged.
    void burst(int first)
    {
        for (int i = first; i < first + contexts_per_burst; ++i) {
            nx::LinuxTarselConfig numbered = config;
            char path[32];
            std::snprintf(path, sizeof path, "/nt-stall/%05d", i);
            numbered.mutable_excluded_path()->add_path(path);
            ASSERT_TRUE(ostrand->push_context(numbered, 10 + i));
            ASSERT_EQ(later_context_notifications().size(), 2u) << "context " << i;
        }
    }

    // A FIFO with a reader of ours that reads only when told, its buffer one
    // page.
    std::string make_fifo()
    {
        const std::string fifo = dir.file("log.fifo");
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(reader, 0);
        ::fcntl(reader, F_SETPIPE_SZ, 4096);
        return fifo;
    }

    // Reads what the FIFO holds (answering Ostrand meanwhile) until the
    // condition holds on the lines read so far, or the writer is gone.
    bool read_fifo_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = long_wait)
    {
        return nt_sys::wait_until(
            [&] {
                char buffer[65536];
                for (;;) {
                    const ssize_t n = ::read(reader, buffer, sizeof buffer);
                    at_end = at_end || n == 0;
                    if (n <= 0)
                        break;
                    captured.append(buffer, static_cast<std::size_t>(n));
                }
                return condition();
            },
            timeout, [&](std::chrono::milliseconds slice) { ostrand->pump(slice); });
    }

    // The lines the reader has taken, in order.
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
        return nt_sys::lines_of(captured);
    }

    std::size_t count_containing(const std::string& text) const { return nt_sys::count_containing(lines(), text); }

    // Reads until nothing more arrives for a moment: the writer has caught up.
    void settle()
    {
        if (syslog)
            syslog->resume();
        std::size_t count = 0;
        do {
            count = syslog ? syslog->messages().size() : captured.size();
            if (syslog)
                ostrand->pump(std::chrono::milliseconds(300));
            else
                read_fifo_until([] { return false; }, std::chrono::milliseconds(300));
        } while ((syslog ? syslog->messages().size() : captured.size()) != count);
    }

    // The daemon started with the sink, and its first configuration dump read.
    void start_and_read_the_dump()
    {
        start_with_sink();
        ASSERT_TRUE(resume_until([&] { return count_containing("max_compression_ratio = ") == 1; })) << captured;
    }

    // The reader stops while a burst of contexts and a SIGHUP fill the
    // queue; then it reads until the writer has caught up, and one more
    // SIGHUP follows.
    void stall_through_a_burst()
    {
        stall();
        burst(0);
        hangup();
        settle();
        hangup();
    }

    // The FIFO is simply not read meanwhile.
    void stall()
    {
        if (syslog)
            syslog->pause();
    }

    // The reader goes on until the condition holds on what it has read.
    bool resume_until(const std::function<bool()>& condition)
    {
        if (syslog) {
            syslog->resume();
            return nt_sys::wait_until(condition, long_wait,
                                      [&](std::chrono::milliseconds slice) { ostrand->pump(slice); });
        }
        return read_fifo_until(condition);
    }

    // Starts the daemon with the sink of the case at Debug, its reader
    // still reading; returns the configuration (later contexts get it too).
    void start_with_sink()
    {
        config = nt_sys::stderr_config(watched);
        nt::ostrand_options_t options;
        options.daemon = nt_sys::daemon_path;
        switch (GetParam().kind) {
        case STDERR_PLAIN:
        case STDERR_STAMPED:
            options.stderr_path = make_fifo();
            stderr_is_file = false;
            config.mutable_actual_log()->set_show_timestamp(GetParam().kind == STDERR_STAMPED);
            break;
        case FILE_FIFO: config = nt_sys::file_config(watched, make_fifo()); break;
        case SYSLOG:
            syslog.reset(new nt::fake_syslog_t(dir.file("log.sock")));
            options.daemon =
                nt::write_isolation_script(dir.file("isolated.sh"), dir.file("log.sock"), nt_sys::daemon_path);
            config.mutable_actual_log()->set_type(nx::Log::SYSLOG);
            config.mutable_actual_log()->set_ident("nt-stall");
            break;
        }
        start(options);
        // Standard error in the FIFO: its first lines are read as they come.
        if (reader >= 0)
            read_fifo_until([] { return true; }, std::chrono::milliseconds(1));
        ostrand->answer_context(config, 4);
        first_context(config, 3);
    }

    // The numbered contexts' dumps in the order pushed, each line once.
    void expect_contexts_in_order() const
    {
        const std::string mark = "excluded_path = /nt-stall/";
        int previous = -1;
        std::size_t seen = 0;
        for (const std::string& line : lines()) {
            const std::size_t at = line.find(mark);
            if (at == std::string::npos)
                continue;
            const int number = std::stoi(line.substr(at + mark.size()));
            EXPECT_LT(previous, number) << "out of order after " << seen << " contexts";
            previous = number;
            ++seen;
        }
        EXPECT_GT(seen, 0u);
    }

    // The counts of the lines that were dropped.
    std::vector<unsigned long long> dropped_counts() const
    {
        std::vector<unsigned long long> counts;
        const std::string suffix = CF_TEXT_DROPPED_SUFFIX;
        for (const std::string& line : lines()) {
            const std::size_t at = line.find(suffix);
            if (at == std::string::npos)
                continue;
            const std::size_t start = line.find_last_of(" :", at - 1);
            counts.push_back(std::stoull(line.substr(start + 1, at - start - 1)));
        }
        return counts;
    }

    // Everything the daemon wrote, once it has ended: the FIFO at its end,
    // the logger's socket emptied.
    void read_to_end()
    {
        if (syslog)
            settle();
        else
            EXPECT_TRUE(read_fifo_until([&] { return at_end; }));
    }

    nx::LinuxTarselConfig config;
    int reader = -1;
    bool at_end = false;
    std::string captured;
    std::unique_ptr<nt::fake_syslog_t> syslog;
};

} // namespace

TEST_P(log_stall_system_test, a_stalled_reader_never_holds_up_the_daemon)
{
    if (GetParam().kind == SYSLOG && !nt::isolation_available(dir.path()))
        GTEST_SKIP() << "no private mount namespace here: the test would log to the system's syslog";
    // The dump of the configuration: the last lines before the stall.
    ASSERT_NO_FATAL_FAILURE(start_and_read_the_dump());
    // The daemon goes on taking contexts and signals while their lines fill
    // the queue; once the reader goes on, the next line brings the count of
    // those dropped.
    stall_through_a_burst();
    ASSERT_TRUE(resume_until([&] {
        return count_containing(TS_TEXT_SIGHUP_ARRIVED) >= 1 && !dropped_counts().empty();
    })) << lines().size()
        << " lines read, " << count_containing(TS_TEXT_SIGHUP_ARRIVED) << " SIGHUP lines, " << dropped_counts().size()
        << " reports; last: " << (lines().empty() ? "" : lines().back());
    EXPECT_GT(dropped_counts()[0], 0u);

    // Stalled again, full again: SIGTERM still ends the daemon promptly.
    stall();
    burst(contexts_per_burst);
    const auto before = std::chrono::steady_clock::now();
    ostrand->signal(SIGTERM);
    EXPECT_EQ(ostrand->wait_exit(long_wait), 107);
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, prompt_exit) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    RecordProperty("exit_ms", std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

    // What the daemon wrote before it ended comes whole and in order.
    read_to_end();
    std::vector<std::string> all = lines();
    ASSERT_FALSE(all.empty());
    const pid_t pid = ostrand->pid();
    for (const std::string& line : all) {
        switch (GetParam().kind) {
        case STDERR_PLAIN:
            EXPECT_TRUE(line.rfind("Debug: ", 0) == 0 || line.rfind("Info: ", 0) == 0 ||
                        line.rfind("Notice: ", 0) == 0 || line.rfind("Warning: ", 0) == 0 ||
                        line.rfind("Error: ", 0) == 0)
                << line;
            break;
        case STDERR_STAMPED:
        case FILE_FIFO: EXPECT_TRUE(nt_sys::is_file_line(line, pid)) << line; break;
        case SYSLOG: break;
        }
    }
    expect_contexts_in_order();
    // The lines before the stall are all there: the first dump, whole.
    ASSERT_GE(all.size(), 21u);
    EXPECT_NE(all[0].find("log_level = Debug"), std::string::npos) << all[0];
}

// A SIGHUP that arrives while a line waits for the stalled reader: once the
// reader goes on, the lines logged later, up to the exit line, are there.
TEST_P(log_stall_system_test, a_signal_during_a_blocked_write_leaves_the_later_lines)
{
    if (GetParam().kind == SYSLOG && !nt::isolation_available(dir.path()))
        GTEST_SKIP() << "no private mount namespace here: the test would log to the system's syslog";
    ASSERT_NO_FATAL_FAILURE(start_and_read_the_dump());
    stall_through_a_burst();
    ASSERT_TRUE(resume_until([&] { return count_containing(TS_TEXT_SIGHUP_ARRIVED) >= 1; }));
    settle();
    EXPECT_EQ(terminate(), 107);
    read_to_end();
    const std::vector<std::string> all = lines();
    ASSERT_GE(all.size(), 2u);
    EXPECT_NE(all[all.size() - 2].find(TS_TEXT_TERMINATION_RECEIVED), std::string::npos) << all[all.size() - 2];
    EXPECT_NE(all.back().find(nt_sys::exit_text(107, "Process terminated by signal")), std::string::npos) << all.back();
}

INSTANTIATE_TEST_SUITE_P(log_stall_system_test, log_stall_system_test,
                         ::testing::Values(stall_case_t{"StderrPlain", STDERR_PLAIN},
                                           stall_case_t{"StderrStamped", STDERR_STAMPED},
                                           stall_case_t{"FileFifo", FILE_FIFO}, stall_case_t{"Syslog", SYSLOG}),
                         [](const ::testing::TestParamInfo<stall_case_t>& info) {
                             return std::string(info.param.name);
                         });
