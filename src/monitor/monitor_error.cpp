#include "monitor/monitor_error.hpp"

const char* ts_error_impl_t::name() const noexcept
{
    return "nx";
}

std::string ts_error_impl_t::message(int value) const
{
    switch (value) {
    case 0: return "no error";
    case TS_ERR_MOUNTS_WATCHER: return "mounts watcher error";
    case TS_ERR_CANNOT_START: return "cannot start monitoring";
    case TS_ERR_NO_MOUNTPOINTS: return "couldn't get mountpoints";
    case TS_ERR_NO_SYMBOLS: return "symbols not found";
    case TS_ERR_INIT_FAILED: return "initialization failed";
    case TS_ERR_NO_PATH_ADDED: return "couldn't add at least one path to monitor";
    case TS_ERR_MODULE_LOAD: return "couldn't load module";
    case TS_ERR_NO_MAJOR: return "couldn't get device major number";
    case TS_ERR_SERIALIZE: return "couldn't serialize request";
    case TS_ERR_PARSE: return "couldn't parse response";
    default: return "tarsel error " + std::to_string(value);
    }
}

const boost::system::error_category& ts_error_category()
{
    // Never destroyed: the interceptor thread may still format a code at exit.
    static const ts_error_impl_t* category = new ts_error_impl_t;
    return *category;
}

boost::system::error_code make_monitor_error_code(int value)
{
    return boost::system::error_code(value, ts_error_category());
}
