#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>

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

// Places for a log file that a user other than root could have redirected
// (refused, what the link leads to untouched) and places only root could
// have made (followed). "nobody" is uid 65534; links are given to a user
// with lchown, as if that user had made them.
struct trust_case_t
{
    const char* name;
    // Builds the place in `dir` and returns the log path; `target` is the
    // file a followed link leads to (it may not exist yet).
    std::function<std::string(const std::string& dir, std::string& target)> build;
    // The context of the refusal; nullptr: the log file is opened and the
    // line lands in `target`.
    const char* refusal;
};

std::ostream& operator<<(std::ostream& os, const trust_case_t& c)
{
    return os << c.name;
}

const uid_t nobody = 65534;

std::string make_dir(const std::string& path, mode_t mode)
{
    EXPECT_EQ(0, mkdir(path.c_str(), 0700));
    EXPECT_EQ(0, chmod(path.c_str(), mode));
    return path;
}

std::string make_link(const std::string& to, const std::string& at, uid_t owner)
{
    EXPECT_EQ(0, symlink(to.c_str(), at.c_str()));
    EXPECT_EQ(0, lchown(at.c_str(), owner, owner));
    return at;
}

std::string make_file(const std::string& path, const std::string& content, mode_t mode, uid_t owner)
{
    nt::write_file(path, content, mode);
    EXPECT_EQ(0, chown(path.c_str(), owner, owner));
    return path;
}

// A directory only root can write, one anyone can (sticky, like /tmp), and
// a root file of 0600 that a planted link would lead to.
std::string root_only(const std::string& dir)
{
    return make_dir(dir + "/root-only", 0755);
}
std::string sticky(const std::string& dir)
{
    return make_dir(dir + "/sticky", 01777);
}
std::string secret(const std::string& dir)
{
    make_dir(dir + "/real", 0755);
    return make_file(dir + "/real/secret", "root's own\n", 0600, 0);
}

const trust_case_t trust_cases[] = {
    {"RootLinkInRootOnlyDirectory",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link("../real/secret", root_only(dir) + "/tarsel.log", 0);
     },
     nullptr},
    {"AbsoluteRootLinkToAMissingFile",
     [](const std::string& dir, std::string& target) {
         secret(dir);
         target = dir + "/real/new.log";
         return make_link(target, root_only(dir) + "/tarsel.log", 0);
     },
     nullptr},
    {"RootLinkOnTheWay",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link("../real", root_only(dir) + "/logs", 0) + "/secret";
     },
     nullptr},
    {"NobodysLinkInStickyDirectory",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link(target, sticky(dir) + "/tarsel.log", nobody);
     },
     CF_TEXT_CONTEXT_LOG_LINK_REFUSED},
    {"NobodysLinkToAMissingFile",
     [](const std::string& dir, std::string& target) {
         secret(dir);
         target = dir + "/real/created";
         return make_link(target, sticky(dir) + "/tarsel.log", nobody);
     },
     CF_TEXT_CONTEXT_LOG_LINK_REFUSED},
    {"RootLinkInStickyDirectory",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link(target, sticky(dir) + "/tarsel.log", 0);
     },
     CF_TEXT_CONTEXT_LOG_LINK_REFUSED},
    {"RootLinkInGroupWritableDirectory",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link(target, make_dir(dir + "/group", 0775) + "/tarsel.log", 0);
     },
     CF_TEXT_CONTEXT_LOG_LINK_REFUSED},
    {"NobodysLinkInRootOnlyDirectory",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link(target, root_only(dir) + "/tarsel.log", nobody);
     },
     CF_TEXT_CONTEXT_LOG_LINK_REFUSED},
    {"NobodysLinkOnTheWay",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         return make_link(dir + "/real", sticky(dir) + "/logs", nobody) + "/secret";
     },
     CF_TEXT_CONTEXT_LOG_LINK_REFUSED},
    {"NobodysFile",
     [](const std::string& dir, std::string& target) {
         target = make_file(sticky(dir) + "/tarsel.log", "theirs\n", 0666, nobody);
         return target;
     },
     CF_TEXT_CONTEXT_LOG_OWNER_REFUSED},
    {"HardLinkInStickyDirectory",
     [](const std::string& dir, std::string& target) {
         target = secret(dir);
         const std::string path = sticky(dir) + "/tarsel.log";
         EXPECT_EQ(0, link(target.c_str(), path.c_str()));
         return path;
     },
     CF_TEXT_CONTEXT_LOG_HARD_LINK_REFUSED},
};

class log_file_trust_test : public make_log_sink_test, public ::testing::WithParamInterface<trust_case_t>
{};

TEST_P(log_file_trust_test, only_what_root_alone_could_have_made_is_followed)
{
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    std::string target;
    const std::string path = GetParam().build(dir.path(), target);
    struct stat before;
    const bool existed = lstat(target.c_str(), &before) == 0;
    const std::string content = nt::read_file(target);

    const nx::Log setting = file_setting(path);
    if (GetParam().refusal == nullptr) {
        {
            cf_log_ptr sink = make_log_sink(setting);
            sink->log(LOG_NOTICE_LEVEL, "through the link");
        }
        ASSERT_TRUE(log_written());
        const std::string now = nt::read_file(target);
        EXPECT_EQ(0u, now.find(content)) << now;
        EXPECT_NE(std::string::npos, now.find("] Notice: through the link\n", content.size())) << now;
        return;
    }
    const boost::system::error_code code = failure(setting, GetParam().refusal);
    EXPECT_EQ(boost::system::error_code(EPERM, boost::system::system_category()), code);
    struct stat after;
    ASSERT_EQ(existed, lstat(target.c_str(), &after) == 0) << target;
    if (!existed)
        return;
    EXPECT_EQ(content, nt::read_file(target));
    EXPECT_EQ(before.st_mode, after.st_mode);
    EXPECT_EQ(before.st_size, after.st_size);
}

INSTANTIATE_TEST_SUITE_P(make_log_sink_test, log_file_trust_test, ::testing::ValuesIn(trust_cases),
                         [](const ::testing::TestParamInfo<trust_case_t>& info) {
                             return std::string(info.param.name);
                         });

// A file of root's that others could read or write keeps its lines and
// loses those rights; one of root's alone keeps its mode.
TEST_F(make_log_sink_test, a_log_file_others_could_read_is_kept_from_them)
{
    const std::pair<mode_t, mode_t> cases[] = {{0666, 0640}, {0644, 0640}, {0600, 0600}};
    for (const std::pair<mode_t, mode_t>& modes : cases) {
        SCOPED_TRACE(modes.first);
        const std::string path = make_file(dir.file("old.log"), "earlier\n", modes.first, 0);
        ASSERT_EQ(0, chmod(path.c_str(), modes.first));
        make_log_sink(file_setting(path));
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        EXPECT_EQ(modes.second, st.st_mode & 07777);
        EXPECT_EQ("earlier\n", nt::read_file(path));
    }
}

} // namespace
