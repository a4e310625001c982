// Stands in until the kernel-module interceptor is built: it fails as a
// machine without the module does.
#include "monitor/interceptor_factory.hpp"

#include <boost/system/system_error.hpp>

#include "monitor/monitor_error.hpp"

ts_interceptor_ptr create_lkm_interceptor(boost::asio::io_service&, const std::vector<std::string>&)
{
    throw boost::system::system_error(make_monitor_error_code(TS_ERR_MODULE_LOAD), TS_CTX_LKM);
}
