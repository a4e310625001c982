#include "log/log.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include <boost/weak_ptr.hpp>
#include <gtest/gtest.h>

#include "log.pb.h"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

class log_test : public ::testing::Test
{
protected:
    log_state_restorer_t restorer;
};

TEST_F(log_test, before_any_sink_lines_go_to_stderr_at_threshold_notice)
{
    EXPECT_EQ(LOG_NOTICE_LEVEL, log_threshold);
    cerr_capture_t capture;
    log_message(LOG_NOTICE_LEVEL, "SIGHUP has arrived");
    log_from_process("probe", 77, "abc");
    EXPECT_EQ("Notice: SIGHUP has arrived\nprobe-77: abc\n", capture.text());
}

TEST_F(log_test, an_installed_sink_is_opened_once_and_gets_every_line_until_removed)
{
    recording_log_ptr sink(new recording_log_t);
    set_log_sink(sink);
    EXPECT_EQ(1, sink->open_count());
    cerr_capture_t capture;
    // log_message writes whatever the threshold; call sites test it.
    log_message(LOG_DEBUG_LEVEL, "one");
    log_from_process("probe", 77, "two");
    set_log_sink(cf_log_ptr());
    log_message(LOG_ERROR_LEVEL, "three");
    ASSERT_EQ(2u, sink->lines().size());
    EXPECT_EQ(LOG_DEBUG_LEVEL, sink->lines()[0].level);
    EXPECT_EQ("one", sink->lines()[0].text);
    EXPECT_EQ("probe-77: two", sink->lines()[1].text);
    EXPECT_EQ("Error: three\n", capture.text());
    EXPECT_EQ(1, sink->open_count());
}

// A sink that replaces itself while it logs: the logging call must keep it
// alive until the call is over (a released sink here is a use after free).
class self_replacing_log_t : public recording_log_t
{
public:
    explicit self_replacing_log_t(cf_log_ptr next_sink)
        : next(next_sink)
    {}
    void log(int level, const std::string& text) override
    {
        set_log_sink(next);
        next.reset();
        recording_log_t::log(level, text);
    }

private:
    cf_log_ptr next;
};

TEST_F(log_test, the_sink_a_call_uses_lives_until_the_call_ends)
{
    recording_log_ptr next(new recording_log_t);
    boost::weak_ptr<recording_log_t> first;
    {
        boost::shared_ptr<self_replacing_log_t> sink(new self_replacing_log_t(next));
        first = sink;
        set_log_sink(sink);
    }
    log_message(LOG_NOTICE_LEVEL, "replaced meanwhile");
    EXPECT_TRUE(first.expired());
    log_message(LOG_NOTICE_LEVEL, "to the next one");
    ASSERT_EQ(1u, next->lines().size());
    EXPECT_EQ("to the next one", next->lines()[0].text);
    EXPECT_EQ(1, next->open_count());
}

TEST_F(log_test, the_previous_sink_is_released_by_the_replacement)
{
    boost::weak_ptr<recording_log_t> old;
    {
        recording_log_ptr sink(new recording_log_t);
        old = sink;
        set_log_sink(sink);
    }
    EXPECT_FALSE(old.expired());
    set_log_sink(recording_log_ptr(new recording_log_t));
    EXPECT_TRUE(old.expired());
}

// At exit the static objects go while other threads may still log (the
// mounts watcher is never joined): those lines must find the logging core
// alive. The process ends through exit() while a thread logs to a file.
TEST_F(log_test, threads_may_go_on_logging_while_the_process_exits)
{
    nt::temp_dir_t dir("log-exit");
    const boost::filesystem::path path = dir / "tarsel.log";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        nx::Log setting;
        setting.set_type(nx::Log::FILE);
        setting.set_path(path.string());
        set_log_sink(make_log_sink(setting));
        static std::atomic<bool> logged{false};
        std::thread([] {
            for (;;) {
                log_message(LOG_NOTICE_LEVEL, "still running");
                logged = true;
            }
        }).detach();
        while (!logged)
            std::this_thread::yield();
        // The fallback after the sink's release writes to standard error.
        int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDERR_FILENO);
        std::exit(0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_FALSE(nt::read_file(path.string()).empty());
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(0, WEXITSTATUS(status));
}

// The entry point builds the text only for a line that passes the
// threshold: a piece with a side effect shows whether it was evaluated.
TEST_F(log_test, the_entry_point_builds_the_text_only_for_a_wanted_line)
{
    recording_log_ptr sink(new recording_log_t);
    set_log_sink(sink);
    log_threshold = LOG_WARNING_LEVEL;
    int built = 0;
    auto piece = [&] {
        ++built;
        return std::string("piece");
    };
    NT_LOG(LOG_NOTICE_LEVEL, "not " << piece());
    NT_LOG(LOG_WARNING_LEVEL, "one " << piece() << " " << 42 << " " << -7L << ' ' << 'c');
    NT_LOG(LOG_ERROR_LEVEL, (built == 1 ? "two" : "none"));
    NT_LOG_EVENT(LOG_INFO_LEVEL, "not either", piece());
    EXPECT_EQ(1, built);
    EXPECT_EQ((std::vector<std::string>{"one piece 42 -7 c", "two"}), sink->texts());
    EXPECT_EQ(LOG_WARNING_LEVEL, sink->lines()[0].level);
}

// A flood of one per-event line: the limit, then nothing until the interval
// ends; another call site keeps a limit of its own.
TEST_F(log_test, a_flood_of_one_event_line_is_cut_at_the_limit)
{
    recording_log_ptr sink(new recording_log_t);
    set_log_sink(sink);
    for (int i = 0; i < 1000; ++i)
        NT_LOG_EVENT(LOG_WARNING_LEVEL, "Readlink failed on fd=", i);
    NT_LOG_EVENT(LOG_WARNING_LEVEL, "Another text", "");
    std::vector<std::string> expected;
    for (unsigned i = 0; i < LOG_EVENT_BURST; ++i)
        expected.push_back("Readlink failed on fd=" + std::to_string(i));
    expected.push_back("Another text");
    EXPECT_EQ(expected, sink->texts());
}

// The limit's intervals on a clock of the test's own: at most the burst per
// interval, then, with the first line after it, the count held back.
std::chrono::steady_clock::time_point fake_now;
std::chrono::steady_clock::time_point fake_clock()
{
    return fake_now;
}

TEST_F(log_test, the_limit_reports_what_it_held_back_when_the_interval_ends)
{
    cf_log_limiter_t limiter(3, std::chrono::seconds(5), fake_clock);
    std::uint64_t suppressed = 99;
    std::string admitted;
    for (int i = 0; i < 10; ++i) {
        admitted += limiter.admit(suppressed) ? '+' : '-';
        EXPECT_EQ(0u, suppressed);
        fake_now += std::chrono::milliseconds(100);
    }
    EXPECT_EQ("+++-------", admitted);
    fake_now += std::chrono::seconds(5);
    EXPECT_TRUE(limiter.admit(suppressed));
    EXPECT_EQ(7u, suppressed);
    // A quiet interval holds nothing back, so the next one reports nothing.
    fake_now += std::chrono::seconds(6);
    EXPECT_TRUE(limiter.admit(suppressed));
    EXPECT_EQ(0u, suppressed);

    recording_log_ptr sink(new recording_log_t);
    set_log_sink(sink);
    log_suppressed(LOG_WARNING_LEVEL, 7, "Readlink failed on fd=");
    EXPECT_EQ((std::vector<std::string>{"Suppressed 7 messages like: Readlink failed on fd="}), sink->texts());
}

// The escaped form of the texts that a file name can bring: control bytes,
// 0x7F and the backslash become a backslash and three octal digits; bytes
// above 0x7F (UTF-8 names) and every other byte stay as they are.
TEST_F(log_test, control_bytes_and_the_backslash_are_escaped_in_octal)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/plain/name.txt", "/plain/name.txt"},
        {"x\nNotice: Exit with status 0 (Success)", "x\\012Notice: Exit with status 0 (Success)"},
        {std::string("a\nb"), "a\\012b"},
        {"a\rb", "a\\015b"},
        {"a\x1b[31mb", "a\\033[31mb"},
        {"a\x7f"
         "b",
         "a\\177b"},
        {"a\\012b", "a\\134012b"},
        {std::string("a\0b", 3), "a\\000b"},
        {"\x01\x1f", "\\001\\037"},
        {"caf\xc3\xa9 \xff", "caf\xc3\xa9 \xff"},
        {"100% #012 ~", "100% #012 ~"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.second, log_escape(c.first)) << c.first;
        EXPECT_EQ(c.first != c.second, log_needs_escape(c.first)) << c.first;
    }
}

TEST_F(log_test, configured_levels_map_to_thresholds)
{
    const std::pair<int, int> cases[] = {{1, LOG_DEBUG_LEVEL},   {2, LOG_INFO_LEVEL},  {3, LOG_NOTICE_LEVEL},
                                         {4, LOG_WARNING_LEVEL}, {5, LOG_ERROR_LEVEL}, {0, LOG_ERROR_LEVEL},
                                         {7, LOG_ERROR_LEVEL},   {-1, LOG_ERROR_LEVEL}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, log_level_from_config(c.first)) << c.first;
}

TEST_F(log_test, level_words_and_their_levels)
{
    const std::pair<int, const char*> words[] = {{0, "Debug"}, {1, "Info"},    {2, "Notice"},  {3, "Warning"},
                                                 {4, "Error"}, {5, "Unknown"}, {-1, "Unknown"}};
    for (const auto& w : words)
        EXPECT_STREQ(w.second, log_level_name(w.first)) << w.first;
    const std::pair<const char*, int> names[] = {{"Debug", 0}, {"Info", 1},  {"Notice", 2}, {"Warning", 3},
                                                 {"Error", 4}, {"debug", 4}, {"", 4},       {"Unknown", 4}};
    for (const auto& n : names)
        EXPECT_EQ(n.second, log_level_from_name(n.first)) << n.first;
}

} // namespace
