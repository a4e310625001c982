#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lkm/kson_request.hpp"
#include "lkm/lkm_messages.hpp"
#include "lkm_test_util.hpp"
#include "module_packets.hpp"

namespace {

std::vector<char> serialized(const ts_kson_request_t& request)
{
    std::vector<char> packet;
    size_t size = 0;
    EXPECT_TRUE(serialize_request(request, packet, size));
    EXPECT_EQ(size, packet.size());
    return packet;
}

// Writes a key without its value: the object cannot be closed.
class half_pair_request_t : public ts_kson_request_t
{
public:
    bool serialize(kson_writer_t* object) const override { return kson_put_int32(object, 0); }
};

} // namespace

class kson_request_test : public ::testing::Test
{
protected:
    log_capture_t log_;
};

TEST_F(kson_request_test, add_and_del_dir_for_home_have_the_documented_bytes)
{
    EXPECT_EQ(hex_of(serialized(ts_lkm_add_dir_request_t("/home"))),
              hex_of(bytes_of({0x18, 0x00, 0x00, 0x00, 0x6F, 0x02, 0x49, 0x00, 0x00, 0x00, 0x00, 0x49, 0x00, 0x00,
                               0x00, 0x00, 0x49, 0x01, 0x00, 0x00, 0x00, 0x73, 0x05, 0x2F, 0x68, 0x6F, 0x6D, 0x65})));
    EXPECT_EQ(hex_of(serialized(ts_lkm_del_dir_request_t("/home"))),
              hex_of(bytes_of({0x18, 0x00, 0x00, 0x00, 0x6F, 0x02, 0x49, 0x00, 0x00, 0x00, 0x00, 0x49, 0x02, 0x00,
                               0x00, 0x00, 0x49, 0x01, 0x00, 0x00, 0x00, 0x73, 0x05, 0x2F, 0x68, 0x6F, 0x6D, 0x65})));
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(kson_request_test, the_module_reads_back_what_the_daemon_writes)
{
    struct case_t
    {
        std::string dir;
        bool add;
        std::string expected;
    };
    const std::vector<case_t> cases = {
        {"/", true, "/"},
        {std::string(255, 'd'), true, std::string(255, 'd')},
        {"/" + std::string(299, 'x'), false, "/" + std::string(299, 'x')},
        {"/with space/and \"quote\"", true, "/with space/and \"quote\""},
        {std::string("/mnt\0tail", 9), false, "/mnt"},
        {"", true, ""},
    };
    for (const case_t& c : cases) {
        const std::vector<char> packet =
            c.add ? serialized(ts_lkm_add_dir_request_t(c.dir)) : serialized(ts_lkm_del_dir_request_t(c.dir));
        ASSERT_GE(packet.size(), 4u);
        uint32_t length = 0;
        memcpy(&length, packet.data(), 4);
        EXPECT_EQ(length, packet.size() - 4);
        int32_t type = -1;
        std::string dir;
        ASSERT_TRUE(module_packets::decode_dir_request(std::string(packet.begin() + 4, packet.end()), type, dir))
            << hex_of(packet);
        EXPECT_EQ(type, c.add ? 0 : 2);
        EXPECT_EQ(dir, c.expected);
    }
}

TEST_F(kson_request_test, a_directory_of_300_bytes_uses_the_long_string_form)
{
    const std::vector<char> packet = serialized(ts_lkm_add_dir_request_t(std::string(300, 'p')));
    ASSERT_EQ(packet.size(), 4u + 2 + 10 + 5 + 5 + 300);
    EXPECT_EQ(hex_of(std::vector<char>(packet.begin() + 16, packet.begin() + 26)),
              hex_of(bytes_of({0x49, 0x01, 0x00, 0x00, 0x00, 0x53, 0x2C, 0x01, 0x00, 0x00})));
}

TEST_F(kson_request_test, a_request_that_cannot_be_written_gives_no_packet)
{
    std::vector<char> packet;
    size_t size = 7;
    EXPECT_FALSE(serialize_request(half_pair_request_t(), packet, size));
    EXPECT_FALSE(serialize_request(refusing_request_t(), packet, size));
    EXPECT_TRUE(packet.empty());
    EXPECT_EQ(size, 7u);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(kson_request_test, an_object_that_cannot_be_opened_is_logged)
{
    const ts_lkm_add_dir_request_t request("/x");
    EXPECT_FALSE(fill_request_object(NULL, const_cast<ts_lkm_add_dir_request_t*>(&request)));
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0],
              std::make_pair(static_cast<int>(LOG_ERROR_LEVEL), std::string("Couldn't create object for request")));
}
