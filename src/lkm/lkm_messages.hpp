// The kernel module's messages: the ADD_DIR and DEL_DIR requests of the
// control device with their answers, and the EVENT_PATH packet of the
// monitor device. Each is a thin layer over the kson request and response
// bases, which do the encoding and the checks they share.
#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "lkm/kson_request.hpp"
#include "lkm/kson_response.hpp"

// ADD_DIR: start watching a mount point.
class ts_lkm_add_dir_request_t : public ts_kson_request_t
{
public:
    explicit ts_lkm_add_dir_request_t(const std::string& dir)
        : path(dir)
    {}
    // Packet type NOXEL_PT_ADD_DIR, then the directory.
    bool serialize(kson_writer_t* object) const override;

    std::string path;
};

// DEL_DIR: stop watching a mount point.
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

// The module's answer to ADD_DIR.
class ts_lkm_add_dir_response_t : public ts_kson_response_t
{
public:
    // Packet type NOXEL_PT_ADD_DIR_RESP and an 'I' error field.
    bool deserialize(const ts_kson_value_t& root) override;

    int32_t error = 0; // 0 accepted; meaningful after deserialize returned true
};

// The module's answer to DEL_DIR.
class ts_lkm_del_dir_response_t : public ts_kson_response_t
{
public:
    // Packet type NOXEL_PT_DEL_DIR_RESP and an 'I' error field.
    bool deserialize(const ts_kson_value_t& root) override;

    int32_t error = 0; // 0 accepted; meaningful after deserialize returned true
};

// One file access reported on the monitor device.
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
