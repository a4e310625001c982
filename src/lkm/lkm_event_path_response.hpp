// One file access reported by the module on its monitor device.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "lkm/kson_response.hpp"

class ts_lkm_event_path_response_t : public ts_kson_response_t
{
public:
    // Packet type NOXEL_PT_EVENT_PATH, the path in NOXEL_FT_PATH and the pid
    // in NOXEL_FT_PID, in any order. Throws std::bad_alloc.
    bool deserialize(const ts_kson_value_t& root) override;

    // A new string on every deserialize: the event record shares it.
    boost::shared_ptr<std::string> path;
    uint32_t pid = 0;
};
