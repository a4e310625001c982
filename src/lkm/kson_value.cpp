#include "lkm/kson_value.hpp"

int kson_type(const ts_kson_value_t& value)
{
    return kson_type(value.get());
}
bool kson_is_null(const ts_kson_value_t& value)
{
    return kson_is_null(value.get());
}
bool kson_is_bool(const ts_kson_value_t& value)
{
    return kson_is_bool(value.get());
}
bool kson_is_string(const ts_kson_value_t& value)
{
    return kson_is_string(value.get());
}
bool kson_is_array(const ts_kson_value_t& value)
{
    return kson_is_array(value.get());
}
bool kson_is_object(const ts_kson_value_t& value)
{
    return kson_is_object(value.get());
}
bool kson_get_int8(const ts_kson_value_t& value, int8_t* out)
{
    return kson_get_int8(value.get(), out);
}
bool kson_get_uint8(const ts_kson_value_t& value, uint8_t* out)
{
    return kson_get_uint8(value.get(), out);
}
bool kson_get_int16(const ts_kson_value_t& value, int16_t* out)
{
    return kson_get_int16(value.get(), out);
}
bool kson_get_uint16(const ts_kson_value_t& value, uint16_t* out)
{
    return kson_get_uint16(value.get(), out);
}
bool kson_get_int32(const ts_kson_value_t& value, int32_t* out)
{
    return kson_get_int32(value.get(), out);
}
bool kson_get_uint32(const ts_kson_value_t& value, uint32_t* out)
{
    return kson_get_uint32(value.get(), out);
}
bool kson_get_int64(const ts_kson_value_t& value, int64_t* out)
{
    return kson_get_int64(value.get(), out);
}
bool kson_get_uint64(const ts_kson_value_t& value, uint64_t* out)
{
    return kson_get_uint64(value.get(), out);
}
bool kson_get_bool(const ts_kson_value_t& value, bool* out)
{
    return kson_get_bool(value.get(), out);
}

namespace {

typedef bool (*kson_lookup_t)(const kson_value_t*, uint64_t, kson_value_t**);

bool kson_lookup(kson_lookup_t lookup, const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out)
{
    out.reset();
    kson_value_t* found = nullptr;
    if (!lookup(value.get(), index, &found))
        return false;
    out.reset(found);
    return true;
}

// The bytes of a string value, or false.
bool kson_string_bytes(const ts_kson_value_t& value, const char** data, uint64_t* length)
{
    return kson_string_data(value.get(), data) && kson_string_length(value.get(), length);
}

} // namespace

bool kson_object_key(const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out)
{
    return kson_lookup(&kson_object_key, value, index, out);
}

bool kson_object_value(const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out)
{
    return kson_lookup(&kson_object_value, value, index, out);
}

bool kson_array_item(const ts_kson_value_t& value, uint64_t index, ts_kson_value_t& out)
{
    return kson_lookup(&kson_array_item, value, index, out);
}

bool kson_get_std_string(const ts_kson_value_t& value, std::string& out)
{
    out.clear();
    const char* data;
    uint64_t length;
    if (!kson_string_bytes(value, &data, &length))
        return false;
    out.assign(data, length);
    return true;
}

bool kson_get_bytes(const ts_kson_value_t& value, std::vector<char>& out)
{
    out.clear();
    const char* data;
    uint64_t length;
    if (!kson_string_bytes(value, &data, &length))
        return false;
    out.assign(data, data + length);
    return true;
}

uint64_t kson_size(const ts_kson_value_t& value)
{
    uint64_t size = 0;
    if (!kson_array_size(value.get(), &size) && !kson_object_size(value.get(), &size))
        return 0;
    return size;
}
