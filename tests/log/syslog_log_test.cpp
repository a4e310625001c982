#include "log/syslog_log.hpp"

#include <errno.h>
#include <syslog.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "log.pb.h"
#include "log/log.hpp"
#include "support/fake_syslog.hpp"
#include "support/log_capture.hpp"

namespace {

class syslog_log_test : public ::testing::Test
{
protected:
    // Runs body in a child whose syslog lines reach a socket of the test;
    // the child's pid is taken from the datagrams.
    std::vector<syslog_datagram_t> run(const std::function<void()>& body)
    {
        fake_syslog_result_t result = run_with_fake_syslog([&] {
            body();
            // The child ends without running its static destructors.
            return std::string(log_written() ? "done" : "log not written");
        });
        EXPECT_EQ("", result.setup_error);
        EXPECT_EQ("done", result.answer);
        EXPECT_TRUE(WIFEXITED(result.status) && WEXITSTATUS(result.status) == 0);
        std::vector<syslog_datagram_t> datagrams = parsed(result.datagrams);
        for (const syslog_datagram_t& d : datagrams)
            EXPECT_NE(-1, d.priority) << "not in syslog form: " << d.text;
        return datagrams;
    }

    log_state_restorer_t restorer;
};

struct priority_case_t
{
    int level;
    int priority;
};

TEST_F(syslog_log_test, levels_map_to_priorities_under_the_ident_facility_and_pid)
{
    const priority_case_t cases[] = {
        {LOG_DEBUG_LEVEL, LOG_DEBUG},
        {LOG_INFO_LEVEL, LOG_INFO},
        {LOG_NOTICE_LEVEL, LOG_NOTICE},
        {LOG_WARNING_LEVEL, LOG_WARNING},
        {LOG_ERROR_LEVEL, LOG_ERR},
        {9, LOG_ERR},
        {-1, LOG_ERR},
    };
    std::vector<syslog_datagram_t> got = run([&] {
        cf_syslog_log_t sink("tarsel-test", LOG_LOCAL3);
        sink.open();
        for (const priority_case_t& c : cases)
            sink.log(c.level, "level " + std::to_string(c.level));
    });
    ASSERT_EQ(std::size(cases), got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(cases[i].level);
        EXPECT_EQ(LOG_LOCAL3 | cases[i].priority, got[i].priority);
        EXPECT_EQ("tarsel-test", got[i].ident);
        EXPECT_EQ("level " + std::to_string(cases[i].level), got[i].text);
        EXPECT_GT(got[i].pid, 0);
        EXPECT_NE(getpid(), got[i].pid);
    }
}

TEST_F(syslog_log_test, a_line_for_another_process_goes_at_err_without_a_level_word)
{
    std::vector<syslog_datagram_t> got = run([] {
        cf_syslog_log_t sink("tarsel-test", LOG_USER);
        sink.open();
        sink.log_from_process("probe", 77, "abc");
    });
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(LOG_USER | LOG_ERR, got[0].priority);
    EXPECT_EQ("probe-77: abc", got[0].text);
}

TEST_F(syslog_log_test, format_directives_in_the_text_arrive_unchanged)
{
    const std::string text = "100% done %s %n %d %%";
    std::vector<syslog_datagram_t> got = run([&] {
        cf_syslog_log_t sink("tarsel-test", LOG_DAEMON);
        sink.open();
        sink.log(LOG_NOTICE_LEVEL, text);
        sink.log_from_process("probe%s", 1, text);
    });
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(text, got[0].text);
    EXPECT_EQ("probe%s-1: " + text, got[1].text);
}

TEST_F(syslog_log_test, no_ident_lets_the_logger_use_the_program_name)
{
    std::vector<syslog_datagram_t> got = run([] {
        cf_syslog_log_t sink(nullptr, LOG_DAEMON);
        sink.open();
        sink.log(LOG_NOTICE_LEVEL, "x");
    });
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(program_invocation_short_name, got[0].ident);
    EXPECT_EQ(LOG_DAEMON | LOG_NOTICE, got[0].priority);
}

TEST_F(syslog_log_test, the_ident_is_copied)
{
    std::vector<syslog_datagram_t> got = run([] {
        std::string ident = "copied-ident";
        cf_syslog_log_t sink(ident.c_str(), LOG_DAEMON);
        ident.assign(ident.size(), 'X');
        sink.open();
        sink.log(LOG_NOTICE_LEVEL, "x");
    });
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("copied-ident", got[0].ident);
}

TEST_F(syslog_log_test, a_replacing_syslog_sink_keeps_its_ident_and_facility)
{
    std::vector<syslog_datagram_t> got = run([] {
        set_log_sink(boost::make_shared<cf_syslog_log_t>("first", LOG_USER));
        log_message(LOG_NOTICE_LEVEL, "one");
        set_log_sink(boost::make_shared<cf_syslog_log_t>("second", LOG_LOCAL7));
        log_message(LOG_NOTICE_LEVEL, "two");
    });
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("first", got[0].ident);
    EXPECT_EQ(LOG_USER | LOG_NOTICE, got[0].priority);
    EXPECT_EQ("second", got[1].ident);
    EXPECT_EQ(LOG_LOCAL7 | LOG_NOTICE, got[1].priority);
}

TEST_F(syslog_log_test, an_old_sink_released_after_its_replacement_opened_does_not_close_the_new_connection)
{
    std::vector<syslog_datagram_t> got = run([] {
        cf_log_ptr first = boost::make_shared<cf_syslog_log_t>("first", LOG_USER);
        set_log_sink(first);
        // Another thread still holds the old sink while the new one opens,
        // and lets it go only afterwards.
        set_log_sink(boost::make_shared<cf_syslog_log_t>("second", LOG_LOCAL7));
        std::thread holder([old = std::move(first)]() mutable { old.reset(); });
        holder.join();
        log_message(LOG_NOTICE_LEVEL, "after");
    });
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ("second", got[0].ident);
    EXPECT_EQ(LOG_LOCAL7 | LOG_NOTICE, got[0].priority);
    EXPECT_EQ("after", got[0].text);
}

TEST_F(syslog_log_test, the_sink_that_opened_the_connection_closes_it_when_replaced)
{
    std::vector<syslog_datagram_t> got = run([] {
        set_log_sink(boost::make_shared<cf_syslog_log_t>("first", LOG_USER));
        log_message(LOG_NOTICE_LEVEL, "one");
        set_log_sink(recording_log_ptr(new recording_log_t));
        log_written();
        // After closelog a line falls back to the program's name.
        syslog(LOG_NOTICE, "%s", "direct");
    });
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("first", got[0].ident);
    EXPECT_EQ(program_invocation_short_name, got[1].ident);
}

struct facility_case_t
{
    nx::Log::LogFacility facility;
    int expected;
};

TEST_F(syslog_log_test, the_factory_maps_every_facility_and_passes_the_ident)
{
    const facility_case_t cases[] = {
        {nx::Log::DAEMON, LOG_DAEMON}, {nx::Log::USER, LOG_USER},     {nx::Log::MAIL, LOG_MAIL},
        {nx::Log::LOCAL0, LOG_LOCAL0}, {nx::Log::LOCAL1, LOG_LOCAL1}, {nx::Log::LOCAL2, LOG_LOCAL2},
        {nx::Log::LOCAL3, LOG_LOCAL3}, {nx::Log::LOCAL4, LOG_LOCAL4}, {nx::Log::LOCAL5, LOG_LOCAL5},
        {nx::Log::LOCAL6, LOG_LOCAL6}, {nx::Log::LOCAL7, LOG_LOCAL7},
    };
    std::vector<syslog_datagram_t> got = run([&] {
        for (const facility_case_t& c : cases) {
            nx::Log setting;
            setting.set_type(nx::Log::SYSLOG);
            setting.set_facility(c.facility);
            setting.set_ident("factory");
            set_log_sink(make_log_sink(setting));
            log_message(LOG_WARNING_LEVEL, "w");
        }
        // Absent facility and ident: DAEMON and the program name.
        nx::Log setting;
        setting.set_type(nx::Log::SYSLOG);
        set_log_sink(make_log_sink(setting));
        log_message(LOG_WARNING_LEVEL, "default");
    });
    ASSERT_EQ(std::size(cases) + 1, got.size());
    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].facility);
        EXPECT_EQ(cases[i].expected | LOG_WARNING, got[i].priority);
        EXPECT_EQ("factory", got[i].ident);
    }
    EXPECT_EQ(LOG_DAEMON | LOG_WARNING, got.back().priority);
    EXPECT_EQ(program_invocation_short_name, got.back().ident);
    EXPECT_EQ("default", got.back().text);
}

} // namespace
