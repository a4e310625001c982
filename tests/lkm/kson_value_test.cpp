#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lkm/kson_parser.hpp"
#include "lkm/kson_value.hpp"
#include "module_packets.hpp"

namespace mp = module_packets;

class kson_value_test : public ::testing::Test
{
protected:
    void TearDown() override
    {
        for (kson_parser_t* parser : parsers_) {
            kson_parser_free(parser);
        }
    }

    ts_kson_value_t parse(const std::string& body)
    {
        bodies_.push_back(body);
        ts_kson_parser_t parser(reinterpret_cast<const uint8_t*>(bodies_.back().data()), bodies_.back().size());
        parsers_.push_back(parser.get());
        ts_kson_value_t root;
        EXPECT_TRUE(parser.parse(root));
        return root;
    }

    std::vector<std::string> bodies_;
    std::vector<kson_parser_t*> parsers_;
};

TEST_F(kson_value_test, strings_come_out_whole_with_their_nul_bytes)
{
    const std::string text("a\0b\0", 4);
    const ts_kson_value_t value = parse(mp::str(text));
    std::string out = "old";
    ASSERT_TRUE(kson_get_std_string(value, out));
    EXPECT_EQ(out, text);
    std::vector<char> raw(3, 'x');
    ASSERT_TRUE(kson_get_bytes(value, raw));
    EXPECT_EQ(std::string(raw.begin(), raw.end()), text);

    const ts_kson_value_t number = parse(mp::i32(5));
    EXPECT_FALSE(kson_get_std_string(number, out));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(kson_get_bytes(number, raw));
    EXPECT_TRUE(raw.empty());
    EXPECT_FALSE(kson_get_std_string(ts_kson_value_t(), out));
}

TEST_F(kson_value_test, size_counts_items_or_pairs_and_nothing_else)
{
    EXPECT_EQ(kson_size(parse(mp::object({{mp::i32(1), mp::i8(1)}, {mp::i32(2), mp::i8(2)}}, true))), 2u);
    EXPECT_EQ(kson_size(parse(mp::array({mp::i8(1), mp::i8(2), mp::i8(3)}))), 3u);
    EXPECT_EQ(kson_size(parse(mp::str("abc"))), 0u);
    EXPECT_EQ(kson_size(ts_kson_value_t()), 0u);
}

TEST_F(kson_value_test, failed_lookups_leave_an_empty_handle)
{
    const ts_kson_value_t object = parse(mp::object({{mp::i32(7), mp::str("v")}}));
    ts_kson_value_t out;
    ASSERT_TRUE(kson_object_key(object, 0, out));
    int32_t key = 0;
    EXPECT_TRUE(kson_get_int32(out, &key));
    EXPECT_EQ(key, 7);
    ASSERT_TRUE(kson_object_value(object, 0, out));
    EXPECT_TRUE(kson_is_string(out));
    EXPECT_FALSE(kson_object_value(object, 1, out));
    EXPECT_EQ(out.get(), nullptr);
    ASSERT_TRUE(kson_object_key(object, 0, out));
    EXPECT_FALSE(kson_array_item(object, 0, out));
    EXPECT_EQ(out.get(), nullptr);

    const ts_kson_value_t array = parse(mp::array({mp::i16(-3)}));
    ASSERT_TRUE(kson_array_item(array, 0, out));
    int16_t item = 0;
    EXPECT_TRUE(kson_get_int16(out, &item));
    EXPECT_EQ(item, -3);
    EXPECT_FALSE(kson_object_key(array, 0, out));
    EXPECT_EQ(out.get(), nullptr);
    EXPECT_EQ(kson_type(out), 'E');
}

TEST_F(kson_value_test, a_parser_handle_empties_the_root_when_parsing_fails)
{
    ts_kson_parser_t empty;
    ts_kson_value_t root = parse(mp::i8(1));
    EXPECT_FALSE(empty.parse(root));
    EXPECT_EQ(root.get(), nullptr);

    ts_kson_parser_t none(NULL, 0);
    EXPECT_EQ(none.get(), nullptr);

    const std::string body = mp::i8(4) + "?";
    ts_kson_parser_t parser(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    ASSERT_TRUE(parser.parse(root));
    int8_t value = 0;
    EXPECT_TRUE(kson_get_int8(root, &value));
    EXPECT_EQ(value, 4);
    EXPECT_FALSE(parser.parse(root));
    EXPECT_EQ(root.get(), nullptr);
    // A handle over someone else's parser releases nothing.
    {
        ts_kson_parser_t borrowed(parser.get());
        EXPECT_EQ(borrowed.get(), parser.get());
    }
    kson_parser_free(parser.get());
}
