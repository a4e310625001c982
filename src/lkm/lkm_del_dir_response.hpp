// The module's answer to DEL_DIR on the control device.
#pragma once

#include <cstdint>

#include "lkm/kson_response.hpp"

class ts_lkm_del_dir_response_t : public ts_kson_response_t
{
public:
    // Packet type NOXEL_PT_DEL_DIR_RESP and an 'I' error field.
    bool deserialize(const ts_kson_value_t& root) override;

    int32_t error = 0; // 0 accepted; meaningful after deserialize returned true
};
