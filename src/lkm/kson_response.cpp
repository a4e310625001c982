#include "lkm/kson_response.hpp"

#include <string>

#include "lkm/lkm_protocol.hpp"
#include "lkm/lkm_texts.hpp"

bool parse_response(ts_kson_response_t& response, ts_kson_parser_t& parser)
{
    ts_kson_value_t root;
    if (!parser.parse(root)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_NO_VALUES, "");
        return false;
    }
    if (!kson_is_object(root)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_NOT_OBJECT, "");
        return false;
    }
    return response.deserialize(root);
}

bool find_field(int32_t code, const ts_kson_value_t& root, ts_kson_value_t& out)
{
    const uint64_t pairs = kson_size(root);
    for (uint64_t i = 0; i < pairs; ++i) {
        ts_kson_value_t key;
        if (!kson_object_key(root, i, key)) {
            NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_NO_FIELD_NAME, "");
            return false;
        }
        int32_t key_code;
        if (!kson_get_int32(key, &key_code)) {
            NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_BAD_FIELD_NAME, "");
            return false;
        }
        if (key_code == code) {
            if (!kson_object_value(root, i, out)) {
                NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_NO_FIELD_VALUE, "");
                return false;
            }
            return true;
        }
    }
    return false;
}

namespace {

bool get_int32_field(const ts_kson_value_t& root, int32_t code, const char* absent, const char* unreadable,
                     int32_t& out)
{
    ts_kson_value_t value;
    if (!find_field(code, root, value)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, absent, "");
        return false;
    }
    if (!kson_get_int32(value, &out)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, unreadable, "");
        return false;
    }
    return true;
}

} // namespace

bool get_packet_type(const ts_kson_value_t& root, int32_t& type)
{
    return get_int32_field(root, NOXEL_FT_PACKET_TYPE, TS_TEXT_LKM_NO_PACKET_TYPE, TS_TEXT_LKM_BAD_PACKET_TYPE, type);
}

bool get_error_field(const ts_kson_value_t& root, int32_t& error)
{
    return get_int32_field(root, NOXEL_FT_ERROR, TS_TEXT_LKM_NO_ERROR_FIELD, TS_TEXT_LKM_BAD_ERROR_FIELD, error);
}

void log_wrong_packet_type(int32_t type, const char* expected_name)
{
    NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_WRONG_TYPE, type << TS_TEXT_LKM_EXPECTED << expected_name);
}

bool check_packet_type(const ts_kson_value_t& root, int32_t expected, const char* parse_failed,
                       const char* expected_name)
{
    int32_t type;
    if (!get_packet_type(root, type)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, parse_failed, "");
        return false;
    }
    if (type != expected) {
        log_wrong_packet_type(type, expected_name);
        return false;
    }
    return true;
}

bool read_dir_response(const ts_kson_value_t& root, int32_t expected, const char* parse_failed,
                       const char* expected_name, int32_t& error)
{
    return check_packet_type(root, expected, parse_failed, expected_name) && get_error_field(root, error);
}
