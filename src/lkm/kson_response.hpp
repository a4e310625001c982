// A packet the kernel module sends, and how it is read from a parsed body.
// Every failure here logs its Error line and returns false; lines are built
// only when the threshold lets Error lines through.
#pragma once

#include <cstdint>

#include "lkm/kson_parser.hpp"
#include "lkm/kson_value.hpp"

class ts_kson_response_t
{
public:
    virtual ~ts_kson_response_t() {}
    // Fills the fields from the root object; logs and returns false when the
    // body is not this response. Throws std::bad_alloc.
    virtual bool deserialize(const ts_kson_value_t& root) = 0;
};

// Parses one body (the parser stays the caller's) and deserializes its root
// object into the response.
bool parse_response(ts_kson_response_t& response, ts_kson_parser_t& parser);

// The value of the first pair whose 'I' key equals code. The search ends at
// the first key that is not an 'I' value. No line when nothing matches.
bool find_field(int32_t code, const ts_kson_value_t& root, ts_kson_value_t& out);

// Field NOXEL_FT_PACKET_TYPE, or NOXEL_FT_ERROR, as an 'I' value.
bool get_packet_type(const ts_kson_value_t& root, int32_t& type);
bool get_error_field(const ts_kson_value_t& root, int32_t& error);

// Whether the packet type is expected; logs parse_failed (rate-limited) when
// the type is missing, the "Wrong packet_type: " line with expected_name
// when it is another.
bool check_packet_type(const ts_kson_value_t& root, int32_t expected, const char* parse_failed,
                       const char* expected_name);

// Checks the packet type against expected and reads the error field: the
// common body of the ADD_DIR and DEL_DIR responses. parse_failed is the
// response's own line for a missing type, expected_name the type's name in
// the "Wrong packet_type: " line.
bool read_dir_response(const ts_kson_value_t& root, int32_t expected, const char* parse_failed,
                       const char* expected_name, int32_t& error);

// Logs "Wrong packet_type: " <type> ", expected: " <expected_name>.
void log_wrong_packet_type(int32_t type, const char* expected_name);
