#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lkm/kson.hpp"
#include "lkm_test_util.hpp"

namespace {

typedef std::function<bool(kson_writer_t*)> fill_fn;

bool call_fill(kson_writer_t* root, void* user)
{
    return (*static_cast<fill_fn*>(user))(root);
}

// The packet that kson_serialize builds, or an empty vector when it fails.
byte_vector serialize(fill_fn fill)
{
    size_t size = 0;
    uint8_t* packet = kson_serialize(&call_fill, &fill, &size);
    if (packet == NULL) {
        return byte_vector();
    }
    byte_vector out(packet, packet + size);
    kson_free(packet);
    return out;
}

// A packet holding just the body.
byte_vector packet_of(const byte_vector& body)
{
    const uint32_t length = static_cast<uint32_t>(body.size());
    byte_vector out(4 + body.size());
    memcpy(out.data(), &length, 4);
    std::copy(body.begin(), body.end(), out.begin() + 4);
    return out;
}

struct parsed_t
{
    int result;
    kson_parser_t* parser;
    kson_value_t* root;
};

// The 28-byte ADD_DIR packet for /home.
const byte_vector ADD_DIR_HOME =
    bytes_of({0x18, 0x00, 0x00, 0x00, 0x6F, 0x02, 0x49, 0x00, 0x00, 0x00, 0x00, 0x49, 0x00, 0x00,
              0x00, 0x00, 0x49, 0x01, 0x00, 0x00, 0x00, 0x73, 0x05, 0x2F, 0x68, 0x6F, 0x6D, 0x65});

} // namespace

class kson_test : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (kson_parser_t* parser : parsers_) {
            kson_parser_free(parser);
        }
    }

    // Parses the first value of body; the parser lives until the end of the test.
    parsed_t parse(const byte_vector& body)
    {
        bodies_.push_back(body);
        const byte_vector& kept = bodies_.back();
        parsed_t out = {KSON_PARSE_NO_DATA, kson_parser_new(kept.data(), kept.size()), NULL};
        if (out.parser != NULL) {
            parsers_.push_back(out.parser);
        }
        out.result = kson_parse(out.parser, &out.root);
        return out;
    }

    // Feeds pieces to an assembler and returns the bodies of the packets
    // that reached the callback, in order. ok holds each feed's result.
    std::vector<byte_vector> assemble(const std::vector<byte_vector>& pieces, std::vector<bool>* ok = NULL)
    {
        std::vector<byte_vector> seen;
        kson_stream_t* stream = kson_stream_new(&kson_test::record_body, &seen);
        EXPECT_NE(stream, nullptr);
        for (const byte_vector& piece : pieces) {
            const bool fed = kson_stream_feed(stream, piece.data(), piece.size());
            if (ok != NULL) {
                ok->push_back(fed);
            }
        }
        kson_stream_free(stream);
        return seen;
    }

    static void record_body(kson_parser_t* parser, void* user)
    {
        // The parser has parsed nothing yet; its bytes are the whole body.
        static_cast<std::vector<byte_vector>*>(user)->push_back(
            byte_vector(parser->cursor, parser->cursor + parser->left));
    }

    std::vector<byte_vector> bodies_;
    std::vector<kson_parser_t*> parsers_;
};

TEST_F(kson_test, small_object_with_one_pair_has_the_documented_bytes)
{
    const byte_vector packet = serialize([](kson_writer_t* root) {
        kson_writer_t* object = kson_begin_object(root, false);
        const bool written = kson_put_int32(object, 1) && kson_put_string(object, "ab");
        return kson_end(object) && written;
    });
    EXPECT_EQ(hex_of(packet),
              hex_of(bytes_of({0x0B, 0, 0, 0, 0x6F, 0x01, 0x49, 0x01, 0, 0, 0, 0x73, 0x02, 0x61, 0x62})));
}

TEST_F(kson_test, every_scalar_form_is_written_as_its_marker_and_payload)
{
    struct case_t
    {
        const char* name;
        fill_fn fill;
        byte_vector body;
    };
    const std::vector<case_t> cases = {
        {"null", [](kson_writer_t* r) { return kson_put_null(r); }, bytes_of({'Z'})},
        {"true", [](kson_writer_t* r) { return kson_put_bool(r, true); }, bytes_of({'T'})},
        {"false", [](kson_writer_t* r) { return kson_put_bool(r, false); }, bytes_of({'F'})},
        {"int8", [](kson_writer_t* r) { return kson_put_int8(r, -2); }, bytes_of({'B', 0xFE})},
        {"uint8", [](kson_writer_t* r) { return kson_put_uint8(r, 200); }, bytes_of({'B', 0xC8})},
        {"int16", [](kson_writer_t* r) { return kson_put_int16(r, -2); }, bytes_of({'i', 0xFE, 0xFF})},
        {"uint16", [](kson_writer_t* r) { return kson_put_uint16(r, 0x1234); }, bytes_of({'i', 0x34, 0x12})},
        {"int32 small value stays 32-bit", [](kson_writer_t* r) { return kson_put_int32(r, 1); },
         bytes_of({'I', 1, 0, 0, 0})},
        {"uint32", [](kson_writer_t* r) { return kson_put_uint32(r, 0xA1B2C3D4u); },
         bytes_of({'I', 0xD4, 0xC3, 0xB2, 0xA1})},
        {"int64", [](kson_writer_t* r) { return kson_put_int64(r, -1); },
         bytes_of({'L', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
        {"uint64", [](kson_writer_t* r) { return kson_put_uint64(r, 0x0102030405060708ull); },
         bytes_of({'L', 8, 7, 6, 5, 4, 3, 2, 1})},
        {"empty string", [](kson_writer_t* r) { return kson_put_string(r, ""); }, bytes_of({0x73, 0x00})},
        {"string with NUL", [](kson_writer_t* r) { return kson_put_string_n(r, "a\0b", 3); },
         bytes_of({0x73, 3, 'a', 0, 'b'})},
        {"text cut at NUL", [](kson_writer_t* r) { return kson_put_string(r, "a\0b"); }, bytes_of({0x73, 1, 'a'})},
        {"empty large array", [](kson_writer_t* r) { return kson_end(kson_begin_array(r, true)); },
         bytes_of({'A', 0, 0, 0, 0})},
        {"empty small object", [](kson_writer_t* r) { return kson_end(kson_begin_object(r, false)); },
         bytes_of({'o', 0})},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(hex_of(serialize(c.fill)), hex_of(packet_of(c.body))) << c.name;
    }
}

TEST_F(kson_test, strings_switch_to_the_long_form_above_255_bytes)
{
    struct case_t
    {
        size_t length;
        byte_vector head;
    };
    const std::vector<case_t> cases = {
        {0, bytes_of({0x73, 0x00})},
        {255, bytes_of({0x73, 0xFF})},
        {256, bytes_of({0x53, 0x00, 0x01, 0x00, 0x00})},
        {70000, bytes_of({0x53, 0x70, 0x11, 0x01, 0x00})},
    };
    for (const case_t& c : cases) {
        const std::string text(c.length, 'x');
        const byte_vector packet = serialize([&](kson_writer_t* r) { return kson_put_string(r, text.c_str()); });
        ASSERT_EQ(packet.size(), 4 + c.head.size() + c.length) << c.length;
        EXPECT_EQ(hex_of(byte_vector(packet.begin() + 4, packet.begin() + 4 + c.head.size())), hex_of(c.head))
            << c.length;
        EXPECT_EQ(std::string(packet.begin() + 4 + c.head.size(), packet.end()), text);
    }
}

TEST_F(kson_test, large_containers_carry_their_patched_32_bit_count)
{
    const byte_vector packet = serialize([](kson_writer_t* root) {
        kson_writer_t* object = kson_begin_object(root, true);
        bool written = kson_put_int32(object, 1) && kson_put_null(object) && kson_put_int32(object, 2);
        kson_writer_t* array = kson_begin_array(object, true);
        written = written && kson_put_bool(array, true) && kson_put_bool(array, false) && kson_put_null(array);
        written = kson_end(array) && written;
        return kson_end(object) && written;
    });
    EXPECT_EQ(hex_of(packet),
              hex_of(packet_of(bytes_of({0x4F, 0x02, 0x00, 0x00, 0x00, 'I',  1,    0,    0,    0,   'Z', 'I',
                                         2,    0,    0,    0,    0x41, 0x03, 0x00, 0x00, 0x00, 'T', 'F', 'Z'}))));
}

TEST_F(kson_test, a_fill_that_writes_nothing_makes_no_packet)
{
    fill_fn nothing = [](kson_writer_t*) { return true; };
    size_t size = 99;
    EXPECT_FALSE(kson_measure(&call_fill, &nothing, &size));
    EXPECT_EQ(kson_serialize(&call_fill, &nothing, &size), nullptr);
    fill_fn failing = [](kson_writer_t* r) { return kson_put_null(r) && false; };
    EXPECT_FALSE(kson_measure(&call_fill, &failing, &size));
    EXPECT_EQ(kson_serialize(&call_fill, &failing, &size), nullptr);
    EXPECT_EQ(kson_serialize(NULL, NULL, &size), nullptr);
}

TEST_F(kson_test, measure_counts_the_length_field_and_serialize_into_needs_that_exact_size)
{
    fill_fn fill = [](kson_writer_t* r) { return kson_put_string(r, "abc"); };
    size_t size = 0;
    ASSERT_TRUE(kson_measure(&call_fill, &fill, &size));
    EXPECT_EQ(size, 4u + 5u);
    byte_vector buffer(size);
    ASSERT_TRUE(kson_serialize_into(&call_fill, &fill, buffer.data(), buffer.size()));
    EXPECT_EQ(hex_of(buffer), hex_of(packet_of(bytes_of({0x73, 3, 'a', 'b', 'c'}))));
    byte_vector small(size - 1);
    EXPECT_FALSE(kson_serialize_into(&call_fill, &fill, small.data(), small.size()));
    // A buffer with room left over would send bytes nobody wrote.
    byte_vector large(size + 1);
    EXPECT_FALSE(kson_serialize_into(&call_fill, &fill, large.data(), large.size()));
    EXPECT_FALSE(kson_serialize_into(&call_fill, &fill, buffer.data(), 4));
    EXPECT_FALSE(kson_serialize_into(&call_fill, &fill, NULL, size));
}

TEST_F(kson_test, a_fill_that_writes_differently_in_its_second_pass_fails)
{
    int calls = 0;
    fill_fn shrinking = [&](kson_writer_t* r) { return kson_put_string(r, ++calls == 1 ? "long text" : "x"); };
    EXPECT_TRUE(serialize(shrinking).empty());
    calls = 0;
    fill_fn growing = [&](kson_writer_t* r) { return kson_put_string(r, ++calls == 1 ? "x" : "long text"); };
    EXPECT_TRUE(serialize(growing).empty());
}

TEST_F(kson_test, small_containers_refuse_the_256th_item_or_the_511th_key_or_value)
{
    EXPECT_FALSE(serialize([](kson_writer_t* root) {
                     kson_writer_t* array = kson_begin_array(root, false);
                     bool ok = true;
                     for (int i = 0; i < 255; ++i) {
                         ok = ok && kson_put_null(array);
                     }
                     return kson_end(array) && ok;
                 }).empty());
    bool refused = false;
    EXPECT_TRUE(serialize([&](kson_writer_t* root) {
                    kson_writer_t* array = kson_begin_array(root, false);
                    for (int i = 0; i < 255; ++i) {
                        kson_put_null(array);
                    }
                    refused = !kson_put_null(array);
                    kson_end(array);
                    return !refused;
                }).empty());
    EXPECT_TRUE(refused);

    const byte_vector full_object = serialize([](kson_writer_t* root) {
        kson_writer_t* object = kson_begin_object(root, false);
        bool ok = true;
        for (int i = 0; i < 255; ++i) {
            ok = ok && kson_put_int32(object, i) && kson_put_null(object);
        }
        return kson_end(object) && ok;
    });
    ASSERT_FALSE(full_object.empty());
    EXPECT_EQ(full_object[5], 255);
    refused = false;
    serialize([&](kson_writer_t* root) {
        kson_writer_t* object = kson_begin_object(root, false);
        for (int i = 0; i < 255; ++i) {
            kson_put_int32(object, i);
            kson_put_null(object);
        }
        refused = !kson_put_int32(object, 255);
        kson_end(object);
        return false;
    });
    EXPECT_TRUE(refused);

    // A container closed into a full small parent fails at its close.
    bool closed = true;
    serialize([&](kson_writer_t* root) {
        kson_writer_t* array = kson_begin_array(root, false);
        for (int i = 0; i < 255; ++i) {
            kson_put_null(array);
        }
        closed = kson_end(kson_begin_object(array, false));
        kson_end(array);
        return false;
    });
    EXPECT_FALSE(closed);
}

TEST_F(kson_test, an_object_closed_with_a_key_missing_its_value_fails_in_the_buffer_pass)
{
    fill_fn odd = [](kson_writer_t* root) {
        kson_writer_t* object = kson_begin_object(root, false);
        const bool written = kson_put_int32(object, 1);
        return kson_end(object) && written;
    };
    size_t size = 0;
    EXPECT_TRUE(kson_measure(&call_fill, &odd, &size));
    EXPECT_TRUE(serialize(odd).empty());
}

TEST_F(kson_test, writer_contexts_report_their_kind_and_size_and_refuse_none)
{
    EXPECT_EQ(kson_writer_kind(NULL), KSON_WRITER_NONE);
    EXPECT_EQ(kson_writer_size(NULL), 0u);
    EXPECT_FALSE(kson_put_null(NULL));
    EXPECT_EQ(kson_begin_array(NULL, false), nullptr);
    EXPECT_FALSE(kson_end(NULL));
    EXPECT_FALSE(kson_put_string(NULL, "x"));

    kson_writer_t* counting = kson_writer_counting();
    EXPECT_EQ(kson_writer_kind(counting), KSON_WRITER_COUNTING);
    EXPECT_FALSE(kson_put_string(counting, NULL));
    kson_writer_t* array = kson_begin_array(counting, false);
    EXPECT_EQ(kson_writer_kind(array), KSON_WRITER_ARRAY);
    EXPECT_TRUE(kson_put_int16(array, 7));
    EXPECT_EQ(kson_writer_size(counting), 2u + 3u);
    EXPECT_TRUE(kson_end(array));
    EXPECT_TRUE(kson_end(counting));

    uint8_t buffer[4];
    EXPECT_EQ(kson_writer_new(buffer, 0), nullptr);
    EXPECT_EQ(kson_writer_new(NULL, 4), nullptr);
    kson_writer_t* root = kson_writer_new(buffer, sizeof(buffer));
    EXPECT_EQ(kson_writer_kind(root), KSON_WRITER_BUFFER);
    EXPECT_TRUE(kson_put_int8(root, 5));
    EXPECT_EQ(kson_writer_size(root), 2u);
    // Three bytes needed, two left.
    EXPECT_FALSE(kson_put_int16(root, 5));
    EXPECT_EQ(kson_begin_object(kson_writer_new(buffer, 0), false), nullptr);
    EXPECT_TRUE(kson_end(root));
}

TEST_F(kson_test, a_nested_tree_reads_back_through_the_getters)
{
    std::string big(300, 'q');
    big[10] = '\0';
    const byte_vector packet = serialize([&](kson_writer_t* root) {
        kson_writer_t* object = kson_begin_object(root, false);
        bool ok = kson_put_string(object, "list");
        kson_writer_t* array = kson_begin_array(object, false);
        ok = ok && kson_put_int8(array, -5) && kson_put_uint16(array, 65000) && kson_put_int32(array, -70000) &&
             kson_put_uint64(array, 1ull << 40) && kson_put_bool(array, true) &&
             kson_put_string_n(array, big.data(), big.size());
        ok = kson_end(array) && ok;
        ok = ok && kson_put_int32(object, 9) && kson_put_null(object);
        return kson_end(object) && ok;
    });
    ASSERT_FALSE(packet.empty());
    const parsed_t p = parse(byte_vector(packet.begin() + 4, packet.end()));
    ASSERT_EQ(p.result, KSON_PARSE_OK);
    uint64_t size = 0;
    ASSERT_TRUE(kson_object_size(p.root, &size));
    EXPECT_EQ(size, 2u);
    kson_value_t* key = NULL;
    kson_value_t* value = NULL;
    ASSERT_TRUE(kson_object_key(p.root, 0, &key));
    const char* data = NULL;
    ASSERT_TRUE(kson_string_data(key, &data));
    EXPECT_EQ(std::string(data, 4), "list");
    ASSERT_TRUE(kson_object_value(p.root, 0, &value));
    ASSERT_TRUE(kson_array_size(value, &size));
    EXPECT_EQ(size, 6u);
    kson_value_t* item = NULL;
    int8_t i8;
    uint16_t u16;
    int32_t i32;
    uint64_t u64;
    bool flag = false;
    ASSERT_TRUE(kson_array_item(value, 0, &item));
    EXPECT_TRUE(kson_get_int8(item, &i8));
    EXPECT_EQ(i8, -5);
    ASSERT_TRUE(kson_array_item(value, 1, &item));
    EXPECT_TRUE(kson_get_uint16(item, &u16));
    EXPECT_EQ(u16, 65000);
    ASSERT_TRUE(kson_array_item(value, 2, &item));
    EXPECT_TRUE(kson_get_int32(item, &i32));
    EXPECT_EQ(i32, -70000);
    ASSERT_TRUE(kson_array_item(value, 3, &item));
    EXPECT_TRUE(kson_get_uint64(item, &u64));
    EXPECT_EQ(u64, 1ull << 40);
    ASSERT_TRUE(kson_array_item(value, 4, &item));
    EXPECT_TRUE(kson_get_bool(item, &flag));
    EXPECT_TRUE(flag);
    ASSERT_TRUE(kson_array_item(value, 5, &item));
    EXPECT_EQ(kson_type(item), KSON_STRING32);
    ASSERT_TRUE(kson_string_length(item, &size));
    ASSERT_TRUE(kson_string_data(item, &data));
    EXPECT_EQ(std::string(data, size), big);
    EXPECT_FALSE(kson_array_item(value, 6, &item));
    ASSERT_TRUE(kson_object_value(p.root, 1, &value));
    EXPECT_TRUE(kson_is_null(value));
    EXPECT_FALSE(kson_object_key(p.root, 2, &key));
}

TEST_F(kson_test, getters_accept_only_their_own_marker)
{
    const parsed_t i16 = parse(bytes_of({'i', 1, 0}));
    const parsed_t i32 = parse(bytes_of({'I', 1, 0, 0, 0}));
    const parsed_t text = parse(bytes_of({'s', 1, 'x'}));
    ASSERT_EQ(i16.result, KSON_PARSE_OK);
    ASSERT_EQ(i32.result, KSON_PARSE_OK);
    ASSERT_EQ(text.result, KSON_PARSE_OK);
    int32_t wide = 0;
    int16_t narrow = 0;
    EXPECT_FALSE(kson_get_int32(i16.root, &wide));
    EXPECT_FALSE(kson_get_int16(i32.root, &narrow));
    EXPECT_FALSE(kson_get_int64(i32.root, NULL));
    EXPECT_TRUE(kson_get_int32(i32.root, NULL));
    EXPECT_FALSE(kson_get_bool(i32.root, NULL));
    EXPECT_FALSE(kson_string_data(i32.root, NULL));
    EXPECT_FALSE(kson_array_size(text.root, NULL));
    EXPECT_FALSE(kson_object_size(text.root, NULL));
    EXPECT_FALSE(kson_object_key(text.root, 0, NULL));
    EXPECT_FALSE(kson_array_item(NULL, 0, NULL));
    EXPECT_EQ(kson_type(NULL), 'E');
    EXPECT_FALSE(kson_is_null(NULL));
    EXPECT_TRUE(kson_is_string(text.root));
    EXPECT_FALSE(kson_is_object(text.root));
}

TEST_F(kson_test, parse_results_for_edge_bodies)
{
    struct case_t
    {
        const char* name;
        byte_vector body;
        int result;
    };
    std::vector<case_t> cases = {
        {"int with a trailing byte", bytes_of({0x49, 1, 0, 0, 0, 0xFF}), KSON_PARSE_OK},
        {"int cut short", bytes_of({0x49, 1, 0}), KSON_PARSE_MALFORMED},
        {"E is no marker", bytes_of({0x45}), KSON_PARSE_MALFORMED},
        {"array missing an item", bytes_of({0x61, 2, 0x5A}), KSON_PARSE_MALFORMED},
        {"string cut short", bytes_of({0x73, 5, 0x61, 0x62}), KSON_PARSE_MALFORMED},
        {"null", bytes_of({0x5A}), KSON_PARSE_OK},
        {"string length missing", bytes_of({0x53, 1, 0}), KSON_PARSE_MALFORMED},
        {"count missing", bytes_of({0x41, 1}), KSON_PARSE_MALFORMED},
        {"object missing a value", bytes_of({0x6F, 1, 'Z'}), KSON_PARSE_MALFORMED},
        {"empty large object", bytes_of({0x4F, 0, 0, 0, 0}), KSON_PARSE_OK},
        {"float marker", bytes_of({'d', 0, 0, 0, 0, 0, 0, 0, 0}), KSON_PARSE_MALFORMED},
        // Four billion items announced in five bytes: refused, not allocated.
        {"huge array count", bytes_of({0x41, 0xFF, 0xFF, 0xFF, 0xFF, 'Z'}), KSON_PARSE_MALFORMED},
        {"huge object count", bytes_of({0x4F, 0xFF, 0xFF, 0xFF, 0xFF, 'Z', 'Z'}), KSON_PARSE_MALFORMED},
        {"huge string length", bytes_of({0x53, 0xFF, 0xFF, 0xFF, 0xFF, 'x'}), KSON_PARSE_MALFORMED},
        {"bad marker deep inside", bytes_of({0x61, 2, 0x61, 1, 'Z', 0x6F, 1, 'Z', '?'}), KSON_PARSE_MALFORMED},
    };
    // Nesting up to the bound parses; one level more is malformed.
    byte_vector deepest, too_deep;
    for (int i = 0; i < KSON_MAX_DEPTH; ++i) {
        deepest.push_back('a');
        deepest.push_back(1);
    }
    deepest.push_back('Z');
    too_deep = deepest;
    too_deep.insert(too_deep.begin(), {'a', 1});
    cases.push_back({"nesting at the bound", deepest, KSON_PARSE_OK});
    cases.push_back({"nesting past the bound", too_deep, KSON_PARSE_MALFORMED});
    for (const case_t& c : cases) {
        const parsed_t p = parse(c.body);
        EXPECT_EQ(p.result, c.result) << c.name;
        if (c.result == KSON_PARSE_OK) {
            EXPECT_NE(p.root, nullptr) << c.name;
        } else {
            EXPECT_EQ(p.parser->root, nullptr) << c.name;
        }
    }
}

namespace {

// A field of /proc/self/status in kB, -1 when absent.
long status_kb(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

} // namespace

// Each container announces as many items as the rest of the body has
// bytes, so each is acceptable on its own; together their tables would be
// the body's size in pointers once per level.
TEST_F(kson_test, nested_containers_commit_memory_in_proportion_to_the_body)
{
    const size_t body_size = KSON_MAX_BODY;
    const int levels = 32;
    byte_vector body;
    body.reserve(body_size);
    for (int i = 0; i < levels; ++i) {
        body.push_back('A');
        const uint32_t count = static_cast<uint32_t>(body_size - body.size() - 4);
        body.insert(body.end(), reinterpret_cast<const uint8_t*>(&count), reinterpret_cast<const uint8_t*>(&count) + 4);
    }
    body.resize(body_size, 'Z');

    // Peak resident memory of this process, reset to the current one.
    std::ofstream("/proc/self/clear_refs") << "5";
    const long before = status_kb("VmRSS");
    const long peak_before = status_kb("VmHWM");
    ASSERT_GT(before, 0);
    ASSERT_LE(peak_before, before + 1024) << "the peak could not be reset";
    EXPECT_EQ(parse(body).result, KSON_PARSE_MALFORMED);
    const long committed_kb = status_kb("VmHWM") - before;
    // One level's table is 8 MiB; every further level would add as much.
    // ThreadSanitizer keeps four bytes of shadow for each byte touched,
    // and they count as resident too.
#if defined(__SANITIZE_THREAD__)
    const long shadow_factor = 5;
#else
    const long shadow_factor = 1;
#endif
    EXPECT_LT(committed_kb, shadow_factor * 20 * 1024) << "kB committed for a body of " << body_size << " bytes";
}

TEST_F(kson_test, parsing_walks_the_values_of_a_body_in_turn)
{
    const parsed_t p = parse(bytes_of({0x5A, 0x49, 7, 0, 0, 0}));
    ASSERT_EQ(p.result, KSON_PARSE_OK);
    EXPECT_TRUE(kson_is_null(p.root));
    kson_value_t* second = NULL;
    ASSERT_EQ(kson_parse(p.parser, &second), KSON_PARSE_OK);
    int32_t value = 0;
    EXPECT_TRUE(kson_get_int32(second, &value));
    EXPECT_EQ(value, 7);
    EXPECT_EQ(kson_parse(p.parser, &second), KSON_PARSE_END);

    EXPECT_EQ(kson_parser_new(bytes_of({1}).data(), 0), nullptr);
    EXPECT_EQ(kson_parser_new(NULL, 3), nullptr);
    EXPECT_EQ(kson_parse(NULL, &second), KSON_PARSE_NO_DATA);
    kson_parser_free(NULL);
    kson_value_free(NULL);
}

TEST_F(kson_test, the_assembler_hands_out_each_packet_once_however_it_is_split)
{
    const byte_vector body(ADD_DIR_HOME.begin() + 4, ADD_DIR_HOME.end());
    std::vector<std::vector<byte_vector>> splits;
    splits.push_back({ADD_DIR_HOME});
    std::vector<byte_vector> per_byte;
    for (uint8_t b : ADD_DIR_HOME) {
        per_byte.push_back(byte_vector(1, b));
    }
    splits.push_back(per_byte);
    splits.push_back({byte_vector(ADD_DIR_HOME.begin(), ADD_DIR_HOME.begin() + 3),
                      byte_vector(ADD_DIR_HOME.begin() + 3, ADD_DIR_HOME.end())});
    splits.push_back({byte_vector(ADD_DIR_HOME.begin(), ADD_DIR_HOME.begin() + 2),
                      byte_vector(ADD_DIR_HOME.begin() + 2, ADD_DIR_HOME.begin() + 4),
                      byte_vector(ADD_DIR_HOME.begin() + 4, ADD_DIR_HOME.end())});
    for (size_t i = 0; i < splits.size(); ++i) {
        const std::vector<byte_vector> seen = assemble(splits[i]);
        ASSERT_EQ(seen.size(), 1u) << "split " << i;
        EXPECT_EQ(hex_of(seen[0]), hex_of(body)) << "split " << i;
    }
}

TEST_F(kson_test, the_assembler_keeps_stream_order_and_skips_empty_bodies)
{
    byte_vector stream = packet_of(bytes_of({'Z'}));
    const byte_vector empty = packet_of(byte_vector());
    stream.insert(stream.end(), empty.begin(), empty.end());
    const byte_vector second = packet_of(bytes_of({'s', 1, 'x'}));
    stream.insert(stream.end(), second.begin(), second.end());
    const std::vector<byte_vector> seen = assemble({stream});
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(hex_of(seen[0]), hex_of(bytes_of({'Z'})));
    EXPECT_EQ(hex_of(seen[1]), hex_of(bytes_of({'s', 1, 'x'})));
}

TEST_F(kson_test, the_assembler_refuses_a_length_beyond_the_bound_and_stays_failed)
{
    const uint32_t too_long = KSON_MAX_BODY + 1;
    byte_vector header(4);
    memcpy(header.data(), &too_long, 4);
    std::vector<bool> ok;
    const std::vector<byte_vector> seen = assemble({header, packet_of(bytes_of({'Z'}))}, &ok);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(ok, std::vector<bool>({false, false}));

    const byte_vector at_bound_header = [] {
        byte_vector h(4);
        const uint32_t length = KSON_MAX_BODY;
        memcpy(h.data(), &length, 4);
        return h;
    }();
    ok.clear();
    assemble({at_bound_header, byte_vector(1000, 'Z')}, &ok);
    EXPECT_EQ(ok, std::vector<bool>({true, true}));
}

TEST_F(kson_test, the_assembler_checks_its_arguments)
{
    EXPECT_FALSE(kson_stream_feed(NULL, "x", 1));
    kson_stream_t* stream = kson_stream_new(NULL, NULL);
    ASSERT_NE(stream, nullptr);
    EXPECT_FALSE(kson_stream_feed(stream, NULL, 1));
    EXPECT_TRUE(kson_stream_feed(stream, "", 0));
    // Without a callback complete bodies are dropped; a half body is freed
    // with the assembler.
    const byte_vector packet = packet_of(bytes_of({'Z'}));
    EXPECT_TRUE(kson_stream_feed(stream, packet.data(), packet.size()));
    EXPECT_TRUE(kson_stream_feed(stream, packet.data(), packet.size() - 1));
    kson_stream_free(stream);
    kson_stream_free(NULL);
}

// Random bytes, and valid packets with random bytes changed, never make the
// parser read outside the body (the sanitizer build watches) or leak.
TEST_F(kson_test, random_bodies_never_read_past_the_body)
{
    std::mt19937 random(20240611);
    const char markers[] = "ZTFBiILsSaAoO";
    for (int round = 0; round < 20000; ++round) {
        const size_t length = 1 + random() % 64;
        // A heap block of exactly the length, so any overread is caught.
        byte_vector body(length);
        for (size_t i = 0; i < length; ++i) {
            const unsigned pick = random() % 4;
            body[i] = pick == 0 ? static_cast<uint8_t>(markers[random() % 13])
                                : static_cast<uint8_t>(random() % (pick == 1 ? 4 : 256));
        }
        kson_parser_t* parser = kson_parser_new(body.data(), body.size());
        ASSERT_NE(parser, nullptr);
        kson_value_t* root = NULL;
        int result;
        int values = 0;
        while ((result = kson_parse(parser, &root)) == KSON_PARSE_OK) {
            ++values;
            ASSERT_LE(values, static_cast<int>(length));
        }
        EXPECT_TRUE(result == KSON_PARSE_END || result == KSON_PARSE_MALFORMED) << hex_of(body);
        kson_parser_free(parser);

        std::vector<byte_vector> seen;
        kson_stream_t* stream = kson_stream_new(&kson_test::record_body, &seen);
        kson_stream_feed(stream, body.data(), body.size());
        kson_stream_free(stream);
    }
    const byte_vector valid(ADD_DIR_HOME.begin() + 4, ADD_DIR_HOME.end());
    for (int round = 0; round < 5000; ++round) {
        byte_vector mutated = valid;
        mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
        mutated.resize(1 + random() % mutated.size());
        kson_parser_t* parser = kson_parser_new(mutated.data(), mutated.size());
        kson_value_t* root = NULL;
        const int result = kson_parse(parser, &root);
        EXPECT_TRUE(result == KSON_PARSE_OK || result == KSON_PARSE_MALFORMED);
        kson_parser_free(parser);
    }
}
