#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "error/proto_error.hpp"
#include "log.pb.h"
#include "log/console_log.hpp"
#include "log/file_log.hpp"
#include "log/log.hpp"
#include "log/log_texts.hpp"
#include "log/syslog_log.hpp"
#include "support/fake_syslog.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

class make_log_sink_test : public ::testing::Test
{
protected:
    static nx::Log file_setting(const std::string& path)
    {
        nx::Log setting;
        setting.set_type(nx::Log::FILE);
        setting.set_path(path);
        return setting;
    }

    // The error code that make_log_sink throws for the setting, with its
    // context checked; a default code when it throws nothing.
    static boost::system::error_code failure(const nx::Log& setting, const char* context)
    {
        try {
            make_log_sink(setting);
        } catch (const boost::filesystem::filesystem_error& e) {
            EXPECT_NE(std::string::npos, std::string(e.what()).find(context)) << e.what();
            EXPECT_EQ(setting.path(), e.path1().string());
            return e.code();
        }
        return boost::system::error_code();
    }

    log_state_restorer_t restorer;
    nt::temp_dir_t dir{"log-sink"};
};

TEST_F(make_log_sink_test, each_type_gives_its_sink)
{
    nx::Log setting;
    setting.set_type(nx::Log::SYSLOG);
    EXPECT_TRUE(boost::dynamic_pointer_cast<cf_syslog_log_t>(make_log_sink(setting)));
    setting.set_type(nx::Log::STDERR);
    EXPECT_TRUE(boost::dynamic_pointer_cast<cf_console_log_t>(make_log_sink(setting)));
    setting.set_show_timestamp(true);
    EXPECT_TRUE(boost::dynamic_pointer_cast<cf_file_log_t>(make_log_sink(setting)));
    setting.set_type(nx::Log::AUTO);
    EXPECT_FALSE(make_log_sink(setting));
    EXPECT_TRUE(boost::dynamic_pointer_cast<cf_file_log_t>(make_log_sink(file_setting((dir / "a.log").string()))));
}

TEST_F(make_log_sink_test, auto_leaves_lines_on_stderr_and_a_later_sink_installs_normally)
{
    nx::Log setting;
    setting.set_type(nx::Log::AUTO);
    set_log_sink(make_log_sink(setting));
    recording_log_ptr later(new recording_log_t);
    set_log_sink(later);
    log_message(LOG_NOTICE_LEVEL, "x");
    ASSERT_EQ(1u, later->lines().size());
}

TEST_F(make_log_sink_test, a_path_that_is_not_absolute_is_refused_with_code_20)
{
    for (const char* path : {"tarsel.log", "./tarsel.log", "", "tmp/tarsel.log"}) {
        SCOPED_TRACE(path);
        boost::system::error_code code = failure(file_setting(path), CF_TEXT_CONTEXT_LOG_OPTION);
        EXPECT_EQ(nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH), code);
        EXPECT_STREQ("nx.Error", code.category().name());
        EXPECT_FALSE(boost::filesystem::exists(path));
    }
}

TEST_F(make_log_sink_test, a_file_that_cannot_be_opened_is_refused_with_its_errno)
{
    {
        std::ofstream regular((dir / "regular").string());
    }
    ASSERT_EQ(0, mkfifo((dir / "fifo").c_str(), 0600));
    const std::pair<std::string, int> cases[] = {
        {(dir / "missing" / "tarsel.log").string(), ENOENT},
        {(dir / "regular" / "tarsel.log").string(), ENOTDIR},
        {dir.path(), EISDIR},
        // A FIFO that nobody reads must fail, not hang the daemon.
        {(dir / "fifo").string(), ENXIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        boost::system::error_code code = failure(file_setting(c.first), CF_TEXT_CONTEXT_LOG_OPEN);
        EXPECT_EQ(boost::system::error_code(c.second, boost::system::system_category()), code);
    }
}

// Unwritable places, made in a child of its own: a read-only mount that
// vanishes with it, and a directory that an unprivileged user cannot write.
TEST_F(make_log_sink_test, an_unwritable_place_is_refused_with_its_errno)
{
    const boost::filesystem::path readonly = dir / "readonly";
    const boost::filesystem::path locked = dir / "locked";
    boost::filesystem::create_directory(readonly);
    boost::filesystem::create_directory(locked);
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    ASSERT_EQ(0, chmod(locked.c_str(), 0755));

    fake_syslog_result_t result = run_with_fake_syslog([&]() -> std::string {
        std::string answer;
        auto code_of = [](const std::string& path) {
            try {
                make_log_sink(file_setting(path));
            } catch (const boost::filesystem::filesystem_error& e) {
                return std::to_string(e.code().value()) + " " + e.code().category().name();
            }
            return std::string("opened");
        };
        if (mount("tmpfs", readonly.c_str(), "tmpfs", MS_RDONLY, nullptr) != 0)
            return "mount failed";
        answer += code_of((readonly / "tarsel.log").string()) + ";";
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            return "setresuid failed";
        answer += code_of((locked / "tarsel.log").string());
        return answer;
    });
    EXPECT_EQ("", result.setup_error);
    EXPECT_EQ(std::to_string(EROFS) + " system;" + std::to_string(EACCES) + " system", result.answer);
    EXPECT_FALSE(boost::filesystem::exists(locked / "tarsel.log"));
}

} // namespace
