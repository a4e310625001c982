// A borrowed handle of one parsed kson value, and the codec's accessors over
// it. The handle owns nothing: it is valid as long as the parser whose tree
// it points into.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lkm/kson.hpp"

class ts_kson_value_t
{
public:
    ts_kson_value_t()
        : value_(nullptr)
    {}
    explicit ts_kson_value_t(kson_value_t* value)
        : value_(value)
    {}

    kson_value_t* get() const { return value_; }
    void reset(kson_value_t* value = nullptr) { value_ = value; }

private:
    kson_value_t* value_;
};

// The codec's accessors under the same names; false for an empty handle.
int kson_type(const ts_kson_value_t& value);
bool kson_is_null(const ts_kson_value_t& value);
bool kson_is_bool(const ts_kson_value_t& value);
bool kson_is_string(const ts_kson_value_t& value);
bool kson_is_array(const ts_kson_value_t& value);
bool kson_is_object(const ts_kson_value_t& value);
bool kson_get_int8(const ts_kson_value_t& value, int8_t* out);
bool kson_get_uint8(const ts_kson_value_t& value, uint8_t* out);
bool kson_get_int16(const ts_kson_value_t& value, int16_t* out);
bool kson_get_uint16(const ts_kson_value_t& value, uint16_t* out);
bool kson_get_int32(const ts_kson_value_t& value, int32_t* out);
bool kson_get_uint32(const ts_kson_value_t& value, uint32_t* out);
bool kson_get_int64(const ts_kson_value_t& value, int64_t* out);
bool kson_get_uint64(const ts_kson_value_t& value, uint64_t* out);
bool kson_get_bool(const ts_kson_value_t& value, bool* out);

// These empty out first, so a failed lookup leaves an empty handle.
bool kson_object_key(const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out);
bool kson_object_value(const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out);
bool kson_array_item(const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out);

// All bytes of an 's' or 'S' value, NUL bytes included; anything else gives
// false and an empty out. Throws std::bad_alloc.
bool kson_get_std_string(const ts_kson_value_t& value, std::string& out);
bool kson_get_bytes(const ts_kson_value_t& value, std::vector<char>& out);

// Item count of an array, pair count of an object; 0 for anything else.
uint64_t kson_size(const ts_kson_value_t& value);
