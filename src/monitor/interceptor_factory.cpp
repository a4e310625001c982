#include "monitor/interceptor_factory.hpp"

#include <stdexcept>

#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>

#include "error/proto_error.hpp"
#include "linux_tarsel_config.pb.h"
#include "log/log.hpp"
#include "monitor/fanotify.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"

std::vector<std::string> get_mount_points(const std::string& mounts_path)
{
    std::vector<ts_mntent_t> entries;
    try {
        read_mounts(entries, mounts_path);
    } catch (const std::runtime_error& e) {
        NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_NO_MOUNTPOINTS << e.what());
        throw boost::system::system_error(make_monitor_error_code(TS_ERR_NO_MOUNTPOINTS), TS_TEXT_CONTEXT_FILE_MONITOR);
    }
    std::vector<std::string> dirs;
    dirs.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i)
        dirs.push_back(entries[i].dir);
    return dirs;
}

ts_interceptor_ptr create_interceptor(boost::asio::io_service& io, int mode, const std::string& mounts_path)
{
    const std::vector<std::string> mount_points = get_mount_points(mounts_path);
    switch (mode) {
    case nx::LTM_FANOTIFY: return create_fanotify_interceptor(io, mount_points);
    case nx::LTM_LKM: return create_lkm_interceptor(io, mount_points);
    case nx::LTM_AUTO: return create_auto_interceptor(io, mount_points);
    default: return ts_interceptor_ptr();
    }
}

ts_interceptor_ptr create_fanotify_interceptor(boost::asio::io_service& io,
                                               const std::vector<std::string>& mount_points)
{
    NT_LOG(LOG_INFO_LEVEL, TS_TEXT_FANOTIFY_TRYING);
    return boost::make_shared<ts_fanotify_t>(io, mount_points);
}

ts_interceptor_ptr create_auto_interceptor(boost::asio::io_service& io, const std::vector<std::string>& mount_points)
{
    try {
        return create_fanotify_interceptor(io, mount_points);
    } catch (const std::exception& e) {
        NT_LOG(LOG_DEBUG_LEVEL, short_what(e));
    }
    return create_lkm_interceptor(io, mount_points);
}
