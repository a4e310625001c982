// The daemon binary under the peer Ostrand: what it sends on the
// inherited socket and when, how it reacts to signals, and how each way of
// ending it becomes its exit status.
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "links/links_texts.hpp"
#include "peers/bytes.hpp"
#include "peers/frame_io.hpp"
#include "support/fake_syslog.hpp"
#include "system/system_fixture.hpp"

using nt::to_hex;
using nt_sys::console_exit_line;
using nt_sys::long_wait;
using nt_sys::to_ostrand_t;

namespace {

// MY_INFO_NOTIFICATION on the wire: tag 2, config_revision, info { state }.
std::string info_bytes(unsigned revision, unsigned state)
{
    return to_hex(nt::hex_bytes("08 02 10") + static_cast<char>(revision) + nt::hex_bytes("22 02 08") +
                  static_cast<char>(state));
}

const unsigned loading = 0;
const unsigned fanotify = 1;

const std::string sighup_line = std::string("Notice: ") + TS_TEXT_SIGHUP_ARRIVED;
const std::string termination_line = std::string("Notice: ") + TS_TEXT_TERMINATION_RECEIVED;

class managed_daemon_test : public nt_sys::system_test
{
protected:
    // Lines on standard error in console form, from Notice up: only what the
    // test provokes shows.
    nx::LinuxTarselConfig quiet_config() const
    {
        nx::LinuxTarselConfig config = nt_sys::stderr_config(watched);
        config.set_log_level(nx::LOG_LEVEL_NOTICE);
        return config;
    }

    std::vector<std::string> tags_received()
    {
        std::vector<std::string> tags;
        for (const nt::ostrand_frame_t& frame : ostrand->frames())
            tags.push_back(to_ostrand_t::MessageTag_Name(frame.message.tag()));
        return tags;
    }

    // A GET_CONTEXT_RESPONSE body carrying the configuration and revision.
    std::string context_body(const nx::LinuxTarselConfig& config, unsigned revision) const
    {
        nx::Ostrand2LinuxTarselMessage message;
        message.set_tag(nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
        message.set_config_revision(revision);
        *message.mutable_config() = config;
        return message.SerializeAsString();
    }

    // After the first context: a later one, given as a body, is handled
    // whole (two notifications with its revision, the ready line).
    void expect_later_context(const std::string& body, unsigned revision, std::size_t ready_lines)
    {
        ASSERT_TRUE(ostrand->send_frame(body));
        std::vector<nt::ostrand_frame_t> infos = later_context_notifications();
        ASSERT_EQ(infos.size(), 2u);
        EXPECT_EQ(to_hex(infos[0].raw), info_bytes(revision, fanotify));
        EXPECT_EQ(to_hex(infos[1].raw), info_bytes(revision, fanotify));
        EXPECT_TRUE(ostrand->wait_for_stderr(nt_sys::ready_line, long_wait, ready_lines)) << stderr_for_messages();
    }

    // The daemon's last two lines on standard error: the reason and the exit line.
    void expect_ending(const std::string& reason, const std::string& exit_line)
    {
        std::vector<std::string> lines = lines_without_warnings();
        ASSERT_GE(lines.size(), 2u) << stderr_for_messages();
        EXPECT_EQ(lines[lines.size() - 2], reason) << stderr_for_messages();
        EXPECT_EQ(lines.back(), exit_line);
    }
};

} // namespace

// Start-up: the request is the first frame; the first context is reported
// as loading (the interceptor starts after the report) and followed by the
// request for Kestrum's address, and nothing else.
TEST_F(managed_daemon_test, first_context_is_reported_as_loading_then_kestrum_is_asked_for)
{
    start();
    ASSERT_FALSE(ostrand->frames().empty());
    EXPECT_EQ(to_hex(ostrand->frames()[0].raw), "08 01");
    EXPECT_TRUE(ostrand->frames()[0].complete);

    nt::ostrand_frame_t info = first_context(quiet_config(), 5);
    EXPECT_EQ(to_hex(info.raw), info_bytes(5, loading));
    EXPECT_TRUE(info.complete);
    ASSERT_EQ(ostrand->frames().size(), 3u);
    EXPECT_EQ(to_hex(ostrand->frames()[2].raw), "08 03");
    EXPECT_EQ(tags_received(),
              (std::vector<std::string>{"GET_CONTEXT_REQUEST", "MY_INFO_NOTIFICATION", "GET_KESTRUM_REQUEST"}));

    // Without Kestrum's address the flow never opens: no ready line yet.
    EXPECT_EQ(terminate(), 107);
    EXPECT_EQ(lines_without_warnings(),
              (std::vector<std::string>{termination_line, console_exit_line(107, "Process terminated by signal")}));
    EXPECT_EQ(tags_received().size(), 3u);
}

// Each SIGHUP: one Notice line and one request; each answer: two reports
// (the interceptor before and after reconfiguring) and one ready line.
// Kestrum is asked for only once.
TEST_F(managed_daemon_test, every_sighup_asks_again_and_every_answer_reports_twice_and_is_ready)
{
    start();
    first_context(quiet_config(), 5);
    for (unsigned round = 1; round <= 2; ++round) {
        ostrand->answer_context(quiet_config(), 5 + round);
        hangup();
        std::vector<nt::ostrand_frame_t> infos = later_context_notifications();
        ASSERT_EQ(infos.size(), 2u);
        EXPECT_EQ(to_hex(infos[0].raw), info_bytes(5 + round, fanotify));
        EXPECT_EQ(to_hex(infos[1].raw), info_bytes(5 + round, fanotify));
        ASSERT_TRUE(ostrand->wait_for_stderr(nt_sys::ready_line, long_wait, round)) << stderr_for_messages();
    }
    EXPECT_EQ(ostrand->count(to_ostrand_t::GET_CONTEXT_REQUEST), 3u);
    EXPECT_EQ(ostrand->count(to_ostrand_t::GET_KESTRUM_REQUEST), 1u);

    EXPECT_EQ(terminate(), 107);
    EXPECT_EQ(lines_without_warnings(),
              (std::vector<std::string>{sighup_line, nt_sys::ready_line, sighup_line, nt_sys::ready_line,
                                        termination_line, console_exit_line(107, "Process terminated by signal")}));
}

// A context pushed unasked, in the forms a peer may send it: without a tag,
// or with a tag that is no value of the enumeration, both read as
// GET_CONTEXT_RESPONSE. A body whose end does not parse is used as far as it
// was read, and its rest never runs into the next frame.
TEST_F(managed_daemon_test, later_contexts_in_every_form_are_handled_whole)
{
    start();
    first_context(quiet_config(), 5);
    // The tag is the first field: "08 01".
    const std::string untagged = context_body(quiet_config(), 6).substr(2);
    expect_later_context(untagged, 6, 1);
    expect_later_context(nt::hex_bytes("08 02") + context_body(quiet_config(), 7).substr(2), 7, 2);
    expect_later_context(context_body(quiet_config(), 8) + nt::hex_bytes("ff ff ff"), 8, 3);
    expect_later_context(context_body(quiet_config(), 9), 9, 4);
    EXPECT_EQ(terminate(), 107);
}

// The largest frame the daemon takes: a body of exactly 16 MiB, most of it
// a field the daemon does not know (skipped by the parser).
TEST_F(managed_daemon_test, a_frame_of_16_mib_is_taken)
{
    start();
    first_context(quiet_config(), 5);
    const std::size_t limit = 16u * 1024u * 1024u;
    std::string body = context_body(quiet_config(), 10);
    // Field 99, length-delimited ("9a 06"), with a 4-byte varint length.
    const std::size_t padding = limit - body.size() - 2 - 4;
    body += nt::hex_bytes("9a 06");
    for (std::size_t rest = padding; rest != 0; rest >>= 7)
        body += static_cast<char>((rest & 0x7f) | (rest >> 7 ? 0x80 : 0));
    body.append(padding, 'x');
    ASSERT_EQ(body.size(), limit);
    ASSERT_TRUE(nx::Ostrand2LinuxTarselMessage().ParseFromString(body));
    expect_later_context(body, 10, 1);
    expect_later_context(context_body(quiet_config(), 11), 11, 2);
    EXPECT_EQ(terminate(), 107);
}

// A header announcing more than 16 MiB is refused before anything is
// allocated for it, and ends the daemon as a failure of the link.
TEST_F(managed_daemon_test, a_frame_over_16_mib_ends_the_daemon_with_status_7)
{
    start();
    first_context(quiet_config(), 5);
    ASSERT_TRUE(ostrand->send_raw(nt::hex_bytes("01 00 00 01")));
    EXPECT_EQ(ostrand->wait_exit(long_wait), 7);
    expect_ending(std::string("Error: ") + TS_TEXT_CONTEXT_OSTRAND + ": Invalid IPC message size",
                  console_exit_line(7, "Invalid IPC message size"));
}

// Ostrand going away ends the daemon at once; end of stream maps to 125.
TEST_F(managed_daemon_test, ostrand_closing_its_end_ends_the_daemon)
{
    start();
    first_context(quiet_config(), 5);
    ostrand->close();
    EXPECT_EQ(ostrand->wait_exit(long_wait), 125);
    std::vector<std::string> lines = lines_without_warnings();
    ASSERT_EQ(lines.size(), 2u) << stderr_for_messages();
    EXPECT_EQ(lines[0].rfind(std::string("Error: ") + TS_TEXT_CONTEXT_OSTRAND + ": ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], console_exit_line(125, "Unexpected error"));
}

// Ostrand's socket half shut: the daemon's next write fails (EPIPE) while
// its read stays pending. A failed write ends the daemon like a failed read.
TEST_F(managed_daemon_test, a_failed_write_to_ostrand_ends_the_daemon)
{
    start();
    first_context(quiet_config(), 5);
    // The peer's end is the one stream socket this process holds.
    std::vector<int> sockets = nt_sys::own_stream_sockets();
    ASSERT_EQ(sockets.size(), 1u);
    ASSERT_EQ(::shutdown(sockets[0], SHUT_RD), 0);
    ASSERT_TRUE(ostrand->signal(SIGHUP));
    EXPECT_EQ(ostrand->wait_exit(long_wait), 125);
    expect_ending(std::string("Error: ") + TS_TEXT_CONTEXT_OSTRAND + ": Broken pipe",
                  console_exit_line(125, "Unexpected error"));
}

namespace {

struct kestrum_error_case_t
{
    int code;          // in the error of GET_KESTRUM_RESPONSE
    int status;        // the daemon's exit status
    std::string error; // the Error line's text
    std::string exit;  // the text of the exit status
};

std::ostream& operator<<(std::ostream& os, const kestrum_error_case_t& c)
{
    return os << "code " << c.code;
}

class kestrum_error_test : public managed_daemon_test, public ::testing::WithParamInterface<kestrum_error_case_t>
{};

} // namespace

// Ostrand's error for Kestrum's address ends the daemon with that code; a
// code that stands for success, or that is no value at all (read as 0),
// still ends it as a failure.
TEST_P(kestrum_error_test, ends_the_daemon_with_the_reported_code)
{
    start();
    ostrand->answer_kestrum_error(GetParam().code);
    first_context(quiet_config(), 5);
    EXPECT_EQ(ostrand->wait_exit(long_wait), GetParam().status);
    EXPECT_EQ(ostrand->kestrum_answers_sent(), 1u);
    std::vector<std::string> lines = lines_without_warnings();
    EXPECT_EQ(lines, (std::vector<std::string>{"Error: " + GetParam().error,
                                               console_exit_line(GetParam().status, GetParam().exit)}));
}

INSTANTIATE_TEST_SUITE_P(
    managed_daemon_test, kestrum_error_test,
    ::testing::Values(kestrum_error_case_t{119, 119, "Halvern is not available", "Halvern is not available"},
                      kestrum_error_case_t{23, 23, "No such file or directory", "No such file or directory"},
                      kestrum_error_case_t{0, 125, "Success", "Unexpected error"},
                      kestrum_error_case_t{12, 125, "Success", "Unexpected error"}));

namespace {

class termination_test : public managed_daemon_test, public ::testing::WithParamInterface<int>
{};

} // namespace

TEST_P(termination_test, ends_the_daemon_with_status_107)
{
    start();
    first_context(quiet_config(), 5);
    ASSERT_TRUE(ostrand->signal(GetParam()));
    EXPECT_EQ(ostrand->wait_exit(long_wait), 107);
    EXPECT_EQ(lines_without_warnings(),
              (std::vector<std::string>{termination_line, console_exit_line(107, "Process terminated by signal")}));
}

INSTANTIATE_TEST_SUITE_P(managed_daemon_test, termination_test, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return info.param == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

// Termination signals keep arriving while the daemon ends: it ends once,
// with its own status, never by a signal's default action.
TEST_F(managed_daemon_test, termination_signals_during_the_end_change_nothing)
{
    start();
    first_context(quiet_config(), 5);
    ASSERT_TRUE(ostrand->signal(SIGINT));
    // Until the daemon is gone, so that some arrive during its teardown.
    const auto deadline = std::chrono::steady_clock::now() + long_wait;
    for (int n = 0; !ostrand->process().wait_exit(std::chrono::milliseconds(2)); ++n) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the daemon does not end";
        ostrand->signal(n % 3 == 0 ? SIGHUP : SIGTERM);
    }
    EXPECT_EQ(ostrand->wait_exit(long_wait), 107);
    std::vector<std::string> lines = lines_without_warnings();
    EXPECT_EQ(nt_sys::count_equal(lines, termination_line), 1u) << stderr_for_messages();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), console_exit_line(107, "Process terminated by signal"));
}

// The signals belong to the main thread's event loop: every other thread
// (interceptor, mounts watcher) keeps them blocked.
TEST_F(managed_daemon_test, only_the_main_thread_takes_the_signals)
{
    start();
    first_context(quiet_config(), 5);
    const unsigned long long handled = (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
    std::vector<std::pair<pid_t, unsigned long long>> masks = nt_sys::blocked_signals(ostrand->pid());
    ASSERT_GE(masks.size(), 3u) << "the interceptor and the mounts watcher run on threads of their own";
    EXPECT_EQ(masks[0].first, ostrand->pid());
    EXPECT_EQ(masks[0].second & handled, 0u);
    for (std::size_t i = 1; i < masks.size(); ++i)
        EXPECT_EQ(masks[i].second & handled, handled) << "thread " << masks[i].first;
    EXPECT_EQ(terminate(), 107);
}

// Standard error closed under the daemon: its lines are lost, the daemon
// is not. It goes on and ends with its own status.
TEST_F(managed_daemon_test, a_closed_standard_error_does_not_end_the_daemon)
{
    const std::string fifo = dir.file("stderr.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    nt::ostrand_options_t options;
    options.daemon = nt_sys::daemon_path;
    options.stderr_path = fifo;
    stderr_is_file = false;
    start(options);
    ::close(reader); // every write to standard error now fails with EPIPE
    ostrand->answer_context(nt_sys::file_config(watched, dir.file("log")), 5);
    hangup(); // "SIGHUP has arrived" goes to the closed standard error
    ASSERT_TRUE(ostrand->wait_for_tag(to_ostrand_t::GET_KESTRUM_REQUEST, long_wait));
    EXPECT_EQ(terminate(), 107);
    EXPECT_EQ(nt::count_lines(dir.file("log"), nt_sys::exit_text(107, "Process terminated by signal")), 1u)
        << nt::read_file(dir.file("log"));
}

// A frame with an empty body is a context without configuration and
// without revision: the default configuration (whose log is syslog) is
// applied and reported with revision 0.
TEST_F(managed_daemon_test, an_empty_body_is_the_default_context_with_revision_0)
{
    if (!nt::isolation_available(dir.path()))
        GTEST_SKIP() << "no private mount namespace here: the default configuration would log to the system's syslog";
    nt::fake_syslog_t syslog(dir.file("log.sock"));
    nt::ostrand_options_t options;
    options.daemon = nt::write_isolation_script(dir.file("isolated.sh"), dir.file("log.sock"), nt_sys::daemon_path);
    start(options);
    ASSERT_TRUE(ostrand->send_frame(""));
    std::optional<nt::ostrand_frame_t> info = ostrand->wait_for_tag(to_ostrand_t::MY_INFO_NOTIFICATION, long_wait);
    ASSERT_TRUE(info) << stderr_for_messages();
    EXPECT_EQ(to_hex(info->raw), info_bytes(0, loading));
    EXPECT_TRUE(ostrand->wait_for_tag(to_ostrand_t::GET_KESTRUM_REQUEST, long_wait));
    EXPECT_TRUE(syslog.wait_for_ending("]: mode = Auto", long_wait));
    EXPECT_EQ(terminate(), 107);
    EXPECT_EQ(ostrand->stderr_text(), "");
}

// Started with its standard descriptors closed, the daemon must not let its
// own sockets take those numbers, where log lines would land in them.
TEST_F(managed_daemon_test, closed_standard_descriptors_are_reopened_on_dev_null)
{
    const std::string script = dir.path() + "/closed-std.sh";
    nt::write_file(script, "#!/bin/sh\nexec 0<&- 1>&- 2>&- " + nt_sys::daemon_path + " \"$@\"\n", 0755);
    nt::ostrand_options_t options;
    options.daemon = script;
    // Returns once the daemon's first frame has arrived: main has run.
    start(options);
    for (int fd = 0; fd <= 2; ++fd) {
        char target[256] = {0};
        const std::string link = "/proc/" + std::to_string(ostrand->pid()) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
        EXPECT_STREQ("/dev/null", target) << link;
    }
    ASSERT_TRUE(ostrand->signal(SIGTERM));
    EXPECT_EQ(ostrand->wait_exit(long_wait), 107);
}

namespace {

struct root_name_case_t
{
    const char* name;
    const char* path;
    bool included;
};

class root_name_test : public managed_daemon_test, public ::testing::WithParamInterface<root_name_case_t>
{};

} // namespace

// A root name alone ("//srv", "//") has no root directory: as a configured
// path, included or excluded, it ends the daemon like any relative path.
TEST_P(root_name_test, ends_the_daemon_with_status_20)
{
    start();
    nx::LinuxTarselConfig config = quiet_config();
    if (GetParam().included)
        config.mutable_included_path()->add_path(GetParam().path);
    else
        config.mutable_excluded_path()->add_path(GetParam().path);
    ASSERT_TRUE(ostrand->push_context(config, 5));
    EXPECT_EQ(ostrand->wait_exit(long_wait), 20);
    std::vector<std::string> lines = lines_without_warnings();
    ASSERT_EQ(lines.size(), 2u) << stderr_for_messages();
    EXPECT_EQ(lines[0].rfind("Error: ScanSet: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(GetParam().path), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], console_exit_line(20, "Path must be absolute"));
}

INSTANTIATE_TEST_SUITE_P(managed_daemon_test, root_name_test,
                         ::testing::Values(root_name_case_t{"IncludedRootName", "//srv", true},
                                           root_name_case_t{"ExcludedRootName", "//srv", false},
                                           root_name_case_t{"IncludedDoubleSeparator", "//", true},
                                           root_name_case_t{"ExcludedDoubleSeparator", "//", false}),
                         [](const ::testing::TestParamInfo<root_name_case_t>& info) {
                             return std::string(info.param.name);
                         });
