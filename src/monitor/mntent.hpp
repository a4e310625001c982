// One entry of the mount table, and the reading of the whole table.
#pragma once

#include <string>
#include <vector>

// The mount table the daemon follows.
extern const char* const TS_MOUNTS_PATH; // "/proc/mounts"

// A mount directory and its file-system type. The source device and the
// options play no part: a remount that changes only those is no change.
struct ts_mntent_t
{
    std::string dir;  // mnt_dir as getmntent decodes it
    std::string type; // mnt_type
};

bool operator==(const ts_mntent_t& a, const ts_mntent_t& b);
bool operator!=(const ts_mntent_t& a, const ts_mntent_t& b);
// By dir, then by type, both as byte strings.
bool operator<(const ts_mntent_t& a, const ts_mntent_t& b);

// Appends every entry of the mount table at path to out, in file order,
// pseudo file systems included. Safe on any thread (it keeps no static
// state, unlike getmntent).
// Throws std::runtime_error whose text is strerror(errno) when the table
// cannot be opened.
void read_mounts(std::vector<ts_mntent_t>& out, const std::string& path = TS_MOUNTS_PATH);
