#include "log/console_log.hpp"

#include <gtest/gtest.h>

#include "log.pb.h"
#include "log/log.hpp"
#include "support/log_capture.hpp"

namespace {

struct console_case_t
{
    int level;
    const char* line;
};

void PrintTo(const console_case_t& c, std::ostream* out)
{
    *out << "level " << c.level;
}

class console_log_test : public ::testing::TestWithParam<console_case_t>
{
protected:
    log_state_restorer_t restorer;
};

// The console sink and the fallback before any sink write the same form.
TEST_P(console_log_test, a_line_is_the_level_word_and_the_text)
{
    cerr_capture_t capture;
    cf_console_log_t sink;
    sink.log(GetParam().level, "abc");
    log_message(GetParam().level, "abc");
    EXPECT_EQ(std::string(GetParam().line) + "\n" + GetParam().line + "\n", capture.text());
}

INSTANTIATE_TEST_SUITE_P(levels, console_log_test,
                         ::testing::Values(console_case_t{LOG_DEBUG_LEVEL, "Debug: abc"},
                                           console_case_t{LOG_INFO_LEVEL, "Info: abc"},
                                           console_case_t{LOG_NOTICE_LEVEL, "Notice: abc"},
                                           console_case_t{LOG_WARNING_LEVEL, "Warning: abc"},
                                           console_case_t{LOG_ERROR_LEVEL, "Error: abc"},
                                           console_case_t{5, "Unknown: abc"}, console_case_t{9, "Unknown: abc"},
                                           console_case_t{-1, "Unknown: abc"}));

TEST_F(console_log_test, a_line_for_another_process_is_source_pid_and_text)
{
    cerr_capture_t capture;
    cf_console_log_t sink;
    sink.log_from_process("probe", 77, "abc");
    log_from_process("probe", 77, "abc");
    EXPECT_EQ("probe-77: abc\nprobe-77: abc\n", capture.text());
}

TEST_F(console_log_test, the_factory_builds_it_for_stderr_without_time_stamps)
{
    nx::Log setting;
    setting.set_type(nx::Log::STDERR);
    cerr_capture_t capture;
    set_log_sink(make_log_sink(setting));
    log_message(LOG_WARNING_LEVEL, "abc");
    log_from_process("probe", 77, "abc");
    EXPECT_EQ("Warning: abc\nprobe-77: abc\n", capture.text());
}

} // namespace
