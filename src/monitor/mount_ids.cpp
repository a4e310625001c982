#include "monitor/mount_ids.hpp"

#include <algorithm>
#include <utility>

ts_mount_ids_t::ts_mount_ids_t(std::vector<std::uint64_t> ids)
    : ids_(std::move(ids))
{
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
}

bool ts_mount_ids_t::contains(std::uint64_t id) const
{
    return std::binary_search(ids_.begin(), ids_.end(), id);
}
