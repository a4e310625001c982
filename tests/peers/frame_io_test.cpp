#include <cstring>
#include <string>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ostrand_linux_tarsel_ipc.pb.h"
#include "peers/bytes.hpp"
#include "peers/frame_io.hpp"

using nt::frame_status;
using nt::hex_bytes;
using nt::to_hex;

namespace {

class frame_io_test : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
    void TearDown() override
    {
        for (int fd : fds)
            if (fd >= 0)
                ::close(fd);
    }
    void put(const std::string& bytes)
    {
        ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_writer()
    {
        ::close(fds[1]);
        fds[1] = -1;
    }
    // Everything readable on the reading end right now.
    std::string drain()
    {
        std::string out;
        char buffer[4096];
        pollfd pfd = {fds[0], POLLIN, 0};
        while (::poll(&pfd, 1, 0) == 1) {
            ssize_t n = ::read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    int fds[2] = {-1, -1};
    const std::chrono::milliseconds now{0};
};

} // namespace

TEST_F(frame_io_test, header_in_host_byte_order_then_body)
{
    ASSERT_TRUE(nt::write_frame(fds[1], std::string("abcde")));
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    EXPECT_EQ(to_hex(drain()), "05 00 00 00 61 62 63 64 65");
#else
    EXPECT_EQ(to_hex(drain()), "00 00 00 05 61 62 63 64 65");
#endif
    nx::LinuxTarsel2OstrandMessage m;
    m.set_tag(nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST);
    ASSERT_TRUE(nt::write_frame(fds[1], m));
    std::string frame = drain();
    EXPECT_EQ(to_hex(frame.substr(4)), "08 01");
    EXPECT_EQ(frame.size(), 6u);
}

TEST_F(frame_io_test, frame_arriving_in_pieces_is_delivered_once_whole)
{
    nt::frame_reader_t reader(fds[0]);
    const std::string frame = nt::frame_bytes("hello");
    std::string body;
    put(frame.substr(0, 1));
    EXPECT_EQ(reader.next(body, now), frame_status::timeout);
    EXPECT_EQ(reader.pending(), 1u);
    put(frame.substr(1, 5));
    EXPECT_EQ(reader.next(body, now), frame_status::timeout);
    EXPECT_EQ(reader.pending(), 6u);
    put(frame.substr(6));
    EXPECT_EQ(reader.next(body, now), frame_status::ok);
    EXPECT_EQ(body, "hello");
    EXPECT_EQ(reader.pending(), 0u);
    EXPECT_EQ(reader.next(body, now), frame_status::timeout);
}

TEST_F(frame_io_test, frames_in_one_write_are_delivered_in_order)
{
    nt::frame_reader_t reader(fds[0]);
    put(nt::frame_bytes("first") + nt::frame_bytes("") + nt::frame_bytes(std::string("\0x", 2)));
    std::string body;
    ASSERT_EQ(reader.next(body, now), frame_status::ok);
    EXPECT_EQ(body, "first");
    ASSERT_EQ(reader.next(body, now), frame_status::ok);
    EXPECT_EQ(body, "");
    ASSERT_EQ(reader.next(body, now), frame_status::ok);
    EXPECT_EQ(body, std::string("\0x", 2));
    EXPECT_EQ(reader.next(body, now), frame_status::timeout);
}

TEST_F(frame_io_test, end_of_stream_inside_a_frame_is_no_frame)
{
    nt::frame_reader_t reader(fds[0]);
    put(nt::frame_bytes("whole") + nt::frame_bytes("cut").substr(0, 5));
    close_writer();
    std::string body;
    ASSERT_EQ(reader.next(body, now), frame_status::ok);
    EXPECT_EQ(body, "whole");
    EXPECT_EQ(reader.next(body, now), frame_status::eof);
    EXPECT_EQ(reader.next(body, now), frame_status::eof);
}

TEST_F(frame_io_test, announced_length_over_the_limit_is_refused)
{
    nt::frame_reader_t reader(fds[0], 16);
    put(hex_bytes("11 00 00 00") + std::string(17, 'x'));
    std::string body;
    EXPECT_EQ(reader.next(body, now), frame_status::too_large);
    nt::frame_reader_t large(fds[0]);
    put(hex_bytes("ff ff ff ff"));
    EXPECT_EQ(large.next(body, now), frame_status::too_large);
}

TEST_F(frame_io_test, large_frames_survive_partial_reads_and_writes)
{
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 131 + (i >> 8));
    bool written = false;
    std::thread writer([&] { written = nt::write_frame(fds[1], big) && nt::write_frame(fds[1], std::string("tail")); });
    nt::frame_reader_t reader(fds[0]);
    std::string body;
    EXPECT_EQ(reader.next(body, std::chrono::seconds(20)), frame_status::ok);
    EXPECT_TRUE(body == big);
    EXPECT_EQ(reader.next(body, std::chrono::seconds(20)), frame_status::ok);
    EXPECT_EQ(body, "tail");
    writer.join();
    EXPECT_TRUE(written);
}

TEST_F(frame_io_test, writing_to_a_closed_peer_fails_without_a_signal)
{
    ::close(fds[0]);
    fds[0] = -1;
    EXPECT_FALSE(nt::write_frame(fds[1], std::string("x")));
    EXPECT_EQ(errno, EPIPE);
}
