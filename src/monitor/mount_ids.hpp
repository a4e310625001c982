// The identities of a set of mounts, as statx reports them, and how one is
// asked of the kernel.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The kernel headers of older systems lack the bits that ask statx for a
// mount's identity: STATX_MNT_ID (Linux 5.8) gives the number that
// /proc/self/mountinfo shows, which the kernel hands to the next mount as
// soon as this one is gone; STATX_MNT_ID_UNIQUE (Linux 6.8) gives a number
// never used twice. A kernel without one ignores the bit and leaves it out
// of stx_mask; asked for both, a kernel that has the second answers with it.
#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

const unsigned int TS_STATX_MOUNT_ID = STATX_MNT_ID | STATX_MNT_ID_UNIQUE;

// How sure a mount identity is.
enum ts_mount_id_kind_t {
    TS_MOUNT_ID_NONE,   // the kernel gave none
    TS_MOUNT_ID_REUSED, // the mountinfo number: another mount may get it later
    TS_MOUNT_ID_UNIQUE  // never given to another mount
};

// The kind of identity in a statx result asked with TS_STATX_MOUNT_ID; its
// value is stx_mnt_id.
inline ts_mount_id_kind_t statx_mount_id_kind(const struct statx& st)
{
    if (st.stx_mask & STATX_MNT_ID_UNIQUE)
        return TS_MOUNT_ID_UNIQUE;
    if (st.stx_mask & STATX_MNT_ID)
        return TS_MOUNT_ID_REUSED;
    return TS_MOUNT_ID_NONE;
}

// An unchanging set of mounts, each by its identity and a directory it is
// reached by, looked up without a system call or a lock: built whole by one
// thread and then only read, by any thread.
class ts_mount_ids_t
{
public:
    typedef std::pair<std::uint64_t, std::string> mount_t; // identity, directory

    ts_mount_ids_t() = default;
    explicit ts_mount_ids_t(std::vector<mount_t> mounts);

    // Whether the mount id is in the set with a directory that path (length
    // bytes) lies in: the name of a file on a mount attached there starts
    // with the directory, while on a detached mount it is the name inside
    // that mount.
    bool holds(std::uint64_t id, const char* path, std::size_t length) const;

private:
    std::vector<mount_t> mounts_; // directories without a trailing slash; sorted, each once
};
