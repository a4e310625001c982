#include "lkm/lkm_messages.hpp"

#include <boost/make_shared.hpp>

#include "lkm/lkm_protocol.hpp"
#include "lkm/lkm_texts.hpp"

bool ts_lkm_add_dir_request_t::serialize(kson_writer_t* object) const
{
    return put_dir_request(object, NOXEL_PT_ADD_DIR, path);
}

bool ts_lkm_del_dir_request_t::serialize(kson_writer_t* object) const
{
    return put_dir_request(object, NOXEL_PT_DEL_DIR, path);
}

bool ts_lkm_add_dir_response_t::deserialize(const ts_kson_value_t& root)
{
    return read_dir_response(root, NOXEL_PT_ADD_DIR_RESP, TS_TEXT_LKM_ADD_DIR_PARSE, TS_TEXT_LKM_ADD_DIR_RESP_NAME,
                             error);
}

bool ts_lkm_del_dir_response_t::deserialize(const ts_kson_value_t& root)
{
    return read_dir_response(root, NOXEL_PT_DEL_DIR_RESP, TS_TEXT_LKM_DEL_DIR_PARSE, TS_TEXT_LKM_DEL_DIR_RESP_NAME,
                             error);
}

bool ts_lkm_event_path_response_t::deserialize(const ts_kson_value_t& root)
{
    if (!check_packet_type(root, NOXEL_PT_EVENT_PATH, TS_TEXT_LKM_EVENT_PATH_PARSE, TS_TEXT_LKM_EVENT_PATH_NAME))
        return false;
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
    if (!find_field(NOXEL_FT_PID, root, field))
        return false;
    if (!kson_get_uint32(field, &pid)) {
        NT_LOG_EVENT(LOG_ERROR_LEVEL, TS_TEXT_LKM_EVENT_BAD_PID, "");
        return false;
    }
    return true;
}
