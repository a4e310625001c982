// One difference between two readings of the mount table.
#pragma once

#include <cstdint>

#include "monitor/mntent.hpp"

enum ts_mnt_event_kind_t { TS_MNT_MOUNTED = 0, TS_MNT_UNMOUNTED = 1 };

struct ts_mnt_event_t
{
    std::int32_t kind; // a ts_mnt_event_kind_t value
    ts_mntent_t entry;
};
