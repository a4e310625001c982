#include <cerrno>
#include <climits>
#include <string>

#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "error/proto_error.hpp"
#include "lkm/lkm_texts.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"

namespace {

class monitor_error_test : public ::testing::Test
{};

} // namespace

TEST_F(monitor_error_test, message_of_every_value)
{
    struct row
    {
        int value;
        const char* text;
    };
    const row cases[] = {
        {0, "no error"},
        {TS_ERR_MOUNTS_WATCHER, "mounts watcher error"},
        {TS_ERR_CANNOT_START, "cannot start monitoring"},
        {TS_ERR_NO_MOUNTPOINTS, "couldn't get mountpoints"},
        {TS_ERR_NO_SYMBOLS, "symbols not found"},
        {TS_ERR_INIT_FAILED, "initialization failed"},
        {TS_ERR_NO_PATH_ADDED, "couldn't add at least one path to monitor"},
        {TS_ERR_MODULE_LOAD, "couldn't load module"},
        {TS_ERR_NO_MAJOR, "couldn't get device major number"},
        {TS_ERR_SERIALIZE, "couldn't serialize request"},
        {TS_ERR_PARSE, "couldn't parse response"},
        {210, "tarsel error 210"},
        {199, "tarsel error 199"},
        {7, "tarsel error 7"},
        {1, "tarsel error 1"},
        {-3, "tarsel error -3"},
        {INT_MIN, "tarsel error -2147483648"},
    };
    for (const row& c : cases) {
        EXPECT_EQ(ts_error_category().message(c.value), c.text) << c.value;
        EXPECT_EQ(make_monitor_error_code(c.value).message(), c.text) << c.value;
    }
}

TEST_F(monitor_error_test, values_are_fixed)
{
    const int values[] = {TS_ERR_MOUNTS_WATCHER, TS_ERR_CANNOT_START,  TS_ERR_NO_MOUNTPOINTS, TS_ERR_NO_SYMBOLS,
                          TS_ERR_INIT_FAILED,    TS_ERR_NO_PATH_ADDED, TS_ERR_MODULE_LOAD,    TS_ERR_NO_MAJOR,
                          TS_ERR_SERIALIZE,      TS_ERR_PARSE};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(values[i], 200 + i);
}

TEST_F(monitor_error_test, one_category_named_nx)
{
    EXPECT_EQ(&ts_error_category(), &ts_error_category());
    for (int value : {0, 2, 205, 210}) {
        boost::system::error_code code = make_monitor_error_code(value);
        EXPECT_EQ(code.value(), value);
        EXPECT_EQ(&code.category(), &ts_error_category());
        EXPECT_STREQ(code.category().name(), "nx");
    }
    EXPECT_EQ(make_monitor_error_code(205), make_monitor_error_code(205));
    EXPECT_NE(make_monitor_error_code(205), make_monitor_error_code(206));
    EXPECT_NE(&ts_error_category(), &nx::proto_error_category());
}

TEST_F(monitor_error_test, equivalent_only_within_the_category)
{
    EXPECT_NE(make_monitor_error_code(2), boost::system::error_condition(ENOENT, boost::system::generic_category()));
    EXPECT_NE(make_monitor_error_code(2), boost::system::errc::no_such_file_or_directory);
    EXPECT_NE(make_monitor_error_code(0), boost::system::error_condition(0, boost::system::generic_category()));
    EXPECT_EQ(make_monitor_error_code(202), boost::system::error_condition(202, ts_error_category()));
}

TEST_F(monitor_error_test, failure_text_is_context_then_message)
{
    EXPECT_STREQ(TS_TEXT_CONTEXT_FILE_MONITOR, "File monitor");
    EXPECT_STREQ(TS_TEXT_CONTEXT_FANOTIFY, "Fanotify");
    EXPECT_STREQ(TS_TEXT_CONTEXT_LKM, "LKM");
    boost::system::system_error e(make_monitor_error_code(TS_ERR_NO_MOUNTPOINTS), TS_TEXT_CONTEXT_FILE_MONITOR);
    EXPECT_STREQ(e.what(), "File monitor: couldn't get mountpoints");
    boost::system::system_error lkm(make_monitor_error_code(TS_ERR_PARSE), TS_TEXT_CONTEXT_LKM);
    EXPECT_STREQ(lkm.what(), "LKM: couldn't parse response");
    // Such a failure reaching main ends the daemon with 125.
    EXPECT_EQ(exception_to_proto_code(e), 125);
}
