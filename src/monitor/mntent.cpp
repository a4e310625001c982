#include "monitor/mntent.hpp"

#include <errno.h>
#include <fcntl.h>
#include <mntent.h>
#include <string.h>

#include <stdexcept>
#include <tuple>

const char* const TS_MOUNTS_PATH = "/proc/mounts";

namespace {

// Room for the longest line the kernel writes in practice: escaped mount
// paths take up to four bytes per character, and overlay options list
// every layer. glibc skips the rest of a longer line.
const std::size_t MOUNT_LINE_SIZE = 64 * 1024;

// Closes the table on every way out.
struct mount_file_t
{
    FILE* file;
    ~mount_file_t() { endmntent(file); }
};

} // namespace

bool operator==(const ts_mntent_t& a, const ts_mntent_t& b)
{
    return a.dir == b.dir && a.type == b.type && a.id == b.id;
}

bool same_place(const ts_mntent_t& a, const ts_mntent_t& b)
{
    return a.dir == b.dir && a.type == b.type;
}

bool operator!=(const ts_mntent_t& a, const ts_mntent_t& b)
{
    return !(a == b);
}

bool operator<(const ts_mntent_t& a, const ts_mntent_t& b)
{
    return std::tie(a.dir, a.type, a.id) < std::tie(b.dir, b.type, b.id);
}

void read_mounts(std::vector<ts_mntent_t>& out, const std::string& path)
{
    FILE* file = setmntent(path.c_str(), "r");
    if (!file)
        throw std::runtime_error(strerror(errno));
    mount_file_t guard{file};
    std::vector<char> line(MOUNT_LINE_SIZE);
    struct mntent entry;
    while (getmntent_r(file, &entry, line.data(), static_cast<int>(line.size())))
        out.push_back(ts_mntent_t{entry.mnt_dir, entry.mnt_type});
}

ts_mount_id_kind_t identify_mounts(std::vector<ts_mntent_t>& table)
{
    ts_mount_id_kind_t surest = TS_MOUNT_ID_NONE;
    for (std::vector<ts_mntent_t>::iterator entry = table.begin(); entry != table.end(); ++entry) {
        struct statx st;
        entry->id = 0;
        if (statx(AT_FDCWD, entry->dir.c_str(), AT_NO_AUTOMOUNT | AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
                  TS_STATX_MOUNT_ID, &st) != 0)
            continue;
        const ts_mount_id_kind_t kind = statx_mount_id_kind(st);
        if (kind == TS_MOUNT_ID_NONE)
            continue;
        entry->id = st.stx_mnt_id;
        if (kind > surest)
            surest = kind;
    }
    return surest;
}
