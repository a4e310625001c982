// The DEL_DIR request of the control device: stop watching a mount point.
#pragma once

#include <string>

#include "lkm/kson_request.hpp"

class ts_lkm_del_dir_request_t : public ts_kson_request_t
{
public:
    explicit ts_lkm_del_dir_request_t(const std::string& dir)
        : path(dir)
    {}
    // Packet type NOXEL_PT_DEL_DIR, then the directory.
    bool serialize(kson_writer_t* object) const override;

    std::string path;
};
