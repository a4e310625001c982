#include "monitor/interceptor.hpp"

#include "log/log.hpp"
#include "monitor/monitor_texts.hpp"

void ts_interceptor_if::offer_mount_points(const std::vector<std::string>& mount_points)
{
    for (const std::string& dir : mount_points) {
        const bool added = add_path(dir);
        NT_LOG(LOG_DEBUG_LEVEL,
               (added ? TS_TEXT_PATH_ADDED + dir + TS_TEXT_PATH_ADDED_END : TS_TEXT_PATH_NOT_ADDED + dir));
    }
}
