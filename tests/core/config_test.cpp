#include "core/config.hpp"

#include <sys/wait.h>
#include <syslog.h>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "error/proto_error.hpp"
#include "log/log.hpp"
#include "support/fake_syslog.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

// The 21 dump lines of a configuration that sets nothing.
const std::vector<std::string> empty_dump = {
    std::string(TS_TEXT_DUMP_LOG_LEVEL) + "Debug",
    std::string(TS_TEXT_DUMP_LOG) + "Syslog:Daemon",
    std::string(TS_TEXT_DUMP_INCLUDED_PATH),
    std::string(TS_TEXT_DUMP_EXCLUDED_PATH),
    std::string(TS_TEXT_DUMP_MODE) + "Auto",
    std::string(TS_TEXT_DUMP_EXCLUDED_PROC),
    std::string(TS_TEXT_DUMP_ON_KNOWN_VIRUS) + "Cure",
    std::string(TS_TEXT_DUMP_ON_INCURABLE) + "Cure",
    std::string(TS_TEXT_DUMP_ON_SUSPICIOUS) + "Cure",
    std::string(TS_TEXT_DUMP_ON_ADWARE) + "Cure",
    std::string(TS_TEXT_DUMP_ON_DIALERS) + "Cure",
    std::string(TS_TEXT_DUMP_ON_JOKES) + "Cure",
    std::string(TS_TEXT_DUMP_ON_RISKWARE) + "Cure",
    std::string(TS_TEXT_DUMP_ON_HACKTOOLS) + "Cure",
    std::string(TS_TEXT_DUMP_SCAN_TIMEOUT) + "0",
    std::string(TS_TEXT_DUMP_HEURISTIC_ANALYSIS) + "0",
    std::string(TS_TEXT_DUMP_PACKER_MAX_LEVEL) + "0",
    std::string(TS_TEXT_DUMP_ARCHIVE_MAX_LEVEL) + "0",
    std::string(TS_TEXT_DUMP_MAIL_MAX_LEVEL) + "0",
    std::string(TS_TEXT_DUMP_CONTAINER_MAX_LEVEL) + "0",
    std::string(TS_TEXT_DUMP_MAX_COMPRESSION_RATIO) + "0",
};

// The largest timeout, heuristics on, the four levels 1 to 4 and the ratio.
void set_limits(nx::LinuxTarselConfig& config, uint32_t ratio)
{
    config.set_scan_timeout(4294967295u);
    config.set_heuristic_analysis(true);
    config.set_packer_max_level(1);
    config.set_archive_max_level(2);
    config.set_mail_max_level(3);
    config.set_container_max_level(4);
    config.set_max_compression_ratio(ratio);
}

class config_test : public ::testing::Test
{
protected:
    // The dump of config as a sink of the test's own receives it.
    static std::vector<std::string> dump_of(const nx::LinuxTarselConfig& config)
    {
        recording_log_ptr sink(new recording_log_t);
        set_log_sink(sink);
        log_threshold = LOG_DEBUG_LEVEL;
        dump_config(config);
        for (const recording_log_t::line_t& line : sink->lines())
            EXPECT_EQ(LOG_DEBUG_LEVEL, line.level) << line.text;
        return sink->texts();
    }

    // The texts of the lines in a log file, without time stamp, pid and level.
    static std::vector<std::string> file_texts(const boost::filesystem::path& path, const char* level = "Debug")
    {
        std::vector<std::string> texts;
        EXPECT_TRUE(log_written());
        const std::string word = std::string("] ") + level + ": ";
        for (const std::string& line : nt::split_lines(nt::read_file(path.string()))) {
            size_t at = line.find(word);
            EXPECT_NE(std::string::npos, at) << line;
            if (at != std::string::npos)
                texts.push_back(line.substr(at + word.size()));
        }
        return texts;
    }

    log_state_restorer_t restorer;
    nt::temp_dir_t dir{"config"};
};

TEST_F(config_test, the_dump_of_an_empty_configuration_is_its_21_defaults)
{
    EXPECT_EQ(empty_dump, dump_of(nx::LinuxTarselConfig()));
}

TEST_F(config_test, the_dump_shows_values_in_their_display_forms)
{
    nx::LinuxTarselConfig config;
    config.set_log_level(nx::LOG_LEVEL_WARNING);
    config.mutable_log()->set_type(nx::Log::STDERR);
    config.mutable_log()->set_show_timestamp(true);
    config.mutable_included_path()->add_path("/home");
    config.mutable_included_path()->add_path("/srv");
    config.mutable_excluded_path()->add_path("/home/tmp");
    config.set_mode(nx::LTM_LKM);
    config.mutable_excluded_proc()->add_path("/usr/bin/a");
    config.mutable_excluded_proc_auto()->add_path("/usr/bin/a");
    config.mutable_excluded_proc_auto()->add_path("/usr/bin/b");
    config.set_on_known_virus(nx::FILE_ACTION_QUARANTINE);
    config.set_on_hacktools(nx::FILE_ACTION_IGNORE);
    set_limits(config, 4000000000u);
    config.mutable_actual_log()->set_type(nx::Log::FILE);
    config.mutable_actual_log()->set_path("/never/shown.log");
    config.set_exe_path("/never/shown");

    std::vector<std::string> expected = empty_dump;
    expected[0] = std::string(TS_TEXT_DUMP_LOG_LEVEL) + "Warning";
    expected[1] = std::string(TS_TEXT_DUMP_LOG) + "Stderr:ShowTimestamp";
    expected[2] = std::string(TS_TEXT_DUMP_INCLUDED_PATH) + "/home, /srv";
    expected[3] = std::string(TS_TEXT_DUMP_EXCLUDED_PATH) + "/home/tmp";
    expected[4] = std::string(TS_TEXT_DUMP_MODE) + "LKM";
    expected[5] = std::string(TS_TEXT_DUMP_EXCLUDED_PROC) + "/usr/bin/a";
    expected[6] = std::string(TS_TEXT_DUMP_ON_KNOWN_VIRUS) + "Quarantine";
    expected[13] = std::string(TS_TEXT_DUMP_ON_HACKTOOLS) + "Ignore";
    expected[14] = std::string(TS_TEXT_DUMP_SCAN_TIMEOUT) + "4294967295";
    expected[15] = std::string(TS_TEXT_DUMP_HEURISTIC_ANALYSIS) + "1";
    expected[16] = std::string(TS_TEXT_DUMP_PACKER_MAX_LEVEL) + "1";
    expected[17] = std::string(TS_TEXT_DUMP_ARCHIVE_MAX_LEVEL) + "2";
    expected[18] = std::string(TS_TEXT_DUMP_MAIL_MAX_LEVEL) + "3";
    expected[19] = std::string(TS_TEXT_DUMP_CONTAINER_MAX_LEVEL) + "4";
    expected[20] = std::string(TS_TEXT_DUMP_MAX_COMPRESSION_RATIO) + "4000000000";
    EXPECT_EQ(expected, dump_of(config));
}

TEST_F(config_test, the_dump_stops_when_the_threshold_leaves_debug)
{
    // A sink that raises the threshold after the third line it receives.
    class raising_log_t : public recording_log_t
    {
    public:
        void log(int level, const std::string& text) override
        {
            recording_log_t::log(level, text);
            if (lines().size() == 3)
                log_threshold = LOG_INFO_LEVEL;
        }
    };
    boost::shared_ptr<raising_log_t> sink(new raising_log_t);
    set_log_sink(sink);
    log_threshold = LOG_DEBUG_LEVEL;
    dump_config(nx::LinuxTarselConfig());
    EXPECT_EQ(std::vector<std::string>(empty_dump.begin(), empty_dump.begin() + 3), sink->texts());

    log_threshold = LOG_INFO_LEVEL;
    dump_config(nx::LinuxTarselConfig());
    EXPECT_EQ(3u, sink->lines().size());
}

// Each applied configuration goes to a log file the test reads back.
TEST_F(config_test, applying_copies_the_whole_configuration_sets_the_threshold_and_dumps_it)
{
    const boost::filesystem::path path = dir / "tarsel.log";
    nx::LinuxTarselConfig current;
    current.set_mode(nx::LTM_FANOTIFY);
    current.mutable_included_path()->add_path("/old");
    nx::LinuxTarselConfig received;
    received.mutable_actual_log()->set_type(nx::Log::FILE);
    received.mutable_actual_log()->set_path(path.string());

    apply_config(current, received);
    EXPECT_EQ(received.SerializeAsString(), current.SerializeAsString());
    EXPECT_FALSE(current.has_mode());
    EXPECT_FALSE(current.has_included_path());
    EXPECT_EQ(LOG_DEBUG_LEVEL, log_threshold);
    EXPECT_EQ(empty_dump, file_texts(path));
}

TEST_F(config_test, a_level_above_debug_applies_without_a_dump)
{
    const boost::filesystem::path path = dir / "tarsel.log";
    const std::pair<nx::LogLevel, int> cases[] = {{nx::LOG_LEVEL_INFO, LOG_INFO_LEVEL},
                                                  {nx::LOG_LEVEL_NOTICE, LOG_NOTICE_LEVEL},
                                                  {nx::LOG_LEVEL_WARNING, LOG_WARNING_LEVEL},
                                                  {nx::LOG_LEVEL_ERROR, LOG_ERROR_LEVEL}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        nx::LinuxTarselConfig current, received;
        received.set_log_level(c.first);
        received.mutable_actual_log()->set_type(nx::Log::FILE);
        received.mutable_actual_log()->set_path(path.string());
        apply_config(current, received);
        EXPECT_EQ(c.second, log_threshold);
        log_message(LOG_ERROR_LEVEL, "installed");
        EXPECT_EQ(std::vector<std::string>{"installed"}, file_texts(path, "Error"));
        boost::filesystem::remove(path);
    }
}

TEST_F(config_test, a_sink_that_cannot_be_built_leaves_the_old_sink_but_the_new_copy_and_threshold)
{
    const std::pair<std::string, boost::system::error_code> cases[] = {
        {"relative/tarsel.log", nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH)},
        {(dir / "missing" / "tarsel.log").string(),
         boost::system::error_code(ENOENT, boost::system::system_category())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        recording_log_ptr previous(new recording_log_t);
        set_log_sink(previous);
        log_threshold = LOG_NOTICE_LEVEL;
        nx::LinuxTarselConfig current, received;
        received.set_log_level(nx::LOG_LEVEL_DEBUG);
        received.set_mode(nx::LTM_LKM);
        received.mutable_actual_log()->set_type(nx::Log::FILE);
        received.mutable_actual_log()->set_path(c.first);
        try {
            apply_config(current, received);
            ADD_FAILURE() << "no exception";
        } catch (const boost::filesystem::filesystem_error& e) {
            EXPECT_EQ(c.second, e.code());
            EXPECT_EQ(c.second == nx::make_error_code(20) ? 20 : 23, exception_to_proto_code(e));
        }
        EXPECT_EQ(LOG_DEBUG_LEVEL, log_threshold);
        EXPECT_EQ(nx::LTM_LKM, current.mode());
        EXPECT_TRUE(previous->texts().empty());
        log_message(LOG_ERROR_LEVEL, "still here");
        EXPECT_EQ(std::vector<std::string>{"still here"}, previous->texts());
    }
}

// Without actual_log the sink is syslog, facility DAEMON, no ident: the dump
// reaches a system logger of the test's own.
TEST_F(config_test, without_actual_log_the_dump_goes_to_syslog_and_shows_log_instead)
{
    fake_syslog_result_t result = run_with_fake_syslog([] {
        nx::LinuxTarselConfig current, received;
        received.mutable_log()->set_type(nx::Log::FILE);
        received.mutable_log()->set_path("/var/log/shown-only.log");
        apply_config(current, received);
        // The child ends without running its static destructors.
        return log_written() ? std::to_string(log_threshold) : "log not written";
    });
    EXPECT_EQ("", result.setup_error);
    EXPECT_EQ(std::to_string(LOG_DEBUG_LEVEL), result.answer);
    std::vector<syslog_datagram_t> got = parsed(result.datagrams);
    std::vector<std::string> expected = empty_dump;
    expected[1] = std::string(TS_TEXT_DUMP_LOG) + "/var/log/shown-only.log";
    ASSERT_EQ(expected.size(), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(expected[i], got[i].text);
        EXPECT_EQ(LOG_DAEMON | LOG_DEBUG, got[i].priority);
        EXPECT_EQ(program_invocation_short_name, got[i].ident);
    }
}

TEST_F(config_test, path_lists_are_appended_in_order)
{
    nx::LinuxTarselConfig config;
    config.mutable_included_path()->add_path("/a");
    config.mutable_included_path()->add_path("/b");
    config.mutable_excluded_path()->add_path("/a/x");
    config.mutable_excluded_proc()->add_path("A");
    config.mutable_excluded_proc_auto()->add_path("A");
    config.mutable_excluded_proc_auto()->add_path("B");

    std::vector<std::string> paths{"kept"};
    included_paths(config, paths);
    EXPECT_EQ((std::vector<std::string>{"kept", "/a", "/b"}), paths);
    paths.clear();
    excluded_paths(config, paths);
    EXPECT_EQ(std::vector<std::string>{"/a/x"}, paths);
    paths.clear();
    excluded_processes(config, paths);
    EXPECT_EQ((std::vector<std::string>{"A", "A", "B"}), paths);
    EXPECT_EQ(std::string(TS_TEXT_DUMP_EXCLUDED_PROC) + "A", dump_of(config)[5]);

    paths.clear();
    nx::LinuxTarselConfig empty;
    included_paths(empty, paths);
    excluded_paths(empty, paths);
    excluded_processes(empty, paths);
    EXPECT_TRUE(paths.empty());
}

void expect_all_actions(const ks::ActionSet& actions, nx::FileAction action)
{
    EXPECT_TRUE(actions.has_on_known_virus());
    EXPECT_TRUE(actions.has_on_incurable());
    EXPECT_TRUE(actions.has_on_suspicious());
    EXPECT_TRUE(actions.has_on_adware());
    EXPECT_TRUE(actions.has_on_dialers());
    EXPECT_TRUE(actions.has_on_jokes());
    EXPECT_TRUE(actions.has_on_riskware());
    EXPECT_TRUE(actions.has_on_hacktools());
    EXPECT_EQ(action, actions.on_known_virus());
    EXPECT_EQ(action, actions.on_incurable());
    EXPECT_EQ(action, actions.on_suspicious());
    EXPECT_EQ(action, actions.on_adware());
    EXPECT_EQ(action, actions.on_dialers());
    EXPECT_EQ(action, actions.on_jokes());
    EXPECT_EQ(action, actions.on_riskware());
    EXPECT_EQ(action, actions.on_hacktools());
    EXPECT_FALSE(actions.has_cure_boot());
}

TEST_F(config_test, flow_options_of_an_empty_configuration_override_every_default)
{
    ks::FlowOptions options;
    make_flow_options(nx::LinuxTarselConfig(), &options);
    EXPECT_EQ(0, options.included_path_size());
    EXPECT_EQ(0, options.excluded_path_size());
    ASSERT_TRUE(options.has_actions());
    expect_all_actions(options.actions(), nx::FILE_ACTION_CURE);
    EXPECT_TRUE(options.has_scan_timeout_ms());
    EXPECT_EQ(0u, options.scan_timeout_ms());
    EXPECT_TRUE(options.has_heuristic_analysis());
    EXPECT_FALSE(options.heuristic_analysis());
    EXPECT_TRUE(options.has_packer_max_level());
    EXPECT_EQ(0u, options.packer_max_level());
    EXPECT_TRUE(options.has_archive_max_level());
    EXPECT_EQ(0u, options.archive_max_level());
    EXPECT_TRUE(options.has_mail_max_level());
    EXPECT_EQ(0u, options.mail_max_level());
    EXPECT_TRUE(options.has_container_max_level());
    EXPECT_EQ(0u, options.container_max_level());
    EXPECT_TRUE(options.has_max_compression_ratio());
    EXPECT_EQ(0u, options.max_compression_ratio());
}

TEST_F(config_test, flow_options_carry_the_paths_byte_for_byte_and_the_values)
{
    nx::LinuxTarselConfig config;
    const std::string odd_path("/data/\xff\xfe name\n", 15);
    config.mutable_included_path()->add_path("/home");
    config.mutable_included_path()->add_path(odd_path);
    config.mutable_excluded_path()->add_path("/home/cache");
    for (auto set : {&nx::LinuxTarselConfig::set_on_known_virus, &nx::LinuxTarselConfig::set_on_incurable,
                     &nx::LinuxTarselConfig::set_on_suspicious, &nx::LinuxTarselConfig::set_on_adware,
                     &nx::LinuxTarselConfig::set_on_dialers, &nx::LinuxTarselConfig::set_on_jokes,
                     &nx::LinuxTarselConfig::set_on_riskware, &nx::LinuxTarselConfig::set_on_hacktools})
        (config.*set)(nx::FILE_ACTION_DELETE);
    set_limits(config, 5);

    ks::FlowOptions options;
    make_flow_options(config, &options);
    ASSERT_EQ(2, options.included_path_size());
    EXPECT_EQ("/home", options.included_path(0));
    EXPECT_EQ(odd_path, options.included_path(1));
    ASSERT_EQ(1, options.excluded_path_size());
    EXPECT_EQ("/home/cache", options.excluded_path(0));
    expect_all_actions(options.actions(), nx::FILE_ACTION_DELETE);
    EXPECT_EQ(4294967295u, options.scan_timeout_ms());
    EXPECT_TRUE(options.heuristic_analysis());
    EXPECT_EQ(1u, options.packer_max_level());
    EXPECT_EQ(2u, options.archive_max_level());
    EXPECT_EQ(3u, options.mail_max_level());
    EXPECT_EQ(4u, options.container_max_level());
    EXPECT_EQ(5u, options.max_compression_ratio());
}

struct log_text_case_t
{
    nx::Log::LogType type;
    bool set_facility;
    nx::Log::LogFacility facility;
    const char* path;
    bool show_timestamp;
    const char* text;
};

TEST_F(config_test, log_settings_read_as_text)
{
    const log_text_case_t cases[] = {
        {nx::Log::SYSLOG, false, nx::Log::DAEMON, nullptr, false, "Syslog:Daemon"},
        {nx::Log::SYSLOG, true, nx::Log::LOCAL7, nullptr, false, "Syslog:Local7"},
        {nx::Log::SYSLOG, true, nx::Log::MAIL, "/ignored", true, "Syslog:Mail"},
        {nx::Log::FILE, false, nx::Log::DAEMON, "/var/log/tarsel.log", false, "/var/log/tarsel.log"},
        {nx::Log::FILE, false, nx::Log::DAEMON, "relative.log", true, "relative.log"},
        {nx::Log::FILE, false, nx::Log::DAEMON, nullptr, false, ""},
        {nx::Log::STDERR, false, nx::Log::DAEMON, nullptr, false, "Stderr"},
        {nx::Log::STDERR, false, nx::Log::DAEMON, nullptr, true, "Stderr:ShowTimestamp"},
        {nx::Log::AUTO, true, nx::Log::USER, "/ignored", true, "Auto"},
    };
    for (const log_text_case_t& c : cases) {
        nx::Log setting;
        setting.set_type(c.type);
        setting.set_ident("never shown");
        if (c.set_facility)
            setting.set_facility(c.facility);
        if (c.path != nullptr)
            setting.set_path(c.path);
        setting.set_show_timestamp(c.show_timestamp);
        EXPECT_EQ(c.text, log_to_string(setting));
    }
}

} // namespace
