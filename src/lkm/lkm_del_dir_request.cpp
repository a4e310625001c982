#include "lkm/lkm_del_dir_request.hpp"

#include "lkm/lkm_protocol.hpp"

bool ts_lkm_del_dir_request_t::serialize(kson_writer_t* object) const
{
    return put_dir_request(object, NOXEL_PT_DEL_DIR, path);
}
