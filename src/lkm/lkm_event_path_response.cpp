#include "lkm/lkm_event_path_response.hpp"

#include <boost/make_shared.hpp>

#include "lkm/lkm_protocol.hpp"
#include "lkm/lkm_texts.hpp"

bool ts_lkm_event_path_response_t::deserialize(const ts_kson_value_t& root)
{
    int32_t type;
    if (!get_packet_type(root, type)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_EVENT_PATH_PARSE, "");
        return false;
    }
    if (type != NOXEL_PT_EVENT_PATH) {
        log_wrong_packet_type(type, TS_TEXT_LKM_EVENT_PATH_NAME);
        return false;
    }
    ts_kson_value_t field;
    if (!find_field(NOXEL_FT_PATH, root, field)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_EVENT_NO_PATH, "");
        return false;
    }
    path = boost::make_shared<std::string>();
    if (!kson_get_std_string(field, *path)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_EVENT_BAD_PATH, "");
        return false;
    }
    if (!find_field(NOXEL_FT_PID, root, field)) {
        return false;
    }
    if (!kson_get_uint32(field, &pid)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_EVENT_BAD_PID, "");
        return false;
    }
    return true;
}
