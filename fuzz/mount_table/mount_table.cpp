// The mount table as the mounts watcher reads it, twice: the bytes before
// the first NUL are the table before a change, the rest the table after it.
// Properties: the changes come in ascending order, and applied to the old
// table's directories and types they give exactly the new table's.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "monitor/mntent.hpp"
#include "monitor/mounts_watcher.hpp"
#include "support/fuzz_support.hpp"

namespace {

std::vector<ts_mntent_t> table_of(const std::uint8_t* data, std::size_t size)
{
    const nt_fuzz::memory_file_t file(data, size);
    std::vector<ts_mntent_t> table;
    read_mounts(table, file.path());
    std::sort(table.begin(), table.end());
    return table;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    const std::uint8_t* nul = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t old_size = nul ? static_cast<std::size_t>(nul - data) : size;
    const std::size_t new_start = nul ? old_size + 1 : size;
    const std::vector<ts_mntent_t> old_table = table_of(data, old_size);
    const std::vector<ts_mntent_t> new_table = table_of(data + new_start, size - new_start);

    const std::vector<ts_mnt_event_t> changes = mount_table_changes(old_table, new_table);
    std::set<ts_mntent_t> present(old_table.begin(), old_table.end());
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const ts_mnt_event_t& change = changes[i];
        nt_fuzz::check(i == 0 || !(change.entry < changes[i - 1].entry), "changes out of order");
        const std::size_t in_old = std::count(old_table.begin(), old_table.end(), change.entry);
        const std::size_t in_new = std::count(new_table.begin(), new_table.end(), change.entry);
        if (change.kind == TS_MNT_MOUNTED) {
            nt_fuzz::check(in_new > in_old, "mounted, yet not more often in the new table");
            present.insert(change.entry);
        } else {
            nt_fuzz::check(change.kind == TS_MNT_UNMOUNTED, "unknown kind");
            nt_fuzz::check(in_new == 0 && in_old > 0, "unmounted, yet still in the new table");
            present.erase(change.entry);
        }
    }
    nt_fuzz::check(present == std::set<ts_mntent_t>(new_table.begin(), new_table.end()),
                   "the changes do not turn the old table into the new one");
    return 0;
}
