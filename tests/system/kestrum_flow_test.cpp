// The Kestrum side of the whole daemon: opening the flow, batches, alarms,
// lost connections, unexpected messages and socket paths.
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "peers/stalled_kestrum.hpp"
#include "support/unix_socket.hpp"
#include "system/daemon_fixture.hpp"

using namespace nt_system_test;

namespace {

class kestrum_flow_test : public daemon_test
{
protected:
    void use_kestrum(const nt::open_reply_t& reply)
    {
        nt::kestrum_options_t options;
        options.open_reply = reply;
        kestrum.reset(new nt::kestrum_peer_t(options));
    }
    bool send_to_kestrum(ks::ServerMessage::ServerMessageTag tag)
    {
        ks::ServerMessage message;
        message.set_tag(tag);
        return kestrum->send(message);
    }
    bool send_kestrum_address(const std::string& socket_path)
    {
        nx::Ostrand2LinuxTarselMessage answer;
        answer.set_tag(nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE);
        answer.set_socket_path(socket_path);
        return ostrand->send(answer);
    }
    std::vector<std::string> numbered_files(std::size_t count, const std::string& tail = "")
    {
        std::vector<std::string> files;
        for (std::size_t i = 1; i <= count; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "f%04zu", i);
            files.push_back(make_file(name + tail));
        }
        return files;
    }
    std::size_t opens() const { return kestrum->count(client_t::OPEN_FLOW_REQUEST); }
    std::string exit_line(int status, const std::string& text) const
    {
        return line("Notice", "Exit with status " + std::to_string(status) + " (" + text + ")");
    }
};

// Where two path sequences first differ, for a readable failure.
std::string first_difference(const std::vector<std::string>& got, const std::vector<std::string>& want)
{
    std::size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) + ", first difference at " +
           std::to_string(i) + ": " + (i < got.size() ? nt::escape_bytes(got[i]) : "(end)") + " instead of " +
           (i < want.size() ? nt::escape_bytes(want[i]) : "(end)");
}

std::size_t socket_send_buffer()
{
    std::ifstream in("/proc/sys/net/core/wmem_default");
    std::size_t bytes = 0;
    in >> bytes;
    return bytes ? bytes : 212992;
}

} // namespace

TEST_F(kestrum_flow_test, the_flow_opens_with_the_daemons_identity_and_the_configured_options)
{
    const std::string skipped = make_dir("skipped");
    nx::LinuxTarselConfig config = watching({root}, {skipped});
    config.set_on_known_virus(nx::FILE_ACTION_QUARANTINE);
    config.set_on_incurable(nx::FILE_ACTION_DELETE);
    config.set_on_adware(nx::FILE_ACTION_REPORT);
    config.set_on_hacktools(nx::FILE_ACTION_IGNORE);
    config.set_scan_timeout(4321);
    config.set_heuristic_analysis(true);
    config.set_packer_max_level(3);
    config.set_archive_max_level(4);
    config.set_mail_max_level(5);
    config.set_container_max_level(6);
    config.set_max_compression_ratio(700);
    use_kestrum(nt::open_reply_t::no_answer());
    start(config);

    ASSERT_TRUE(until([&] { return opens() == 1; }));
    std::vector<nt::kestrum_frame_t> frames = kestrum->frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].complete);
    client_t expected;
    expected.set_tag(client_t::OPEN_FLOW_REQUEST);
    expected.set_origin(nx::APP_LINUX_TARSEL);
    expected.set_pid(static_cast<std::uint32_t>(ostrand->pid()));
    ks::FlowOptions& options = *expected.mutable_flow_options();
    options.add_included_path(root);
    options.add_excluded_path(skipped);
    ks::ActionSet& actions = *options.mutable_actions();
    actions.set_on_known_virus(nx::FILE_ACTION_QUARANTINE);
    actions.set_on_incurable(nx::FILE_ACTION_DELETE);
    actions.set_on_suspicious(nx::FILE_ACTION_CURE); // absent in the configuration
    actions.set_on_adware(nx::FILE_ACTION_REPORT);
    actions.set_on_dialers(nx::FILE_ACTION_CURE);
    actions.set_on_jokes(nx::FILE_ACTION_CURE);
    actions.set_on_riskware(nx::FILE_ACTION_CURE);
    actions.set_on_hacktools(nx::FILE_ACTION_IGNORE);
    options.set_scan_timeout_ms(4321);
    options.set_heuristic_analysis(true);
    options.set_packer_max_level(3);
    options.set_archive_max_level(4);
    options.set_mail_max_level(5);
    options.set_container_max_level(6);
    options.set_max_compression_ratio(700);
    EXPECT_EQ(frames[0].message.DebugString(), expected.DebugString());
    EXPECT_EQ(nt::to_hex(frames[0].raw), nt::to_hex(expected.SerializeAsString()));

    // Until Kestrum answers, the daemon is not ready.
    EXPECT_EQ(ostrand_count(to_ostrand_t::MY_INFO_NOTIFICATION), 1u);
    EXPECT_EQ(stderr_count(ready_line()), 0u);

    ASSERT_TRUE(send_to_kestrum(ks::ServerMessage::OPEN_FLOW_RESPONSE));
    ASSERT_TRUE(wait_ready());
    ASSERT_TRUE(until([&] { return ostrand_count(to_ostrand_t::MY_INFO_NOTIFICATION) == 2; }));

    std::vector<to_ostrand_t::MessageTag> tags;
    for (const nt::ostrand_frame_t& f : ostrand->frames())
        tags.push_back(f.message.tag());
    EXPECT_EQ(tags, (std::vector<to_ostrand_t::MessageTag>{
                        to_ostrand_t::GET_CONTEXT_REQUEST, to_ostrand_t::MY_INFO_NOTIFICATION,
                        to_ostrand_t::GET_KESTRUM_REQUEST, to_ostrand_t::MY_INFO_NOTIFICATION}));
    std::vector<to_ostrand_t> infos = ostrand_messages(to_ostrand_t::MY_INFO_NOTIFICATION);
    ASSERT_EQ(infos.size(), 2u);
    EXPECT_EQ(infos[0].config_revision(), revision);
    EXPECT_EQ(infos[0].info().state(), nx::LTS_LOADING);
    EXPECT_EQ(infos[1].config_revision(), revision);
    EXPECT_EQ(infos[1].info().state(), nx::LTS_FANOTIFY);

    const std::vector<std::string> lines = ostrand->stderr_lines();
    auto opened = std::find(lines.begin(), lines.end(), line("Debug", TS_TEXT_KESTRUM_OPENED));
    auto ready = std::find(lines.begin(), lines.end(), ready_line());
    EXPECT_LT(opened, ready);
    EXPECT_EQ(stderr_count(ready_line()), 1u);
}

TEST_F(kestrum_flow_test, a_backlog_reaches_kestrum_in_batches_of_101_oldest_first_without_further_accesses)
{
    const std::vector<std::string> files = numbered_files(250);
    use_kestrum(nt::open_reply_t::no_answer());
    start(watching_root());
    ASSERT_TRUE(until([&] { return opens() == 1; }));

    file_holder_t holder(files);
    ASSERT_TRUE(holder.ok());
    ASSERT_TRUE(wait_for_line(" Access on: " + files.back()));
    EXPECT_EQ(kestrum->count(client_t::FLOW_DATA_NOTIFICATION), 0u);

    // From here on nothing touches a file: the flow's opening sends the
    // first batch, each completed write the next.
    ASSERT_TRUE(send_to_kestrum(ks::ServerMessage::OPEN_FLOW_RESPONSE));
    ASSERT_TRUE(until([&] { return kestrum->received_paths() >= files.size(); }));

    std::vector<int> sizes;
    for (const nt::kestrum_frame_t& f : kestrum->frames())
        if (f.message.tag() == client_t::FLOW_DATA_NOTIFICATION)
            sizes.push_back(f.message.flow_path_size());
    EXPECT_EQ(sizes, (std::vector<int>{101, 101, 48}));
    const std::vector<std::string> received = data_paths(kestrum->frames());
    EXPECT_TRUE(received == files) << first_difference(received, files);
    EXPECT_EQ(kestrum->received_paths(), files.size());
}

TEST_F(kestrum_flow_test, a_closed_connection_reconnects_through_ostrand_and_delivers_the_paths_of_the_gap)
{
    const std::string before = make_file("before");
    const std::string gap = make_file("gap");
    start(watching_root());
    ASSERT_TRUE(wait_ready());
    cat({before});
    ASSERT_TRUE(wait_for_path(before));

    ostrand->withhold_kestrum();
    ASSERT_TRUE(kestrum->close_connection());
    ASSERT_TRUE(wait_for_line(
        line("Error", std::string(TS_TEXT_KESTRUM_CLOSED_PREFIX) + "End of file" + TS_TEXT_KESTRUM_CLOSED_SUFFIX)));
    ASSERT_TRUE(until([&] { return ostrand_count(to_ostrand_t::GET_KESTRUM_REQUEST) == 2; }));

    // Accessed while there is no connection.
    cat({gap});
    ASSERT_TRUE(wait_for_line(" Access on: " + gap));
    EXPECT_EQ(kestrum->connections(), 1u);

    ASSERT_TRUE(send_kestrum_address(kestrum->path()));
    ASSERT_TRUE(wait_for_path(gap));
    const std::vector<nt::kestrum_frame_t> second = kestrum->frames_of(1);
    ASSERT_GE(second.size(), 2u);
    EXPECT_EQ(second[0].message.tag(), client_t::OPEN_FLOW_REQUEST);
    const std::vector<std::string> after = data_paths(second);
    EXPECT_NE(std::find(after.begin(), after.end(), gap), after.end());
    // A reconnection is no new readiness.
    EXPECT_EQ(ostrand_count(to_ostrand_t::MY_INFO_NOTIFICATION), 2u);
    EXPECT_EQ(stderr_count(ready_line()), 1u);
}

TEST_F(kestrum_flow_test, batches_kestrum_had_not_read_when_the_connection_failed_go_out_again_over_the_next_one)
{
    // More paths than the daemon's socket can hold, so that batches are
    // still unwritten when the stalled Kestrum refuses the rest.
    const std::size_t count = 3 * socket_send_buffer() / 250 + 200;
    if (count > 12000)
        GTEST_SKIP() << "socket send buffers too large for this test";
    const std::vector<std::string> files = numbered_files(count, std::string(220, 'x'));
    nt::stalled_kestrum_t stalled;
    ASSERT_TRUE(stalled.ok());
    kestrum.reset(new nt::kestrum_peer_t); // the Kestrum of the next connection
    start(watching_root(), stalled.path());
    ASSERT_TRUE(until([&] { return stalled.opened(); }));
    ASSERT_TRUE(wait_ready());

    auto holders = hold_in_order(files);
    ASSERT_TRUE(all_held(holders));
    ASSERT_TRUE(wait_for_line(" Access on: " + files.back()));

    ostrand->answer_kestrum(kestrum->path());
    // Read only now, after the cut: the daemon saw all of it unread in the
    // socket, and a Kestrum that goes away drops what it had not read.
    const std::vector<std::string> taken = stalled.refuse_and_take();
    ASSERT_LT(taken.size(), files.size());
    ASSERT_TRUE(until([&] { return kestrum->received_paths() >= files.size(); }));
    EXPECT_TRUE(until([&] { return stderr_count(TS_TEXT_KESTRUM_CLOSED_SUFFIX) >= 1; }));
    EXPECT_EQ(stderr_count(TS_TEXT_KESTRUM_CLOSED_SUFFIX), 1u);
    const std::vector<nt::kestrum_frame_t> frames = kestrum->frames();
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].message.tag(), client_t::OPEN_FLOW_REQUEST);

    // Every path again over the new connection, once, oldest first: the
    // written but unread batches ahead of those never written.
    const std::vector<std::string> later = data_paths(frames);
    EXPECT_TRUE(later == files) << first_difference(later, files);
    EXPECT_TRUE(std::equal(taken.begin(), taken.end(), files.begin()));
}

TEST_F(kestrum_flow_test, a_new_address_while_connected_starts_over_on_the_new_connection)
{
    const std::string moved = make_file("moved");
    start(watching_root());
    ASSERT_TRUE(wait_ready());

    nt::kestrum_options_t held;
    held.open_reply = nt::open_reply_t::no_answer();
    nt::kestrum_peer_t second(held);
    ASSERT_TRUE(send_kestrum_address(second.path()));
    ASSERT_TRUE(until([&] { return second.count(client_t::OPEN_FLOW_REQUEST) == 1; }));
    ASSERT_TRUE(kestrum->wait_for_disconnects(1, patience));

    // The flow of the old connection is not taken over: nothing goes out
    // before the new one is opened.
    cat({moved});
    ASSERT_TRUE(wait_for_line(" Access on: " + moved));
    EXPECT_EQ(second.count(client_t::FLOW_DATA_NOTIFICATION), 0u);
    ks::ServerMessage opened;
    opened.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
    ASSERT_TRUE(second.send(opened));
    ASSERT_TRUE(until([&] { return second.has_path(moved); }));
    EXPECT_EQ(second.frames().front().message.tag(), client_t::OPEN_FLOW_REQUEST);
    EXPECT_FALSE(kestrum->has_path(moved));

    // Not taken for a lost connection: no Error line, no new request.
    EXPECT_EQ(stderr_count(TS_TEXT_KESTRUM_CLOSED_PREFIX), 0u);
    EXPECT_EQ(ostrand_count(to_ostrand_t::GET_KESTRUM_REQUEST), 1u);
    EXPECT_EQ(stderr_count(ready_line()), 1u);
}

TEST_F(kestrum_flow_test, thirty_flow_alarms_in_a_row_end_the_daemon_with_119)
{
    use_kestrum(nt::open_reply_t::flow_alarm()); // without an error: code EC_OK
    start(watching_root(nx::LOG_LEVEL_INFO));
    EXPECT_EQ(ostrand->wait_exit(patience), nx::EC_NO_HALVERN);
    // The first request and 29 re-openings; the 30th alarm ends it.
    EXPECT_EQ(opens(), 30u);
    EXPECT_EQ(kestrum->open_replies_sent(), 30u);
    EXPECT_EQ(stderr_count(line("Error", std::string(TS_TEXT_KESTRUM_ERROR_PREFIX) + "Success")), 30u);
    EXPECT_EQ(stderr_count(ready_line()), 0u);
    EXPECT_EQ(stderr_count(exit_line(119, "Halvern is not available")), 1u);
}

TEST_F(kestrum_flow_test, an_opening_between_alarms_starts_the_count_again)
{
    use_kestrum(nt::open_reply_t::flow_alarm());
    std::vector<nt::open_reply_t> script(10, nt::open_reply_t::flow_alarm(static_cast<int>(nx::EC_BAD_CONFIG)));
    script.push_back(nt::open_reply_t::response());
    kestrum->script_open_replies(script);
    start(watching_root(nx::LOG_LEVEL_INFO));
    ASSERT_TRUE(wait_ready());
    EXPECT_EQ(opens(), 11u);

    // An alarm on the open flow: it re-opens, and every answer from here on
    // is an alarm. Thirty of them after the opening end the daemon.
    ks::ServerMessage alarm;
    alarm.set_tag(ks::ServerMessage::FLOW_ALARM);
    alarm.mutable_error()->set_code(nx::EC_NO_HALVERN);
    ASSERT_TRUE(kestrum->send(alarm));
    EXPECT_EQ(ostrand->wait_exit(patience), nx::EC_NO_HALVERN);
    EXPECT_EQ(opens(), 11u + 29u);
    EXPECT_EQ(stderr_count(line("Error", std::string(TS_TEXT_KESTRUM_ERROR_PREFIX) + "Invalid configuration")), 10u);
    EXPECT_EQ(stderr_count(line("Error", std::string(TS_TEXT_KESTRUM_ERROR_PREFIX) + "Halvern is not available")), 1u);
    EXPECT_EQ(stderr_count(line("Error", std::string(TS_TEXT_KESTRUM_ERROR_PREFIX) + "Success")), 29u);
    EXPECT_EQ(stderr_count(ready_line()), 1u);
}

TEST_F(kestrum_flow_test, the_alarm_count_survives_a_reconnection)
{
    use_kestrum(nt::open_reply_t::flow_alarm());
    std::vector<nt::open_reply_t> script(10, nt::open_reply_t::flow_alarm());
    script.push_back(nt::open_reply_t::no_answer());
    kestrum->script_open_replies(script);
    start(watching_root(nx::LOG_LEVEL_INFO));
    ASSERT_TRUE(until([&] { return opens() == 11; }));
    ASSERT_TRUE(kestrum->close_connection());
    EXPECT_EQ(ostrand->wait_exit(patience), nx::EC_NO_HALVERN);
    EXPECT_EQ(kestrum->connections(), 2u);
    std::size_t reopened = 0;
    for (const nt::kestrum_frame_t& f : kestrum->frames_of(1))
        reopened += f.message.tag() == client_t::OPEN_FLOW_REQUEST;
    EXPECT_EQ(reopened, 20u);
    EXPECT_EQ(ostrand_count(to_ostrand_t::GET_KESTRUM_REQUEST), 2u);
}

namespace {

struct unexpected_case_t
{
    const char* name;
    const char* body_hex; // the frame's body
    int shown;            // the tag in the Error line
};

void PrintTo(const unexpected_case_t& c, std::ostream* out)
{
    *out << c.name;
}

} // namespace

class unexpected_message_test : public kestrum_flow_test, public ::testing::WithParamInterface<unexpected_case_t>
{};

TEST_P(unexpected_message_test, ends_the_daemon_with_11)
{
    start(watching_root(nx::LOG_LEVEL_INFO));
    ASSERT_TRUE(wait_ready());
    ASSERT_TRUE(kestrum->send_frame(nt::hex_bytes(GetParam().body_hex)));
    EXPECT_EQ(ostrand->wait_exit(patience), nx::EC_UNEXPECTED_MESSAGE);
    EXPECT_EQ(stderr_count(line("Error", TS_TEXT_KESTRUM_UNKNOWN_PREFIX + std::to_string(GetParam().shown))), 1u)
        << stderr_text();
    EXPECT_EQ(stderr_count(exit_line(11, "Unexpected IPC message")), 1u);
}

INSTANTIATE_TEST_SUITE_P(kestrum_flow, unexpected_message_test,
                         ::testing::Values(unexpected_case_t{"enumerate_disks_response", "08 32", 50},
                                           unexpected_case_t{"empty_body", "", 1},
                                           unexpected_case_t{"tag_outside_the_enumeration", "08 1f", 1},
                                           unexpected_case_t{"start_scan_response", "08 01", 1}),
                         [](const ::testing::TestParamInfo<unexpected_case_t>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(kestrum_flow_test, a_socket_path_of_107_bytes_is_used)
{
    std::string socket_path = root + "/";
    socket_path += std::string(107 - socket_path.size(), 's');
    ASSERT_EQ(socket_path.size(), 107u);
    kestrum.reset(new nt::kestrum_peer_t(socket_path));
    start(watching_root(nx::LOG_LEVEL_INFO));
    ASSERT_TRUE(wait_ready());
    EXPECT_EQ(kestrum->connections(), 1u);
}

TEST_F(kestrum_flow_test, a_socket_path_of_108_bytes_ends_the_daemon_without_an_attempt)
{
    std::string socket_path = root + "/";
    socket_path += std::string(108 - socket_path.size(), 's');
    start(watching_root(nx::LOG_LEVEL_INFO), socket_path);
    EXPECT_EQ(ostrand->wait_exit(patience), nx::EC_UNEXPECTED_ERROR);
    // The endpoint is refused before any connection attempt ("connect: ...").
    EXPECT_EQ(stderr_count(line("Error", "File name too long")), 1u) << stderr_text();
    EXPECT_EQ(stderr_count(TS_TEXT_CONTEXT_KESTRUM_CONNECT + std::string(": ")), 0u);
    EXPECT_EQ(stderr_count(TS_TEXT_KESTRUM_ESTABLISHED), 0u);
    EXPECT_EQ(stderr_count(exit_line(125, "Unexpected error")), 1u);
}

TEST_F(kestrum_flow_test, an_abstract_socket_path_is_used)
{
    const std::string name =
        std::string(1, '\0') + "nt-system-" + std::to_string(::getpid()) + root.substr(root.rfind('/'));
    kestrum.reset(new nt::kestrum_peer_t(name));
    const std::string file = make_file("abstract");
    start(watching_root(nx::LOG_LEVEL_INFO));
    ASSERT_TRUE(wait_ready());
    cat({file});
    EXPECT_TRUE(wait_for_path(file));
}
