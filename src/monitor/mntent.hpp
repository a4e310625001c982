// One entry of the mount table, and the reading of the whole table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "monitor/mount_ids.hpp"

// The mount table the daemon follows.
extern const char* const TS_MOUNTS_PATH; // "/proc/mounts"

// A mount directory, its file-system type and the identity of the mount
// found there. The source device and the options play no part: a remount
// that changes only those is no change. The identity tells a mount that
// replaced another of the same type on the same directory, even of the
// same device, which the table's text does not.
struct ts_mntent_t
{
    std::string dir;      // mnt_dir as getmntent decodes it
    std::string type;     // mnt_type
    std::uint64_t id = 0; // the mount's identity (identify_mounts); 0 unknown
};

bool operator==(const ts_mntent_t& a, const ts_mntent_t& b);
bool operator!=(const ts_mntent_t& a, const ts_mntent_t& b);
// By dir, then by type, both as byte strings, then by identity.
bool operator<(const ts_mntent_t& a, const ts_mntent_t& b);
// Whether both are of the same directory and type, whatever the mounts.
bool same_place(const ts_mntent_t& a, const ts_mntent_t& b);

// Appends every entry of the mount table at path to out, in file order,
// pseudo file systems included. Safe on any thread (it keeps no static
// state, unlike getmntent).
// Throws std::runtime_error whose text is strerror(errno) when the table
// cannot be opened.
void read_mounts(std::vector<ts_mntent_t>& out, const std::string& path = TS_MOUNTS_PATH);

// Sets the identity of every entry to that of the mount its directory leads
// to now (statx; the topmost of mounts stacked there), 0 where it cannot be
// told. The directories are not followed into automounts and nothing is
// asked of a file system's server. Returns the surest kind of identity
// given, TS_MOUNT_ID_NONE when none was.
ts_mount_id_kind_t identify_mounts(std::vector<ts_mntent_t>& table);
