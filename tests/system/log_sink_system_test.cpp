// The daemon's log output as a managed daemon produces it: the dump of the
// configuration, the configured threshold, and each sink (standard error,
// a log file, syslog) with the lines it writes, when it is replaced and what
// a log setting that cannot be used does.
#include <csignal>
#include <string>
#include <vector>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "log/log_texts.hpp"
#include "peers/bytes.hpp"
#include "support/child_process.hpp"
#include "support/fake_syslog.hpp"
#include "support/private_mounts.hpp"
#include "support/temp_dir.hpp"
#include "system/system_fixture.hpp"

using nt_sys::long_wait;
using nt_sys::to_ostrand_t;

namespace {

const std::string terminated = "Process terminated by signal";

bool has_prefix(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

class log_sink_system_test : public nt_sys::system_test
{
protected:
    log_sink_system_test()
        : log_path(dir.file("daemon.log"))
    {}

    // The file's lines without Warning lines (see lines_without_warnings).
    std::vector<std::string> log_lines(const std::string& path) const
    {
        return nt_sys::without_warnings(nt_sys::lines_of(nt::read_file(path)));
    }

    // Waits (answering meanwhile) until the file holds `occurrences` lines
    // containing the text.
    bool wait_for_log(const std::string& path, const std::string& text, std::size_t occurrences = 1)
    {
        return nt::wait_for_lines(path, text, long_wait, occurrences,
                                  [&](std::chrono::milliseconds slice) { ostrand->pump(slice); });
    }

    // The 21 dump lines in console form, from the first one on.
    std::vector<std::string> dump_in(const std::vector<std::string>& lines) const
    {
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (has_prefix(lines[i], "Debug: log_level = "))
                return std::vector<std::string>(lines.begin() + i, lines.begin() + std::min(lines.size(), i + 21));
        return {};
    }

    const std::string log_path;
};

} // namespace

// The dump of a configuration that sets only the sink, the mode and the
// watched directory: every shown field, absent ones with their defaults.
TEST_F(log_sink_system_test, near_empty_configuration_is_dumped_in_21_lines)
{
    start();
    first_context(nt_sys::stderr_config(watched), 3);
    EXPECT_EQ(terminate(), 107);
    std::vector<std::string> lines = lines_without_warnings();
    EXPECT_EQ(
        dump_in(lines),
        (std::vector<std::string>{
            "Debug: log_level = Debug",      "Debug: log = Syslog:Daemon",     "Debug: included_path = " + watched,
            "Debug: excluded_path = ",       "Debug: mode = Fanotify",         "Debug: excluded_proc = ",
            "Debug: on_known_virus = Cure",  "Debug: on_incurable = Cure",     "Debug: on_suspicious = Cure",
            "Debug: on_adware = Cure",       "Debug: on_dialers = Cure",       "Debug: on_jokes = Cure",
            "Debug: on_riskware = Cure",     "Debug: on_hacktools = Cure",     "Debug: scan_timeout = 0",
            "Debug: heuristic_analysis = 0", "Debug: packer_max_level = 0",    "Debug: archive_max_level = 0",
            "Debug: mail_max_level = 0",     "Debug: container_max_level = 0", "Debug: max_compression_ratio = 0"}))
        << stderr_for_messages();
    EXPECT_EQ(nt_sys::count_containing(lines, "Debug: log_level = "), 1u);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), nt_sys::console_exit_line(107, terminated));
}

namespace {

struct level_case_t
{
    const char* name;
    int log_level; // nx::LogLevel, or a number outside it
    bool debug;    // Debug lines (the dump) are written
    bool notice;   // Notice lines (SIGHUP, ready, termination, exit) are written
};

std::ostream& operator<<(std::ostream& os, const level_case_t& c)
{
    return os << c.name;
}

class level_test : public log_sink_system_test, public ::testing::WithParamInterface<level_case_t>
{};

} // namespace

// What each configured level lets through, over a SIGHUP, a later context
// and SIGTERM. SIGHUP asks for the context at every level.
TEST_P(level_test, lets_through_only_lines_at_or_above_it)
{
    nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
    std::string bytes = config.SerializeAsString();
    bytes += nt::hex_bytes("08") + static_cast<char>(GetParam().log_level);
    // A number outside the enumeration stays on the wire as it is.
    ASSERT_TRUE(config.ParseFromString(bytes));
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    hangup();
    ASSERT_EQ(later_context_notifications().size(), 2u);
    EXPECT_EQ(terminate(), 107);

    std::vector<std::string> lines = lines_without_warnings();
    // SIGHUP, ready, termination, exit.
    EXPECT_EQ(nt_sys::count_containing(lines, "Notice: "), GetParam().notice ? 4u : 0u) << stderr_for_messages();
    EXPECT_EQ(nt_sys::count_equal(lines, std::string("Notice: ") + TS_TEXT_SIGHUP_ARRIVED),
              GetParam().notice ? 1u : 0u);
    EXPECT_EQ(nt_sys::count_equal(lines, nt_sys::console_exit_line(107, terminated)), GetParam().notice ? 1u : 0u);
    EXPECT_EQ(nt_sys::count_containing(lines, "Debug: log_level = "), GetParam().debug ? 2u : 0u);
    if (!GetParam().debug) {
        EXPECT_EQ(nt_sys::count_containing(lines, "Debug: "), 0u) << stderr_for_messages();
    }
    if (!GetParam().notice) {
        EXPECT_EQ(lines, std::vector<std::string>()) << stderr_for_messages();
    }
}

INSTANTIATE_TEST_SUITE_P(log_sink_system_test, level_test,
                         ::testing::Values(level_case_t{"Debug", nx::LOG_LEVEL_DEBUG, true, true},
                                           level_case_t{"Info", nx::LOG_LEVEL_INFO, false, true},
                                           level_case_t{"Notice", nx::LOG_LEVEL_NOTICE, false, true},
                                           level_case_t{"Warning", nx::LOG_LEVEL_WARNING, false, false},
                                           level_case_t{"Error", nx::LOG_LEVEL_ERROR, false, false},
                                           // A number outside the enumeration is not stored by the parser: the
                                           // field reads as absent, which is Debug.
                                           level_case_t{"OutOfRangeReadsAsAbsent", 7, true, true}),
                         [](const ::testing::TestParamInfo<level_case_t>& info) {
                             return std::string(info.param.name);
                         });

// At the Error level a failure still gets its Error line, but no exit line.
TEST_F(log_sink_system_test, error_level_keeps_the_error_line_of_a_failure)
{
    nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
    config.set_log_level(nx::LOG_LEVEL_ERROR);
    start();
    first_context(config, 3);
    ostrand->close();
    EXPECT_EQ(ostrand->wait_exit(long_wait), 125);
    std::vector<std::string> lines = lines_without_warnings();
    ASSERT_EQ(lines.size(), 1u) << stderr_for_messages();
    EXPECT_TRUE(has_prefix(lines[0], "Error: Ostrand connection: ")) << lines[0];
}

// A log file: every line time-stamped with the daemon's pid and level, the
// lines appended to what the file held, nothing on standard error.
TEST_F(log_sink_system_test, log_file_lines_are_time_stamped_and_appended)
{
    nt::write_file(log_path, "an earlier line\n");
    nx::LinuxTarselConfig config = nt_sys::file_config(watched, log_path);
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    hangup();
    ASSERT_TRUE(wait_for_log(log_path, "Ready for service"));
    EXPECT_EQ(terminate(), 107);

    const pid_t pid = ostrand->pid();
    std::vector<std::string> lines = log_lines(log_path);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], "an earlier line");
    EXPECT_TRUE(nt_sys::is_file_line(lines[1], pid, "Debug", "log_level = Debug")) << lines[1];
    std::size_t sighup = 0, ready = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(nt_sys::is_file_line(lines[i], pid)) << lines[i];
        sighup += nt_sys::is_file_line(lines[i], pid, "Notice", TS_TEXT_SIGHUP_ARRIVED);
        ready += nt_sys::is_file_line(lines[i], pid, "Notice", nt_sys::ready_line.substr(8));
    }
    EXPECT_EQ(sighup, 1u);
    EXPECT_EQ(ready, 1u);
    EXPECT_TRUE(nt_sys::is_file_line(lines[lines.size() - 2], pid, "Notice", TS_TEXT_TERMINATION_RECEIVED));
    EXPECT_TRUE(nt_sys::is_file_line(lines.back(), pid, "Notice", nt_sys::exit_text(107, terminated)));
    EXPECT_EQ(ostrand->stderr_text(), "");
}

// Every context opens the log file anew at its path: a file renamed away
// gets the lines up to the new context, a new file at the path the rest.
TEST_F(log_sink_system_test, log_file_is_opened_anew_by_every_context)
{
    nx::LinuxTarselConfig config = nt_sys::file_config(watched, log_path);
    config.set_log_level(nx::LOG_LEVEL_NOTICE);
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    const std::string old_path = dir.file("daemon.log.1");
    ASSERT_EQ(std::rename(log_path.c_str(), old_path.c_str()), 0);
    hangup();
    ASSERT_TRUE(wait_for_log(log_path, "Ready for service"));
    EXPECT_EQ(terminate(), 107);

    const pid_t pid = ostrand->pid();
    std::vector<std::string> old_lines = log_lines(old_path);
    ASSERT_EQ(old_lines.size(), 1u) << nt::read_file(old_path);
    EXPECT_TRUE(nt_sys::is_file_line(old_lines[0], pid, "Notice", TS_TEXT_SIGHUP_ARRIVED)) << old_lines[0];
    std::vector<std::string> new_lines = log_lines(log_path);
    ASSERT_EQ(new_lines.size(), 3u) << nt::read_file(log_path);
    EXPECT_TRUE(nt_sys::is_file_line(new_lines[0], pid, "Notice", nt_sys::ready_line.substr(8))) << new_lines[0];
    EXPECT_TRUE(nt_sys::is_file_line(new_lines[1], pid, "Notice", TS_TEXT_TERMINATION_RECEIVED)) << new_lines[1];
    EXPECT_TRUE(nt_sys::is_file_line(new_lines[2], pid, "Notice", nt_sys::exit_text(107, terminated)));
}

// The log file is held once, whatever the number of contexts, with the
// flags it was opened with (append, write-only, close-on-exec), and no
// context leaves a descriptor behind.
TEST_F(log_sink_system_test, log_file_is_held_once_and_never_inherited)
{
    nx::LinuxTarselConfig config = nt_sys::file_config(watched, log_path);
    config.set_log_level(nx::LOG_LEVEL_NOTICE);
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    const pid_t pid = ostrand->pid();
    auto pump = [&](std::chrono::milliseconds slice) { ostrand->pump(slice); };
    // The baseline is taken once the daemon's own set is complete (the
    // mounts watcher's thread opens its descriptors when it first runs, which
    // may be after the first context), and compared by what each descriptor
    // is, leaving out the files fanotify lends with each event for a moment.
    ASSERT_TRUE(nt_sys::wait_for_settled_descriptors(pid, long_wait, pump));
    const std::vector<std::string> own = {log_path, "/proc/" + std::to_string(pid) + "/mounts"};
    const std::vector<std::string> baseline = nt_sys::held_descriptor_kinds(pid, own);
    for (int round = 1; round <= 4; ++round) {
        hangup();
        ASSERT_TRUE(wait_for_log(log_path, "Ready for service", round));
        ASSERT_TRUE(
            nt_sys::wait_until([&] { return nt_sys::descriptors_naming(pid, log_path).size() == 1; }, long_wait, pump))
            << "round " << round;
    }
    EXPECT_TRUE(
        nt_sys::wait_until([&] { return nt_sys::held_descriptor_kinds(pid, own) == baseline; }, long_wait, pump))
        << "after four more contexts:" << testing::PrintToString(nt_sys::held_descriptor_kinds(pid, own))
        << "\nafter the first: " << testing::PrintToString(baseline);

    std::vector<int> held = nt_sys::descriptors_naming(pid, log_path);
    ASSERT_EQ(held.size(), 1u);
    std::optional<unsigned long> flags = nt_sys::descriptor_flags(pid, held[0]);
    ASSERT_TRUE(flags);
    EXPECT_EQ(*flags & O_ACCMODE, static_cast<unsigned long>(O_WRONLY));
    EXPECT_NE(*flags & O_APPEND, 0u);
    EXPECT_NE(*flags & O_CLOEXEC, 0u) << std::oct << *flags;
    EXPECT_EQ(terminate(), 107);
}

namespace {

struct bad_path_case_t
{
    const char* name;
    std::string path; // relative to the private directory when it begins with '/'
    int status;
    std::string text;    // the text of the status
    const char* context; // of the Error line
};

std::ostream& operator<<(std::ostream& os, const bad_path_case_t& c)
{
    return os << c.name;
}

class bad_path_test : public log_sink_system_test, public ::testing::WithParamInterface<bad_path_case_t>
{
protected:
    std::string bad_path() const
    {
        nt::write_file(dir.file("plain"), "");
        return GetParam().path[0] == '/' ? dir.path() + GetParam().path : GetParam().path;
    }
};

} // namespace

// A log file that cannot be used ends the daemon with the status of the
// reason; the Error line and the exit line go to the sink in use before, at
// the threshold of the new configuration.
TEST_P(bad_path_test, ends_the_daemon_through_the_previous_sink)
{
    nx::LinuxTarselConfig config = nt_sys::file_config(watched, log_path);
    config.set_log_level(nx::LOG_LEVEL_ERROR);
    start();
    first_context(config, 3);
    nx::LinuxTarselConfig bad = nt_sys::file_config(watched, bad_path());
    bad.set_log_level(nx::LOG_LEVEL_NOTICE);
    ASSERT_TRUE(ostrand->push_context(bad, 4));
    EXPECT_EQ(ostrand->wait_exit(long_wait), GetParam().status);

    const pid_t pid = ostrand->pid();
    std::vector<std::string> lines = log_lines(log_path);
    ASSERT_EQ(lines.size(), 2u) << nt::read_file(log_path);
    const std::string error_start = std::string("] Error: ") + GetParam().context + ": ";
    EXPECT_NE(lines[0].find(error_start), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(bad_path()), std::string::npos) << lines[0];
    EXPECT_TRUE(nt_sys::is_file_line(lines[1], pid, "Notice", nt_sys::exit_text(GetParam().status, GetParam().text)))
        << lines[1];
    EXPECT_EQ(ostrand->stderr_text(), "");
    // The context was not applied: no report of it.
    EXPECT_EQ(ostrand->count(to_ostrand_t::MY_INFO_NOTIFICATION), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    log_sink_system_test, bad_path_test,
    ::testing::Values(bad_path_case_t{"Relative", "daemon.log", 20, "Path must be absolute", "log option"},
                      bad_path_case_t{"MissingDirectory", "/missing/daemon.log", 23, "No such file or directory",
                                      "open"},
                      bad_path_case_t{"UnderAFile", "/plain/daemon.log", 25, "Not a directrory", "open"}),
    [](const ::testing::TestParamInfo<bad_path_case_t>& info) { return std::string(info.param.name); });

// The first context with a bad log path: the previous sink is standard error.
TEST_F(log_sink_system_test, bad_first_log_path_ends_the_daemon_on_standard_error)
{
    start();
    nx::LinuxTarselConfig bad = nt_sys::file_config(watched, "relative.log");
    ASSERT_TRUE(ostrand->push_context(bad, 3));
    EXPECT_EQ(ostrand->wait_exit(long_wait), 20);
    std::vector<std::string> lines = ostrand->stderr_lines();
    ASSERT_EQ(lines.size(), 2u) << stderr_for_messages();
    EXPECT_TRUE(has_prefix(lines[0], "Error: log option: ")) << lines[0];
    EXPECT_NE(lines[0].find("relative.log"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], nt_sys::console_exit_line(20, "Path must be absolute"));
    EXPECT_EQ(ostrand->frames().size(), 1u); // the request only
}

// Standard error with time stamps: file lines on descriptor 2, which the
// next context's sink replaces without closing it.
TEST_F(log_sink_system_test, standard_error_with_time_stamps_gets_file_lines)
{
    nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
    config.set_log_level(nx::LOG_LEVEL_NOTICE);
    config.mutable_actual_log()->set_show_timestamp(true);
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    hangup();
    ASSERT_TRUE(ostrand->wait_for_stderr("Ready for service", long_wait));
    hangup();
    ASSERT_TRUE(ostrand->wait_for_stderr("Ready for service", long_wait, 2));
    EXPECT_EQ(terminate(), 107);

    const pid_t pid = ostrand->pid();
    std::vector<std::string> lines = lines_without_warnings();
    ASSERT_EQ(lines.size(), 6u) << stderr_for_messages();
    const std::string ready = nt_sys::ready_line.substr(8);
    const std::vector<std::string> texts = {TS_TEXT_SIGHUP_ARRIVED,       ready,
                                            TS_TEXT_SIGHUP_ARRIVED,       ready,
                                            TS_TEXT_TERMINATION_RECEIVED, nt_sys::exit_text(107, terminated)};
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_TRUE(nt_sys::is_file_line(lines[i], pid, "Notice", texts[i])) << lines[i];
}

// Syslog, seen through a /dev/log of our own: a context without
// configuration logs to facility DAEMON under the program's name with the
// pid; a later syslog setting with ident and facility replaces it, and its
// ident and facility stay in force.
TEST_F(log_sink_system_test, syslog_sinks_use_their_facility_and_ident)
{
    if (!nt::isolation_available(dir.path()))
        GTEST_SKIP() << "no private mount namespace here: the test would log to the system's syslog";
    nt::fake_syslog_t syslog(dir.file("log.sock"));
    nt::ostrand_options_t options;
    options.daemon = nt::write_isolation_script(dir.file("isolated.sh"), dir.file("log.sock"), nt_sys::daemon_path);
    start(options);
    const std::string pid = std::to_string(ostrand->pid());

    nx::Ostrand2LinuxTarselMessage no_config;
    no_config.set_tag(nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    no_config.set_config_revision(3);
    ASSERT_TRUE(ostrand->send(no_config));
    ASSERT_TRUE(ostrand->wait_for_tag(to_ostrand_t::GET_KESTRUM_REQUEST, long_wait));
    const std::string daemon_tag = " noxel-tarsel[" + pid + "]: ";
    ASSERT_TRUE(syslog.wait_for_ending(daemon_tag + "max_compression_ratio = 0", long_wait));

    nx::LinuxTarselConfig local7;
    local7.set_log_level(nx::LOG_LEVEL_NOTICE);
    local7.set_mode(nx::LTM_FANOTIFY);
    local7.mutable_included_path()->add_path(watched);
    local7.mutable_actual_log()->set_type(nx::Log::SYSLOG);
    local7.mutable_actual_log()->set_facility(nx::Log::LOCAL7);
    local7.mutable_actual_log()->set_ident("nt-probe");
    ostrand->answer_context(local7, 4);
    hangup();
    const std::string probe_tag = " nt-probe[" + pid + "]: ";
    ASSERT_TRUE(syslog.wait_for_ending(probe_tag + nt_sys::ready_line.substr(8), long_wait));
    EXPECT_EQ(terminate(), 107);
    ASSERT_TRUE(syslog.wait_for_ending(probe_tag + nt_sys::exit_text(107, terminated), long_wait));

    // Priorities: DAEMON (24) or LOCAL7 (184) plus the severity.
    std::vector<std::string> dump, after;
    bool replaced = false;
    for (const std::string& m : syslog.messages()) {
        replaced = replaced || m.find(probe_tag) != std::string::npos;
        (replaced ? after : dump).push_back(m);
    }
    ASSERT_GE(dump.size(), 22u);
    const char* const fields[] = {"log_level = Debug", "log = Syslog:Daemon", "included_path = "};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(has_prefix(dump[i], "<31>")) << dump[i];
        EXPECT_NE(dump[i].find(daemon_tag + fields[i]), std::string::npos) << dump[i];
    }
    // The SIGHUP line, still under the first sink, at Notice.
    std::size_t sighup = 0;
    for (const std::string& m : dump)
        sighup += m.find(daemon_tag + TS_TEXT_SIGHUP_ARRIVED) != std::string::npos && has_prefix(m, "<29>");
    EXPECT_EQ(sighup, 1u);
    ASSERT_EQ(after.size(), 3u);
    for (const std::string& m : after) {
        EXPECT_TRUE(has_prefix(m, "<189>")) << m;
        EXPECT_NE(m.find(probe_tag), std::string::npos) << m;
    }
    EXPECT_EQ(ostrand->stderr_text(), "");
}

// Syslog whose reader stops taking lines (a full socket at /dev/log), then
// a context that moves the log to a file: the file has its lines at once,
// while the old reader still stalls, and the exit line at the end; the old
// sink's lines are given up after their short time.
TEST_F(log_sink_system_test, a_stalled_syslog_never_holds_up_the_log_file_that_replaces_it)
{
    if (!nt::isolation_available(dir.path()))
        GTEST_SKIP() << "no private mount namespace here: the test would log to the system's syslog";
    nt::fake_syslog_t syslog(dir.file("log.sock"));
    nt::ostrand_options_t options;
    options.daemon = nt::write_isolation_script(dir.file("isolated.sh"), dir.file("log.sock"), nt_sys::daemon_path);
    start(options);
    nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
    config.mutable_actual_log()->set_type(nx::Log::SYSLOG);
    config.mutable_actual_log()->set_ident("nt-switch");
    first_context(config, 3);
    ASSERT_TRUE(syslog.wait_for_ending("max_compression_ratio = 0", long_wait));

    // The reader stops; contexts (21 dump lines each) fill its socket until
    // the daemon's syslog writes wait.
    syslog.pause();
    for (std::uint32_t revision = 4; revision < 4 + 100; ++revision) {
        ASSERT_TRUE(ostrand->push_context(config, revision));
        ASSERT_EQ(later_context_notifications().size(), 2u);
    }
    const std::size_t taken = syslog.messages().size();

    const nx::LinuxTarselConfig to_file = nt_sys::file_config(watched, log_path);
    ostrand->answer_context(to_file, 201);
    const auto switched = std::chrono::steady_clock::now();
    ASSERT_TRUE(ostrand->push_context(to_file, 200));
    ASSERT_TRUE(wait_for_log(log_path, "log_level = Debug"));
    const auto first_line =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - switched);
    RecordProperty("first_line_ms", std::to_string(first_line.count()));
    std::cout << "first line in the new log file " << first_line.count() << " ms after the switch\n";
    EXPECT_LT(first_line, std::chrono::milliseconds(500));
    // Later lines too, while the old reader still stalls.
    hangup();
    ASSERT_TRUE(wait_for_log(log_path, "Ready for service", 2));
    EXPECT_EQ(syslog.messages().size(), taken);

    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(terminate(), 107);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
    EXPECT_LT(took, std::chrono::milliseconds(5000)) << took.count() << " ms";
    RecordProperty("exit_ms", std::to_string(took.count()));
    std::cout << "SIGTERM to exit " << took.count() << " ms\n";
    const pid_t pid = ostrand->pid();
    const std::vector<std::string> lines = nt_sys::lines_of(nt::read_file(log_path));
    ASSERT_GE(lines.size(), 3u);
    for (const std::string& line : lines)
        EXPECT_TRUE(nt_sys::is_file_line(line, pid)) << line;
    EXPECT_TRUE(nt_sys::is_file_line(lines[lines.size() - 2], pid, "Notice", TS_TEXT_TERMINATION_RECEIVED))
        << lines[lines.size() - 2];
    EXPECT_TRUE(nt_sys::is_file_line(lines.back(), pid, "Notice", nt_sys::exit_text(107, terminated))) << lines.back();
}

// A Debug log file on a tmpfs of 64 KiB that fills and, once a file beside
// it is removed, has room again: the line the full disk cut short is ended
// before the next one, so every line of the file is one line of the daemon
// (or the start of one, followed by the count of the lines lost).
TEST_F(log_sink_system_test, a_log_file_on_a_disk_that_fills_and_frees_keeps_its_lines_apart)
{
    ASSERT_TRUE(nt::enter_private_mounts()) << strerror(errno);
    const std::string tiny = dir.file("tiny");
    ASSERT_EQ(::mkdir(tiny.c_str(), 0755), 0);
    ASSERT_EQ(::mount("nt-tiny", tiny.c_str(), "tmpfs", 0, "size=64k,mode=0755"), 0) << strerror(errno);
    const std::string filler = tiny + "/filler";
    nt::write_file(filler, std::string(32 * 1024, 'f'));
    const std::string path = tiny + "/daemon.log";
    nx::LinuxTarselConfig config = nt_sys::file_config(watched, path);
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    // Each context writes some 2 KiB, and every one opens the file anew:
    // the disk fills half-way through.
    for (int round = 0; round < 30; ++round) {
        hangup();
        ASSERT_EQ(later_context_notifications().size(), 2u);
    }
    ASSERT_EQ(::unlink(filler.c_str()), 0);
    hangup();
    ASSERT_TRUE(wait_for_log(path, "Ready for service"));
    EXPECT_EQ(terminate(), 107);
    const std::string content = nt::read_file(path);
    ::umount2(tiny.c_str(), MNT_DETACH);

    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n');
    const pid_t pid = ostrand->pid();
    const std::string tag = "[" + std::to_string(pid) + "] ";
    const std::vector<std::string> lines = nt_sys::lines_of(content);
    std::size_t cut = 0, reports = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        // Never two lines in one.
        EXPECT_EQ(line.find(tag), line.rfind(tag)) << line;
        reports += line.find(CF_TEXT_DROPPED_SUFFIX) != std::string::npos;
        if (nt_sys::is_file_line(line, pid) && line.find("Notice: LinuxTarsel") == std::string::npos)
            continue;
        if (nt_sys::is_file_line(line, pid, "Notice", nt_sys::ready_line.substr(8)))
            continue;
        // The start of a line the full disk cut short, ended by its own
        // newline: the count of the lines lost comes after it. Lines queued
        // before the count was made may come first.
        ++cut;
        bool reported = false;
        for (std::size_t j = i + 1; j < lines.size() && !reported; ++j)
            reported = lines[j].find(CF_TEXT_DROPPED_SUFFIX) != std::string::npos;
        EXPECT_TRUE(reported) << "no count of lost lines after: " << line;
    }
    EXPECT_GE(reports, 1u) << "the disk never filled: " << content.size() << " bytes";
    RecordProperty("cut_lines", std::to_string(cut));
    const std::size_t end = lines.size();
    ASSERT_GE(end, 2u);
    EXPECT_TRUE(nt_sys::is_file_line(lines[end - 1], pid, "Notice", nt_sys::exit_text(107, terminated)))
        << lines.back();
}

// The log names every accessed file: a new log file is never readable by
// others, even when the daemon's umask would let it be.
TEST_F(log_sink_system_test, a_new_log_file_is_created_0640_under_umask_000)
{
    const mode_t mask = ::umask(0);
    start();
    ::umask(mask);
    first_context(nt_sys::file_config(watched, log_path), 3);
    struct stat st;
    ASSERT_EQ(::stat(log_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(terminate(), 107);
}

namespace {

// A place for links: a directory anyone may write (sticky, like /tmp),
// one only root may write, and a file of root's alone they could lead to.
class log_link_system_test : public log_sink_system_test
{
protected:
    void SetUp() override
    {
        log_sink_system_test::SetUp();
        // Others may pass through the private directory to the sticky one.
        ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(sticky.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(sticky.c_str(), 01777), 0);
        ASSERT_EQ(::mkdir(root_only.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(real.c_str(), 0755), 0);
        nt::write_file(secret, "root's own\n", 0600);
    }

    // The link made by `nobody` (uid 65534) in a child of its own.
    void plant_as_nobody(const std::string& to, const std::string& at)
    {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
                ::_exit(2);
            ::_exit(::symlink(to.c_str(), at.c_str()) == 0 ? 0 : 3);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        struct stat st;
        ASSERT_EQ(::lstat(at.c_str(), &st), 0);
        ASSERT_EQ(st.st_uid, 65534u);
    }

    const std::string sticky = dir.file("sticky");
    const std::string root_only = dir.file("root-only");
    const std::string real = dir.file("real");
    const std::string secret = real + "/secret";
};

} // namespace

// A link that `nobody` planted at the log path in a sticky folder: the
// daemon refuses it with an Error line and the status of a refused open,
// writes nothing through it and creates nothing where it leads.
TEST_F(log_link_system_test, a_link_planted_by_nobody_is_refused_and_its_target_untouched)
{
    const std::string planted = sticky + "/daemon.log";
    const std::string missing = real + "/created.log";
    for (const std::string& target : {secret, missing}) {
        SCOPED_TRACE(target);
        ::unlink(planted.c_str());
        ASSERT_NO_FATAL_FAILURE(plant_as_nobody(target, planted));
        nx::LinuxTarselConfig config = nt_sys::file_config(watched, log_path);
        config.set_log_level(nx::LOG_LEVEL_NOTICE);
        start();
        first_context(config, 3);
        ASSERT_TRUE(ostrand->push_context(nt_sys::file_config(watched, planted), 4));
        EXPECT_EQ(ostrand->wait_exit(long_wait), 24);

        const std::vector<std::string> lines = log_lines(log_path);
        ASSERT_GE(lines.size(), 2u) << nt::read_file(log_path);
        const std::string& error = lines[lines.size() - 2];
        EXPECT_NE(error.find(std::string("] Error: ") + CF_TEXT_CONTEXT_LOG_LINK_REFUSED), std::string::npos) << error;
        EXPECT_NE(error.find(planted), std::string::npos) << error;
        EXPECT_TRUE(
            nt_sys::is_file_line(lines.back(), ostrand->pid(), "Notice", nt_sys::exit_text(24, "Permission denied")))
            << lines.back();
        EXPECT_EQ(nt::read_file(secret), "root's own\n");
        struct stat st;
        ASSERT_EQ(::stat(secret.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_NE(::access(missing.c_str(), F_OK), 0);
        ::unlink(log_path.c_str());
    }
}

// A link only root could have made (root's, in a folder only root can
// write) is followed: the lines land where it leads.
TEST_F(log_link_system_test, a_root_owned_link_in_a_root_only_folder_is_followed)
{
    const std::string link = root_only + "/daemon.log";
    const std::string target = real + "/target.log";
    ASSERT_EQ(::symlink("../real/target.log", link.c_str()), 0);
    nx::LinuxTarselConfig config = nt_sys::file_config(watched, link);
    config.set_log_level(nx::LOG_LEVEL_NOTICE);
    start();
    ostrand->answer_context(config, 4);
    first_context(config, 3);
    hangup();
    ASSERT_TRUE(wait_for_log(target, "Ready for service"));
    EXPECT_EQ(terminate(), 107);
    const std::vector<std::string> lines = log_lines(target);
    ASSERT_GE(lines.size(), 2u) << nt::read_file(target);
    EXPECT_TRUE(nt_sys::is_file_line(lines.back(), ostrand->pid(), "Notice", nt_sys::exit_text(107, terminated)))
        << lines.back();
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ostrand->stderr_text(), "");
}
