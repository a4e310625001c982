// A borrowed handle of a kson parser. It releases nothing: whoever made the
// parser frees it, with its tree, through kson_parser_free (the stream
// assembler after its callback; the control channel after a response).
#pragma once

#include <cstdint>

#include "lkm/kson.hpp"
#include "lkm/kson_value.hpp"

class ts_kson_parser_t
{
public:
    ts_kson_parser_t()
        : parser_(nullptr)
    {}
    explicit ts_kson_parser_t(kson_parser_t* parser)
        : parser_(parser)
    {}
    // A new parser over the bytes (not copied), empty for no bytes or no
    // memory. The caller frees get() with kson_parser_free.
    ts_kson_parser_t(const uint8_t* data, uint64_t length)
        : parser_(kson_parser_new(data, length))
    {}

    kson_parser_t* get() const { return parser_; }

    // Parses the next value; true exactly when kson_parse gives 0, root then
    // referring to the new tree. root is empty on every failure.
    bool parse(ts_kson_value_t& root);

private:
    kson_parser_t* parser_;
};
