// The peer Kestrum's own plumbing, driven by a client written here with
// bytes spelled out by hand, so that a framing fault in the peer cannot
// hide behind the same fault on the other side.
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "peers/bytes.hpp"
#include "peers/kestrum_peer.hpp"
#include "peers/raw_client.hpp"
#include "support/temp_dir.hpp"

using nt::hex_bytes;
using nt::open_reply_t;
using nt::to_hex;

namespace {

class kestrum_peer_test : public ::testing::Test
{};

const char open_flow_request[] = "02 00 00 00 08 1e";

} // namespace

TEST_F(kestrum_peer_test, open_flow_request_gets_open_flow_response)
{
    nt::kestrum_peer_t kestrum;
    nt_test::raw_client_t client(kestrum.path());
    ASSERT_TRUE(client.connected);
    client.put(open_flow_request);
    EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 1e");
    ASSERT_TRUE(kestrum.wait_for_frames(1));
    std::vector<nt::kestrum_frame_t> frames = kestrum.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].connection, 0u);
    EXPECT_EQ(to_hex(frames[0].raw), "08 1e");
    EXPECT_TRUE(frames[0].complete);
    EXPECT_EQ(kestrum.count(ks::ClientMessage::OPEN_FLOW_REQUEST), 1u);
    EXPECT_EQ(kestrum.open_replies_sent(), 1u);
}

TEST_F(kestrum_peer_test, scripted_alarms_come_before_the_standing_answer)
{
    nt::kestrum_peer_t kestrum;
    kestrum.script_open_replies({open_reply_t::flow_alarm(119), open_reply_t::flow_alarm(),
                                 open_reply_t::flow_alarm(12), open_reply_t::no_answer()});
    nt_test::raw_client_t client(kestrum.path());
    ASSERT_TRUE(client.connected);
    for (int i = 0; i < 4; ++i)
        client.put(open_flow_request);
    EXPECT_EQ(to_hex(client.take(11)), "07 00 00 00 08 21 a2 06 02 08 77");
    EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 21");
    EXPECT_EQ(to_hex(client.take(11)), "07 00 00 00 08 21 a2 06 02 08 0c");
    ASSERT_TRUE(kestrum.wait_for_frames(4));
    EXPECT_TRUE(client.nothing_readable());
    client.put(open_flow_request); // the script is used up
    EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 1e");
}

TEST_F(kestrum_peer_test, silence_and_delay)
{
    nt::kestrum_peer_t kestrum;
    kestrum.set_open_reply(open_reply_t::no_answer());
    nt_test::raw_client_t client(kestrum.path());
    ASSERT_TRUE(client.connected);
    client.put(open_flow_request);
    client.put("02 00 00 00 08 20"); // FLOW_DATA_NOTIFICATION, after which an answer would be written
    ASSERT_TRUE(kestrum.wait_for_frames(2));
    EXPECT_TRUE(client.nothing_readable());
    EXPECT_EQ(kestrum.open_replies_sent(), 0u);

    kestrum.set_open_reply(open_reply_t::response(std::chrono::milliseconds(30)));
    client.put(open_flow_request);
    EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 1e");
}

TEST_F(kestrum_peer_test, paths_are_counted_once_across_frames_and_connections)
{
    nt::kestrum_peer_t kestrum;
    nt_test::raw_client_t first(kestrum.path());
    ASSERT_TRUE(first.connected);
    // FLOW_DATA_NOTIFICATION "/a", "/b\xff", then "/a", "/c", byte by byte.
    first.put("0d 00 00 00 08 20 8a 02 02 2f 61 8a 02 03 2f 62 ff");
    const std::string second_frame = "0c 00 00 00 08 20 8a 02 02 2f 61 8a 02 02 2f 63";
    for (std::size_t i = 0; i < second_frame.size(); i += 3)
        first.put(second_frame.substr(i, 2));
    ASSERT_TRUE(kestrum.wait_for_frames(2));
    nt_test::raw_client_t second(kestrum.path());
    ASSERT_TRUE(second.connected);
    second.put("08 00 00 00 08 20 8a 02 03 2f 62 ff");
    ASSERT_TRUE(kestrum.wait_for_frames(3));

    EXPECT_EQ(kestrum.distinct_paths(), 3u);
    EXPECT_EQ(kestrum.received_paths(), 5u);
    EXPECT_TRUE(kestrum.has_path("/b\xff"));
    EXPECT_FALSE(kestrum.has_path("/b"));
    EXPECT_EQ(kestrum.paths(), (std::vector<std::string>{"/a", "/b\xff", "/a", "/c", "/b\xff"}));
    EXPECT_EQ(kestrum.frames_of(0).size(), 2u);
    ASSERT_EQ(kestrum.frames_of(1).size(), 1u);
    EXPECT_EQ(kestrum.frames_of(1)[0].connection, 1u);
    EXPECT_EQ(kestrum.count(ks::ClientMessage::FLOW_DATA_NOTIFICATION), 3u);
    EXPECT_TRUE(kestrum.wait_for_distinct_paths(3, std::chrono::milliseconds(0)));
    EXPECT_TRUE(kestrum.wait_for_path("/c", std::chrono::milliseconds(0)));
    std::optional<nt::kestrum_frame_t> second_data = kestrum.wait_for_tag(ks::ClientMessage::FLOW_DATA_NOTIFICATION, 2);
    ASSERT_TRUE(second_data);
    EXPECT_EQ(second_data->message.flow_path(1), "/c");
}

TEST_F(kestrum_peer_test, messages_garbage_and_closing_on_cue_go_to_the_newest_connection)
{
    nt::kestrum_peer_t kestrum;
    EXPECT_FALSE(kestrum.close_connection());
    nt_test::raw_client_t old_one(kestrum.path());
    nt_test::raw_client_t client(kestrum.path());
    ASSERT_TRUE(kestrum.wait_for_connections(2));
    ks::ServerMessage close_flow;
    close_flow.set_tag(ks::ServerMessage::CLOSE_FLOW_RESPONSE);
    ASSERT_TRUE(kestrum.send(close_flow));
    EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 20");
    ASSERT_TRUE(kestrum.send_raw(hex_bytes("de ad")));
    EXPECT_EQ(to_hex(client.take(2)), "de ad");
    ASSERT_TRUE(kestrum.send_frame(std::string()));
    EXPECT_EQ(to_hex(client.take(4)), "00 00 00 00");
    EXPECT_TRUE(old_one.nothing_readable());

    ASSERT_TRUE(kestrum.close_connection());
    EXPECT_TRUE(client.at_end());
    ASSERT_TRUE(kestrum.wait_for_disconnects(1));
    EXPECT_EQ(kestrum.open_connections(), 1u);
    ASSERT_TRUE(kestrum.send(close_flow)); // now the older one is the newest open
    EXPECT_EQ(to_hex(old_one.take(6)), "02 00 00 00 08 20");

    old_one.close();
    ASSERT_TRUE(kestrum.wait_for_disconnects(2));
    EXPECT_EQ(kestrum.open_connections(), 0u);
    EXPECT_FALSE(kestrum.send(close_flow));
    EXPECT_EQ(kestrum.connections(), 2u);
}

TEST_F(kestrum_peer_test, oversized_or_broken_frames_are_counted_not_trusted)
{
    nt::kestrum_peer_t kestrum;
    nt_test::raw_client_t broken(kestrum.path());
    broken.put("02 00 00 00 0a 05"); // a length-delimited field cut short
    ASSERT_TRUE(kestrum.wait_for_frames(1));
    EXPECT_FALSE(kestrum.frames()[0].complete);
    nt_test::raw_client_t huge(kestrum.path());
    huge.put("ff ff ff ff 00");
    EXPECT_TRUE(huge.at_end());
    ASSERT_TRUE(kestrum.wait_for_disconnects(1));
    EXPECT_EQ(kestrum.bad_frames(), 2u);
}

TEST_F(kestrum_peer_test, abstract_and_longest_paths)
{
    std::string abstract = std::string(1, '\0') + "nt-kestrum-test-" + std::to_string(::getpid());
    {
        nt::kestrum_peer_t kestrum(abstract);
        nt_test::raw_client_t client(abstract);
        ASSERT_TRUE(client.connected);
        client.put(open_flow_request);
        EXPECT_EQ(to_hex(client.take(6)), "02 00 00 00 08 1e");
    }

    nt::temp_dir_t dir;
    std::string longest = dir.file("");
    longest += std::string(107 - longest.size(), 'k');
    {
        nt::kestrum_peer_t kestrum(longest);
        struct stat st;
        ASSERT_EQ(::lstat(longest.c_str(), &st), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        nt_test::raw_client_t client(longest);
        EXPECT_TRUE(client.connected);
    }
    struct stat st;
    EXPECT_NE(::lstat(longest.c_str(), &st), 0); // removed with the peer
    try {
        nt::kestrum_peer_t too_long(longest + "k");
        ADD_FAILURE() << "a 108-byte path was accepted";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENAMETOOLONG);
    }
}
