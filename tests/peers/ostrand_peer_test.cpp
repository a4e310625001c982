// The peer Ostrand's own plumbing, with a shell script in the daemon's
// place: the socket the script inherits, what it does not inherit, the
// bytes of the answers, the exit status.
#include <csignal>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "peers/bytes.hpp"
#include "peers/fake_daemon.hpp"
#include "peers/ostrand_peer.hpp"
#include "support/temp_dir.hpp"

using nt::hex_bytes;
using nt::to_hex;

namespace {

class ostrand_peer_test : public ::testing::Test
{
protected:
    ostrand_peer_test()
        : daemon(nt_test::write_fake_daemon(dir))
    {}

    std::string out(const std::string& name) const { return nt::read_file(dir.file(name)); }
    std::string env_out() const { return "NT_OUT=" + dir.path(); }

    nt::temp_dir_t dir;
    const std::string daemon;
};

bool has_line(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& l : lines)
        if (l == text)
            return true;
    return false;
}

} // namespace

TEST_F(ostrand_peer_test, daemon_inherits_only_its_socket)
{
    int leak = ::open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(leak, 0);
    nt::ostrand_peer_t ostrand(daemon, {},
                               {env_out(), "NT_READ=1", std::string("NT_REQUEST1=") + nt_test::get_context_request,
                                "NT_LEAK=" + std::to_string(leak), "NT_EXTRA=seen", "NT_STATUS=107"});
    ::close(leak);
    nx::LinuxTarselConfig config;
    config.mutable_included_path()->add_path("/w");
    ostrand.answer_context(config, 5);

    std::optional<nt::ostrand_frame_t> request = ostrand.expect_frame();
    ASSERT_TRUE(request);
    EXPECT_EQ(to_hex(request->raw), "08 01");
    EXPECT_TRUE(request->complete);
    EXPECT_EQ(request->message.tag(), nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST);

    EXPECT_EQ(ostrand.wait_exit(), 107);
    EXPECT_EQ(ostrand.contexts_sent(), 1u);
    EXPECT_EQ(to_hex(out("header1")), "0c 00 00 00");
    EXPECT_EQ(to_hex(out("body1")), "08 01 10 05 22 06 52 04 0a 02 2f 77");

    std::vector<std::string> lines = ostrand.stderr_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("monitor=socket:[", 0), 0u) << lines[0];
    EXPECT_TRUE(has_line(lines, "extra=seen"));
    EXPECT_FALSE(has_line(lines, "leaked"));
    EXPECT_FALSE(ostrand.expect_frame(std::chrono::milliseconds(0)));
    EXPECT_TRUE(ostrand.daemon_closed());
}

TEST_F(ostrand_peer_test, monitor_option_can_be_left_out)
{
    nt::ostrand_options_t options;
    options.daemon = daemon;
    options.pass_monitor = false;
    options.args = {"--help"};
    nt::ostrand_peer_t ostrand(options);
    EXPECT_EQ(ostrand.wait_exit(), 5);
    EXPECT_TRUE(ostrand.wait_for_stderr("args: --help"));
}

TEST_F(ostrand_peer_test, closing_our_end_is_end_of_stream_for_the_daemon)
{
    // Had our own end leaked into the script, its read would never end.
    nt::ostrand_peer_t ostrand(daemon, {}, {"NT_THEN=wait-eof", "NT_STATUS=4"});
    ASSERT_TRUE(ostrand.wait_for_stderr("extra="));
    ostrand.close();
    EXPECT_EQ(ostrand.wait_exit(), 4);
    EXPECT_FALSE(ostrand.send_raw("x"));
}

TEST_F(ostrand_peer_test, signals_reach_the_daemon_and_its_status_comes_back)
{
    nt::ostrand_peer_t waiting(daemon, {}, {"NT_THEN=wait-term"});
    ASSERT_TRUE(waiting.wait_for_stderr("ready"));
    EXPECT_FALSE(waiting.wait_exit(std::chrono::milliseconds(0)));
    EXPECT_TRUE(waiting.signal(SIGTERM));
    EXPECT_EQ(waiting.wait_exit(), 9);
    EXPECT_FALSE(waiting.process().killed_by_signal());

    nt::ostrand_peer_t killed(daemon, {}, {"NT_THEN=kill-self"});
    EXPECT_EQ(killed.wait_exit(), 128 + SIGTERM);
    EXPECT_TRUE(killed.process().killed_by_signal());
}

TEST_F(ostrand_peer_test, kestrum_answers_carry_path_or_error_code)
{
    struct row
    {
        const char* what;
        std::function<void(nt::ostrand_peer_t&)> answer;
        const char* body;
    };
    const row cases[] = {
        {"path", [](nt::ostrand_peer_t& o) { o.answer_kestrum("/k"); }, "08 03 32 02 2f 6b"},
        {"abstract path", [](nt::ostrand_peer_t& o) { o.answer_kestrum(std::string("\0k", 2)); }, "08 03 32 02 00 6b"},
        {"error 119", [](nt::ostrand_peer_t& o) { o.answer_kestrum_error(119); }, "08 03 a2 06 02 08 77"},
        {"error 0", [](nt::ostrand_peer_t& o) { o.answer_kestrum_error(0); }, "08 03 a2 06 02 08 00"},
        {"error 12 (no value)", [](nt::ostrand_peer_t& o) { o.answer_kestrum_error(12); }, "08 03 a2 06 02 08 0c"},
    };
    for (const row& c : cases) {
        SCOPED_TRACE(c.what);
        nt::ostrand_peer_t ostrand(
            daemon, {}, {env_out(), "NT_READ=1", std::string("NT_REQUEST1=") + nt_test::get_kestrum_request});
        c.answer(ostrand);
        EXPECT_EQ(ostrand.wait_exit(), 0);
        EXPECT_EQ(ostrand.kestrum_answers_sent(), 1u);
        EXPECT_EQ(ostrand.count(nx::LinuxTarsel2OstrandMessage::GET_KESTRUM_REQUEST), 1u);
        EXPECT_EQ(to_hex(out("body1")), c.body);
    }
}

TEST_F(ostrand_peer_test, withheld_answers_are_not_sent_and_pushed_contexts_are)
{
    nt::ostrand_peer_t ostrand(daemon, {},
                               {env_out(), "NT_READ=1", std::string("NT_REQUEST1=") + nt_test::get_context_request,
                                "NT_REQUEST2=", "NT_STATUS=3"});
    ostrand.answer_kestrum("/k"); // not what is asked for
    std::optional<nt::ostrand_frame_t> request =
        ostrand.wait_for_tag(nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST);
    ASSERT_TRUE(request);
    EXPECT_EQ(ostrand.contexts_sent(), 0u);
    nx::LinuxTarselConfig config;
    config.set_start(true);
    ASSERT_TRUE(ostrand.push_context(config, 9));
    EXPECT_EQ(ostrand.wait_exit(), 3);
    EXPECT_EQ(to_hex(out("body1")), "08 01 10 09 22 02 20 01");
    EXPECT_EQ(ostrand.kestrum_answers_sent(), 0u);
}

TEST_F(ostrand_peer_test, raw_bytes_go_out_unchanged)
{
    nt::ostrand_peer_t ostrand(daemon, {}, {env_out(), "NT_READ=1"});
    ASSERT_TRUE(ostrand.send_raw(hex_bytes("03 00 00 00 08 03 32")));
    EXPECT_EQ(ostrand.wait_exit(), 0);
    EXPECT_EQ(to_hex(out("body1")), "08 03 32");
}

TEST_F(ostrand_peer_test, a_program_that_cannot_start_is_reported)
{
    EXPECT_THROW(nt::ostrand_peer_t(dir.file("no-such-program")), std::system_error);
}
