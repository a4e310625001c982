#include "lkm/lkm_add_dir_response.hpp"

#include "lkm/lkm_protocol.hpp"
#include "lkm/lkm_texts.hpp"

bool ts_lkm_add_dir_response_t::deserialize(const ts_kson_value_t& root)
{
    return read_dir_response(root, NOXEL_PT_ADD_DIR_RESP, TS_TEXT_LKM_ADD_DIR_PARSE, TS_TEXT_LKM_ADD_DIR_RESP_NAME,
                             error);
}
