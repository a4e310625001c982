#include "monitor/interceptor_factory.hpp"

#include <boost/asio/io_service.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "kernel_fixture.hpp"
#include "linux_tarsel_config.pb.h"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"
#include "support/temp_dir.hpp"

using namespace nt_monitor_test;

namespace {

enum table_t { MISSING_TABLE, MARKABLE_TABLE, UNMARKABLE_TABLE };

struct factory_case_t
{
    const char* name;
    int mode;
    table_t table;
    int kind;  // of the interceptor built; -1 none
    int error; // monitoring error thrown; 0 none
    std::vector<std::pair<int, std::string>> lines;
};

const std::string no_mounts = std::string(TS_TEXT_NO_MOUNTPOINTS) + strerror(ENOENT);
const std::pair<int, std::string> trying{LOG_INFO_LEVEL, TS_TEXT_FANOTIFY_TRYING};
// The module loader's first line; what modprobe then says depends on the
// machine and is not compared.
const std::pair<int, std::string> trying_lkm{LOG_INFO_LEVEL, "Trying to use LKM interceptor"};
const std::pair<int, std::string> fanotify_failed{LOG_DEBUG_LEVEL,
                                                  "Fanotify: couldn't add at least one path to monitor"};

// The Debug lines of the constructor; "@" stands for the watched directory.
const std::pair<int, std::string> marked{LOG_DEBUG_LEVEL, "The path: @ has been added for monitoring"};
const std::pair<int, std::string> not_marked{LOG_DEBUG_LEVEL, "Couldn't add monitor path: @/missing"};

const factory_case_t factory_cases[] = {
    {"auto, table missing", nx::LTM_AUTO, MISSING_TABLE, -1, TS_ERR_NO_MOUNTPOINTS, {{LOG_DEBUG_LEVEL, no_mounts}}},
    {"fanotify, table missing",
     nx::LTM_FANOTIFY,
     MISSING_TABLE,
     -1,
     TS_ERR_NO_MOUNTPOINTS,
     {{LOG_DEBUG_LEVEL, no_mounts}}},
    {"module, table missing", nx::LTM_LKM, MISSING_TABLE, -1, TS_ERR_NO_MOUNTPOINTS, {{LOG_DEBUG_LEVEL, no_mounts}}},
    {"unknown mode, table missing", 5, MISSING_TABLE, -1, TS_ERR_NO_MOUNTPOINTS, {{LOG_DEBUG_LEVEL, no_mounts}}},
    {"unknown mode", 5, MARKABLE_TABLE, -1, 0, {}},
    {"negative mode", -1, MARKABLE_TABLE, -1, 0, {}},
    {"module without the module", nx::LTM_LKM, MARKABLE_TABLE, -1, TS_ERR_MODULE_LOAD, {trying_lkm}},
    {"fanotify", nx::LTM_FANOTIFY, MARKABLE_TABLE, TS_KIND_FANOTIFY, 0, {trying, marked}},
    {"fanotify that cannot mark", nx::LTM_FANOTIFY, UNMARKABLE_TABLE, -1, TS_ERR_NO_PATH_ADDED, {trying, not_marked}},
    {"auto takes fanotify", nx::LTM_AUTO, MARKABLE_TABLE, TS_KIND_FANOTIFY, 0, {trying, marked}},
    {"auto falls back to the module",
     nx::LTM_AUTO,
     UNMARKABLE_TABLE,
     -1,
     TS_ERR_MODULE_LOAD,
     {trying, not_marked, fanotify_failed, trying_lkm}},
};

class interceptor_factory_test : public private_tmpfs_test_t
{
protected:
    interceptor_factory_test()
        : private_tmpfs_test_t("nt-factory")
    {}

    std::string table(table_t kind)
    {
        const std::string path = temp.path() + "/mounts";
        switch (kind) {
        case MISSING_TABLE: unlink(path.c_str()); break;
        case MARKABLE_TABLE: EXPECT_TRUE(write_file(path, "nt-test " + watched + " tmpfs rw 0 0\n")); break;
        case UNMARKABLE_TABLE: EXPECT_TRUE(write_file(path, "nt-test " + watched + "/missing tmpfs rw 0 0\n")); break;
        }
        return path;
    }

    log_capture_t capture;
    boost::asio::io_service io;
};

} // namespace

TEST_F(interceptor_factory_test, mount_points_keep_every_line_in_file_order)
{
    const std::string path = temp.path() + "/mounts";
    ASSERT_TRUE(write_file(path, "proc /proc proc rw 0 0\n"
                                 "a /mnt/x tmpfs rw 0 0\n"
                                 "sysfs /sys sysfs rw 0 0\n"
                                 "b /mnt/x ext4 rw 0 0\n"
                                 "c /mnt/with\\040space vfat rw 0 0\n"));
    EXPECT_EQ((std::vector<std::string>{"/proc", "/mnt/x", "/sys", "/mnt/x", "/mnt/with space"}),
              get_mount_points(path));
    EXPECT_TRUE(capture.lines().empty());
}

TEST_F(interceptor_factory_test, builds_what_the_mode_asks_for)
{
    for (const factory_case_t& c : factory_cases) {
        SCOPED_TRACE(c.name);
        const std::string mounts = table(c.table);
        capture.reset();
        ts_interceptor_ptr interceptor;
        int error = 0;
        try {
            interceptor = create_interceptor(io, c.mode, mounts);
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(ts_error_category(), e.code().category());
            error = e.code().value();
        }
        EXPECT_EQ(c.error, error);
        EXPECT_EQ(c.kind, interceptor ? interceptor->kind() : -1);
        std::vector<std::pair<int, std::string>> expected = c.lines;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            std::string::size_type at = expected[i].second.find('@');
            if (at != std::string::npos)
                expected[i].second.replace(at, 1, watched);
        }
        // The loader's own lines after its first one differ per machine.
        std::vector<std::pair<int, std::string>> lines = capture.lines();
        if (c.error == TS_ERR_MODULE_LOAD && lines.size() > expected.size())
            lines.resize(expected.size());
        EXPECT_EQ(expected, lines);
    }
}

TEST_F(interceptor_factory_test, failures_carry_their_component)
{
    try {
        create_interceptor(io, nx::LTM_LKM, table(MISSING_TABLE));
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ("File monitor: couldn't get mountpoints", e.what());
    }
    try {
        create_interceptor(io, nx::LTM_LKM, table(MARKABLE_TABLE));
        FAIL() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_STREQ("LKM: couldn't load module", e.what());
    }
}
