#include "monitor/mount_ids.hpp"

#include <string.h>

#include <algorithm>

ts_mount_ids_t::ts_mount_ids_t(std::vector<mount_t> mounts)
    : mounts_(std::move(mounts))
{
    // Kept without a trailing slash, so "/" is the empty name that every
    // name starts with, and a lookup compares the name as it is.
    for (mount_t& mount : mounts_)
        while (!mount.second.empty() && mount.second.back() == '/')
            mount.second.pop_back();
    std::sort(mounts_.begin(), mounts_.end());
    mounts_.erase(std::unique(mounts_.begin(), mounts_.end()), mounts_.end());
}

bool ts_mount_ids_t::holds(std::uint64_t id, const char* path, std::size_t length) const
{
    std::vector<mount_t>::const_iterator mount =
        std::lower_bound(mounts_.begin(), mounts_.end(), id,
                         [](const mount_t& entry, std::uint64_t wanted) { return entry.first < wanted; });
    for (; mount != mounts_.end() && mount->first == id; ++mount) {
        // "/" holds every name; another directory its own name and those below.
        const std::string& dir = mount->second;
        const std::size_t size = dir.size();
        if (length >= size && memcmp(path, dir.data(), size) == 0 && (length == size || path[size] == '/'))
            return true;
    }
    return false;
}
