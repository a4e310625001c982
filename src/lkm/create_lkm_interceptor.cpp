// The factory's entry to the kernel-module interceptor, with the system's
// modprobe, "/proc/devices" and "/dev".
#include "monitor/interceptor_factory.hpp"

#include "lkm/lkm_loader.hpp"

ts_interceptor_ptr create_lkm_interceptor(boost::asio::io_service& io, const std::vector<std::string>& mount_points)
{
    return create_lkm_interceptor(io, mount_points, ts_lkm_setup_t());
}
