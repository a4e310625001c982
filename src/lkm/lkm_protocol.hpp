// What the daemon and the kernel module agree on: names, device numbers,
// packet types and field codes. Every packet body is an object whose keys
// are 'I' values holding a field code.
#pragma once

#include <cstdint>

enum ts_lkm_field_t {
    NOXEL_FT_PACKET_TYPE = 0, // 'I': the packet type; every packet
    NOXEL_FT_DIR = 1,         // string: the mount point; ADD_DIR, DEL_DIR
    NOXEL_FT_PATH = 2,        // string: the accessed file; EVENT_PATH
    NOXEL_FT_PID = 3,         // 'I': the accessing process; EVENT_PATH
    NOXEL_FT_ERROR = 4,       // 'I': 0 accepted, anything else refused; responses
};

enum ts_lkm_packet_type_t {
    NOXEL_PT_ADD_DIR = 0,      // daemon to module, control device
    NOXEL_PT_ADD_DIR_RESP = 1, // module to daemon, control device
    NOXEL_PT_DEL_DIR = 2,      // daemon to module, control device
    NOXEL_PT_DEL_DIR_RESP = 3, // module to daemon, control device
    NOXEL_PT_EVENT_PATH = 4,   // module to daemon, monitor device
};

// The module's name for modprobe and in "/proc/devices".
inline constexpr const char* TS_LKM_MODULE_NAME = "noxel";
inline constexpr const char* TS_LKM_MODPROBE = "modprobe";
inline constexpr const char* TS_LKM_DEVICES_LIST = "/proc/devices";
// The heading of the devices list's section that holds the module.
inline constexpr const char* TS_LKM_CHARACTER_SECTION = "Character devices:";
inline constexpr const char* TS_LKM_DEVICE_DIR = "/dev";

// The two devices under the module's major, and their nodes in the device
// directory.
inline constexpr const char* TS_LKM_CONTROL_NODE = "noxel.control";
inline constexpr const char* TS_LKM_MONITOR_NODE = "noxel.tarsel";
inline constexpr unsigned TS_LKM_CONTROL_MINOR = 1;
inline constexpr unsigned TS_LKM_MONITOR_MINOR = 0;
