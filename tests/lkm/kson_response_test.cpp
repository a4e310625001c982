#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lkm/kson_response.hpp"
#include "lkm/lkm_messages.hpp"
#include "lkm_test_util.hpp"
#include "module_packets.hpp"

namespace mp = module_packets;

namespace {

enum response_kind_t { ADD_DIR, DEL_DIR, EVENT_PATH };

std::string wrong_type(int type, const char* expected)
{
    return std::string("Wrong packet_type: ") + std::to_string(type) + ", expected: " + expected;
}

struct case_t
{
    const char* name;
    response_kind_t kind;
    std::string body;
    bool parsed;
    std::vector<std::string> lines;
    int32_t error;    // dir responses
    std::string path; // EVENT_PATH
    uint32_t pid;     // EVENT_PATH
};

const mp::bytes_t TYPE_ADD_RESP = mp::i32(0) + mp::i32(1);

std::vector<case_t> cases()
{
    using mp::i32;
    using mp::object;
    using mp::str;
    const std::string add_ok = object({{i32(0), i32(1)}, {i32(4), i32(0)}});
    return {
        {"add response error 0", ADD_DIR, add_ok, true, {}, 0, "", 0},
        {"documented bytes",
         ADD_DIR,
         std::string("\x6F\x02\x49\x00\x00\x00\x00\x49\x01\x00\x00\x00\x49\x04\x00\x00\x00\x49\x00\x00\x00\x00", 22),
         true,
         {},
         0,
         "",
         0},
        {"pairs swapped", ADD_DIR, object({{i32(4), i32(0)}, {i32(0), i32(1)}}), true, {}, 0, "", 0},
        {"refused with 1", ADD_DIR, object({{i32(0), i32(1)}, {i32(4), i32(1)}}), true, {}, 1, "", 0},
        {"large object, extra pair",
         ADD_DIR,
         object({{i32(9), str("x")}, {i32(0), i32(1)}, {i32(4), i32(-1)}}, true),
         true,
         {},
         -1,
         "",
         0},
        {"add answer to a del", DEL_DIR, add_ok, false, {wrong_type(1, "NOXEL_PT_DEL_DIR_RESP")}, 0, "", 0},
        {"del response", DEL_DIR, object({{i32(0), i32(3)}, {i32(4), i32(-1)}}), true, {}, -1, "", 0},
        {"del answer to an add",
         ADD_DIR,
         object({{i32(0), i32(3)}, {i32(4), i32(0)}}),
         false,
         {wrong_type(3, "NOXEL_PT_ADD_DIR_RESP")},
         0,
         "",
         0},
        {"negative type",
         ADD_DIR,
         object({{i32(0), i32(-7)}, {i32(4), i32(0)}}),
         false,
         {wrong_type(-7, "NOXEL_PT_ADD_DIR_RESP")},
         0,
         "",
         0},
        {"first key not an I value",
         ADD_DIR,
         object({{mp::i16(0), i32(1)}, {i32(0), i32(1)}, {i32(4), i32(0)}}),
         false,
         {"Couldn't retrieve object's field value", "Couldn't parse packet : packet type field is absent",
          "Error in parse ADD_DIR_RESPONSE packet"},
         0,
         "",
         0},
        {"first of two type pairs wins",
         DEL_DIR,
         object({{i32(0), i32(1)}, {i32(0), i32(3)}, {i32(4), i32(0)}}),
         false,
         {wrong_type(1, "NOXEL_PT_DEL_DIR_RESP")},
         0,
         "",
         0},
        {"type as B",
         ADD_DIR,
         object({{i32(0), mp::i8(1)}, {i32(4), i32(0)}}),
         false,
         {"Couldn't parse packet : unable to retrieve field type", "Error in parse ADD_DIR_RESPONSE packet"},
         0,
         "",
         0},
        {"type as i",
         DEL_DIR,
         object({{i32(0), mp::i16(3)}, {i32(4), i32(0)}}),
         false,
         {"Couldn't parse packet : unable to retrieve field type", "Error in parse DEL_DIR_RESPONSE packet"},
         0,
         "",
         0},
        {"no type",
         DEL_DIR,
         object({{i32(4), i32(0)}}),
         false,
         {"Couldn't parse packet : packet type field is absent", "Error in parse DEL_DIR_RESPONSE packet"},
         0,
         "",
         0},
        {"no error field",
         ADD_DIR,
         object({{i32(0), i32(1)}}),
         false,
         {"Couldn't parse packet : error field is absent"},
         0,
         "",
         0},
        {"error field as i",
         ADD_DIR,
         object({{i32(0), i32(1)}, {i32(4), mp::i16(0)}}),
         false,
         {"Couldn't parse packet: error while retrieving error value"},
         0,
         "",
         0},
        {"documented event",
         EVENT_PATH,
         std::string("\x6F\x03\x49\x00\x00\x00\x00\x49\x04\x00\x00\x00\x49\x02\x00\x00\x00\x73\x0A/etc/hosts"
                     "\x49\x03\x00\x00\x00\x49\x2C\x03\x00\x00",
                     39),
         true,
         {},
         0,
         "/etc/hosts",
         812},
        {"event in another order with extra pairs",
         EVENT_PATH,
         object({{i32(3), i32(77)}, {i32(8), mp::array({})}, {i32(2), str(std::string("/a\0b", 4))}, {i32(0), i32(4)}}),
         true,
         {},
         0,
         std::string("/a\0b", 4),
         77},
        {"event with a long path",
         EVENT_PATH,
         object({{i32(0), i32(4)}, {i32(2), str("/" + std::string(400, 'z'))}, {i32(3), i32(1)}}),
         true,
         {},
         0,
         "/" + std::string(400, 'z'),
         1},
        {"event of type 1", EVENT_PATH, add_ok, false, {wrong_type(1, "NOXEL_PT_EVENT_PATH")}, 0, "", 0},
        {"event without type",
         EVENT_PATH,
         object({{i32(2), str("/x")}, {i32(3), i32(1)}}),
         false,
         {"Couldn't parse packet : packet type field is absent", "Error in parse EVENT_PATH packet"},
         0,
         "",
         0},
        {"event without path",
         EVENT_PATH,
         object({{i32(0), i32(4)}, {i32(3), i32(1)}}),
         false,
         {"Error in parse EVENT_PATH packet, couldn't find NOXEL_FT_PATH field"},
         0,
         "",
         0},
        {"event path not a string",
         EVENT_PATH,
         object({{i32(0), i32(4)}, {i32(2), i32(5)}, {i32(3), i32(1)}}),
         false,
         {"Error in parse EVENT_PATH packet, couldn't read path"},
         0,
         "",
         0},
        {"event without pid", EVENT_PATH, object({{i32(0), i32(4)}, {i32(2), str("/x")}}), false, {}, 0, "/x", 0},
        {"event pid as L",
         EVENT_PATH,
         object({{i32(0), i32(4)}, {i32(2), str("/x")}, {i32(3), mp::i64(1)}}),
         false,
         {"Error in parse EVENT_PATH packet, couldn't read pid"},
         0,
         "/x",
         0},
        {"array body", ADD_DIR, mp::array({i32(0), i32(1)}), false, {"the value is not object!"}, 0, "", 0},
        {"string body", EVENT_PATH, str("/etc/hosts"), false, {"the value is not object!"}, 0, "", 0},
        {"body cut short", ADD_DIR, add_ok.substr(0, add_ok.size() - 2), false, {"parser has no values!"}, 0, "", 0},
        {"empty body", DEL_DIR, "", false, {"parser has no values!"}, 0, "", 0},
    };
}

} // namespace

class kson_response_test : public ::testing::TestWithParam<case_t>
{
protected:
    // Parses the body into a response of the case's kind, as the control
    // channel does: the parser is made and freed here.
    bool parse(const case_t& c, ts_kson_response_t& response)
    {
        ts_kson_parser_t parser(reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size());
        const bool parsed = parse_response(response, parser);
        kson_parser_free(parser.get());
        return parsed;
    }

    log_capture_t log_;
};

TEST_P(kson_response_test, reads_the_body_or_logs_each_failing_level)
{
    const case_t& c = GetParam();
    ts_lkm_add_dir_response_t add;
    ts_lkm_del_dir_response_t del;
    ts_lkm_event_path_response_t event;
    ts_kson_response_t& response = c.kind == ADD_DIR   ? static_cast<ts_kson_response_t&>(add)
                                   : c.kind == DEL_DIR ? static_cast<ts_kson_response_t&>(del)
                                                       : static_cast<ts_kson_response_t&>(event);
    EXPECT_EQ(parse(c, response), c.parsed);
    EXPECT_EQ(log_.texts(), c.lines);
    for (const auto& line : log_.lines()) {
        EXPECT_EQ(line.first, LOG_ERROR_LEVEL) << line.second;
    }
    if (c.parsed && c.kind == ADD_DIR) {
        EXPECT_EQ(add.error, c.error);
    }
    if (c.parsed && c.kind == DEL_DIR) {
        EXPECT_EQ(del.error, c.error);
    }
    if (c.kind == EVENT_PATH && !c.path.empty()) {
        ASSERT_TRUE(event.path);
        EXPECT_EQ(*event.path, c.path);
        if (c.parsed) {
            EXPECT_EQ(event.pid, c.pid);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(bodies, kson_response_test, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<case_t>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name) {
                                 if (!isalnum(static_cast<unsigned char>(ch))) {
                                     ch = '_';
                                 }
                             }
                             return name;
                         });

class kson_response_threshold_test : public ::testing::Test
{};

TEST_F(kson_response_threshold_test, each_deserialize_takes_a_new_path_string_and_logs_nothing_above_error)
{
    log_capture_t log(LOG_ERROR_LEVEL + 1);
    const std::string first =
        mp::object({{mp::i32(0), mp::i32(4)}, {mp::i32(2), mp::str("/one")}, {mp::i32(3), mp::i32(1)}});
    const std::string bad = mp::object({{mp::i32(0), mp::i32(9)}});
    ts_lkm_event_path_response_t event;
    ts_kson_parser_t parser(reinterpret_cast<const uint8_t*>(first.data()), first.size());
    ASSERT_TRUE(parse_response(event, parser));
    kson_parser_free(parser.get());
    const boost::shared_ptr<std::string> kept = event.path;
    ts_kson_parser_t second(reinterpret_cast<const uint8_t*>(first.data()), first.size());
    ASSERT_TRUE(parse_response(event, second));
    kson_parser_free(second.get());
    EXPECT_NE(kept, event.path);
    EXPECT_EQ(*kept, "/one");
    ts_kson_parser_t third(reinterpret_cast<const uint8_t*>(bad.data()), bad.size());
    EXPECT_FALSE(parse_response(event, third));
    kson_parser_free(third.get());
    EXPECT_TRUE(log.lines().empty());
}
