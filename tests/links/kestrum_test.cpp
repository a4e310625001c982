// The Kestrum link reading what Kestrum sends on the flow, on a real socket,
// owned by the daemon's inventory as in the daemon.
#include "links/kestrum.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <ostream>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "core/inventory.hpp"
#include "error.pb.h"
#include "error/proto_error.hpp"
#include "log/log.hpp"
#include "support/log_capture.hpp"

namespace {

std::string hex_bytes(const std::string& hex)
{
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size();) {
        if (hex[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}

std::string frame(const std::string& body)
{
    const std::uint32_t length = static_cast<std::uint32_t>(body.size());
    return std::string(reinterpret_cast<const char*>(&length), sizeof length) + body;
}

struct body_case_t
{
    const char* name;
    const char* body;
    bool unexpected;
};

// How each body ends the flow: an unexpected message, or nothing (the link
// reads on). A tag cut off by the body's end was never carried: the body
// reads as START_SCAN_RESPONSE, whatever bytes lie past it.
const body_case_t body_cases[] = {
    {"whole CLOSE_FLOW_RESPONSE", "08 20", false},
    {"unknown varint and fixed64, then the tag's key with its value cut off",
     "20 83 82 82 04 b1 00 10 7d a3 a3 42 00 00 00 08", true},
    {"the tag's value cut inside its varint", "08 a0", true},
    {"CLOSE_FLOW_RESPONSE, then a field cut inside its value", "08 20 10 80", false},
    {"empty body", "", true},
};

void PrintTo(const body_case_t& c, std::ostream* out)
{
    *out << c.name;
}

class kestrum_body_test : public ::testing::TestWithParam<body_case_t>
{};

} // namespace

TEST_P(kestrum_body_test, a_body_is_read_with_the_fields_before_its_end_only)
{
    log_capture_t log;
    ts_inventory_t& inventory = ts_inventory_t::instance();
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    boost::asio::io_service io;
    boost::shared_ptr<ts_kestrum_t> kestrum = boost::make_shared<ts_kestrum_t>(&inventory);
    ts_socket_ptr socket = boost::make_shared<boost::asio::local::stream_protocol::socket>(io);
    socket->assign(boost::asio::local::stream_protocol(), fds[0]);
    kestrum->start(socket);

    // The body, then a whole CLOSE_FLOW_RESPONSE: a link that read on takes
    // it too and waits for more.
    const std::string bytes = frame(hex_bytes(GetParam().body)) + frame(hex_bytes("08 20"));
    ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    bool unexpected = false;
    try {
        while (io.poll() > 0) {
        }
    } catch (const boost::system::system_error& error) {
        EXPECT_EQ(error.code(), nx::make_error_code(nx::EC_UNEXPECTED_MESSAGE)) << error.what();
        unexpected = true;
    }
    EXPECT_EQ(unexpected, GetParam().unexpected);
    EXPECT_TRUE(kestrum->is_open()) << "the link must end the daemon, not drop the connection";
    kestrum->close();
    io.poll();
    ::close(fds[1]);
}

INSTANTIATE_TEST_SUITE_P(bodies, kestrum_body_test, ::testing::ValuesIn(body_cases),
                         [](const ::testing::TestParamInfo<body_case_t>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != '\0'; ++c)
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             return name;
                         });
