// The two standalone peers as programs: what they print, what they
// answer, how they end.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ostrand_linux_tarsel_ipc.pb.h"
#include "peers/bytes.hpp"
#include "peers/fake_daemon.hpp"
#include "peers/raw_client.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

using nt::to_hex;

namespace {

const std::string tool_dir = NT_TOOL_DIR;
const std::string kestrum_tool = tool_dir + "/nt-kestrum-peer";
const std::string ostrand_tool = tool_dir + "/nt-ostrand-peer";

// FLOW_DATA_NOTIFICATION with "/a b", "/x\n\xff\\" and "/a b" again.
const char flow_data[] = "18 00 00 00 08 20 8a 02 04 2f 61 20 62 8a 02 05 2f 78 0a ff 5c 8a 02 04 2f 61 20 62";

class peer_tools_test : public ::testing::Test
{
protected:
    std::unique_ptr<nt::child_process_t> run(std::vector<std::string> argv, std::vector<std::string> env = {})
    {
        nt::child_options_t options;
        options.argv = std::move(argv);
        options.env = std::move(env);
        options.stdout_path = dir.file("stdout." + std::to_string(runs));
        options.stderr_path = dir.file("stderr." + std::to_string(runs));
        ++runs;
        return std::unique_ptr<nt::child_process_t>(new nt::child_process_t(options));
    }
    std::unique_ptr<nt::child_process_t> kestrum(std::vector<std::string> options)
    {
        std::vector<std::string> argv = {kestrum_tool};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(dir.file("kestrum.sock"));
        std::unique_ptr<nt::child_process_t> tool = run(argv);
        EXPECT_TRUE(tool->wait_for_stderr("nt-kestrum-peer: listening on " + dir.file("kestrum.sock")));
        return tool;
    }
    std::string out(const std::string& name) const { return nt::read_file(dir.file(name)); }
    // A peer Kestrum holding the flow closed, and a client whose
    // OPEN_FLOW_REQUEST and FLOW_DATA_NOTIFICATION it has read and left
    // unanswered.
    void hold_a_flow(std::unique_ptr<nt::child_process_t>& tool, std::unique_ptr<nt_test::raw_client_t>& client)
    {
        tool = kestrum({"--hold-closed"});
        client.reset(new nt_test::raw_client_t(dir.file("kestrum.sock")));
        ASSERT_TRUE(client->connected);
        client->put("02 00 00 00 08 1e");
        client->put(flow_data);
        ASSERT_TRUE(tool->wait_for_stdout("/a b", nt::peer_timeout, 2));
        EXPECT_TRUE(client->nothing_readable());
    }

    nt::temp_dir_t dir;
    int runs = 0;
};

} // namespace

TEST_F(peer_tools_test, both_explain_themselves)
{
    for (const std::string& tool : {kestrum_tool, ostrand_tool}) {
        std::unique_ptr<nt::child_process_t> help = run({tool, "--help"});
        EXPECT_EQ(help->wait_exit(), 0) << tool;
        std::string name = tool.substr(tool.rfind('/') + 1);
        EXPECT_EQ(help->stdout_text().rfind("Usage: " + name + " ", 0), 0u) << help->stdout_text();
        std::unique_ptr<nt::child_process_t> bad = run({tool, "--no-such-option"});
        EXPECT_EQ(bad->wait_exit(), 2) << tool;
    }
    EXPECT_EQ(run({ostrand_tool, "--watch", "/tmp"})->wait_exit(), 2); // no --kestrum
}

TEST_F(peer_tools_test, kestrum_prints_each_path_escaped)
{
    std::unique_ptr<nt::child_process_t> tool = kestrum({});
    nt_test::raw_client_t client(dir.file("kestrum.sock"));
    ASSERT_TRUE(client.connected);
    client.put("02 00 00 00 08 1e");
    EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 1e");
    client.put(flow_data);
    ASSERT_TRUE(tool->wait_for_stdout("/", nt::peer_timeout, 3));
    EXPECT_EQ(tool->stdout_lines(), (std::vector<std::string>{"/a b", "/x\\x0a\\xff\\\\", "/a b"}));
    tool->signal(SIGTERM);
    EXPECT_EQ(tool->wait_exit(), 0);
}

TEST_F(peer_tools_test, kestrum_counts_distinct_paths)
{
    std::unique_ptr<nt::child_process_t> tool = kestrum({"--count", "--interval", "0.05"});
    nt_test::raw_client_t client(dir.file("kestrum.sock"));
    ASSERT_TRUE(client.connected);
    client.put(flow_data);
    ASSERT_TRUE(tool->wait_for_stdout("paths received: 3"));
    tool->signal(SIGINT);
    EXPECT_EQ(tool->wait_exit(), 0);
    std::vector<std::string> lines = tool->stdout_lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "distinct paths: 2, paths received: 3, connections: 1");
}

TEST_F(peer_tools_test, kestrum_counts_with_the_arrival_times_of_the_first_and_last_path)
{
    const double before = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::unique_ptr<nt::child_process_t> tool = kestrum({"--count", "--times", "--interval", "0.05"});
    nt_test::raw_client_t client(dir.file("kestrum.sock"));
    ASSERT_TRUE(client.connected);
    client.put(flow_data);
    ASSERT_TRUE(tool->wait_for_stdout("paths received: 3"));
    tool->signal(SIGINT);
    EXPECT_EQ(tool->wait_exit(), 0);
    const double after = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    std::vector<std::string> lines = tool->stdout_lines();
    ASSERT_FALSE(lines.empty());
    std::size_t distinct = 0, received = 0, connections = 0;
    double first = 0, last = 0;
    ASSERT_EQ(
        std::sscanf(lines.back().c_str(),
                    "distinct paths: %zu, paths received: %zu, connections: %zu, first path at: %lf, last path at: %lf",
                    &distinct, &received, &connections, &first, &last),
        5)
        << lines.back();
    EXPECT_EQ(distinct, 2u);
    EXPECT_EQ(received, 3u);
    EXPECT_EQ(connections, 1u);
    // Seconds of the same monotonic clock as this process's steady clock.
    EXPECT_LE(before, first);
    EXPECT_LE(first, last);
    EXPECT_LE(last, after);
}

TEST_F(peer_tools_test, kestrum_times_only_with_counts)
{
    EXPECT_EQ(run({kestrum_tool, "--times", dir.file("kestrum.sock")})->wait_exit(), 2);
}

TEST_F(peer_tools_test, kestrum_opens_a_held_flow_on_sigusr1)
{
    std::unique_ptr<nt::child_process_t> tool;
    std::unique_ptr<nt_test::raw_client_t> client;
    ASSERT_NO_FATAL_FAILURE(hold_a_flow(tool, client));
    tool->signal(SIGUSR1);
    ASSERT_TRUE(tool->wait_for_stderr("nt-kestrum-peer: flow released"));
    EXPECT_EQ(to_hex(client->take(6)), "02 00 00 00 08 1e");
    // Later requests are answered at once.
    client->put("02 00 00 00 08 1e");
    EXPECT_EQ(to_hex(client->take(6)), "02 00 00 00 08 1e");
    tool->signal(SIGTERM);
    EXPECT_EQ(tool->wait_exit(), 0);
}

TEST_F(peer_tools_test, kestrum_can_hold_the_flow_closed)
{
    std::unique_ptr<nt::child_process_t> tool;
    std::unique_ptr<nt_test::raw_client_t> client;
    ASSERT_NO_FATAL_FAILURE(hold_a_flow(tool, client));
    tool->signal(SIGTERM);
    EXPECT_EQ(tool->wait_exit(), 0);
}

TEST_F(peer_tools_test, ostrand_answers_with_the_watch_configuration_and_the_kestrum_path)
{
    nt::write_file(dir.file("watched"), "");
    std::unique_ptr<nt::child_process_t> tool =
        run({ostrand_tool, "--daemon", nt_test::write_fake_daemon(dir), "--kestrum", "@ks", "--watch",
             dir.path() + "/./", "--revision", "4", "--", "--extra"},
            {"NT_OUT=" + dir.path(), "NT_READ=1", std::string("NT_REQUEST1=") + nt_test::get_context_request,
             std::string("NT_REQUEST2=") + nt_test::get_kestrum_request, "NT_STATUS=7"});
    EXPECT_EQ(tool->wait_exit(), 7);

    nx::Ostrand2LinuxTarselMessage context;
    ASSERT_TRUE(context.ParseFromString(out("body1"))) << to_hex(out("body1"));
    EXPECT_EQ(context.tag(), nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    EXPECT_EQ(context.config_revision(), 4u);
    const nx::LinuxTarselConfig& config = context.config();
    ASSERT_EQ(config.included_path().path_size(), 1);
    EXPECT_EQ(config.included_path().path(0), dir.path());
    EXPECT_EQ(config.log_level(), nx::LOG_LEVEL_INFO);
    EXPECT_TRUE(config.has_actual_log());
    EXPECT_EQ(config.actual_log().type(), nx::Log::STDERR);

    EXPECT_EQ(to_hex(out("body2")), "08 03 32 03 00 6b 73");
}

TEST_F(peer_tools_test, ostrand_sends_a_text_format_configuration)
{
    nt::write_file(dir.file("config.txt"), "log_level: LOG_LEVEL_ERROR\n"
                                           "mode: LTM_FANOTIFY\n"
                                           "actual_log { type: FILE path: \"/var/log/x\" }\n");
    std::unique_ptr<nt::child_process_t> tool =
        run({ostrand_tool, "--daemon", nt_test::write_fake_daemon(dir), "--kestrum", "/k", "--config",
             dir.file("config.txt")},
            {"NT_OUT=" + dir.path(), "NT_READ=1", std::string("NT_REQUEST1=") + nt_test::get_context_request});
    EXPECT_EQ(tool->wait_exit(), 0);
    // tag 1, revision 1, config { log_level 5, mode 1, actual_log { type 2, path "/var/log/x" } }
    EXPECT_EQ(to_hex(out("body1")), "08 01 10 01 22 15 08 05 60 01 c2 3e 0e 08 02 52 0a 2f 76 61 72 2f 6c 6f 67 2f 78");
}

TEST_F(peer_tools_test, ostrand_passes_termination_signals_on_and_returns_the_status)
{
    std::unique_ptr<nt::child_process_t> tool =
        run({ostrand_tool, "--daemon", nt_test::write_fake_daemon(dir), "--kestrum", "/k", "--watch", "/"},
            {"NT_THEN=wait-term"});
    ASSERT_TRUE(tool->wait_for_stderr("ready")); // the daemon writes to the tool's standard error
    tool->signal(SIGTERM);
    EXPECT_EQ(tool->wait_exit(), 9);
    EXPECT_FALSE(tool->killed_by_signal());
}
