// The "nx" error category of monitoring failures (values 200 to 209). Its
// values are no nx::ErrorCode values and never travel to a peer.
#pragma once

#include <string>

#include <boost/system/error_code.hpp>

enum ts_monitor_error_t {
    TS_ERR_MOUNTS_WATCHER = 200,
    TS_ERR_CANNOT_START = 201,
    TS_ERR_NO_MOUNTPOINTS = 202,
    TS_ERR_NO_SYMBOLS = 203,
    TS_ERR_INIT_FAILED = 204,
    TS_ERR_NO_PATH_ADDED = 205,
    TS_ERR_MODULE_LOAD = 206,
    TS_ERR_NO_MAJOR = 207,
    TS_ERR_SERIALIZE = 208,
    TS_ERR_PARSE = 209,
};

// Every thrower of this category pairs its code with a context text:
// TS_TEXT_CONTEXT_FILE_MONITOR or TS_TEXT_CONTEXT_FANOTIFY
// (monitor/monitor_texts.hpp), TS_TEXT_CONTEXT_LKM (lkm/lkm_texts.hpp).

class ts_error_impl_t : public boost::system::error_category
{
public:
    const char* name() const noexcept override;
    // The table's text; "tarsel error " and the number outside it.
    std::string message(int value) const override;
};

// The one category object; built on first use, never destroyed before exit.
const boost::system::error_category& ts_error_category();

boost::system::error_code make_monitor_error_code(int value);
