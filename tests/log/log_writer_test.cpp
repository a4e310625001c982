#include "log/log_writer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "log.pb.h"
#include "log/console_log.hpp"
#include "log/file_log.hpp"
#include "log/log.hpp"
#include "log/log_texts.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

// Standard error pointed at a pipe of one page that the test reads only when
// told: a reader that stalls. Descriptor 2 is put back at the end.
class stalled_stderr_t
{
public:
    stalled_stderr_t()
    {
        EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        saved = dup(STDERR_FILENO);
        dup2(fds[1], STDERR_FILENO);
    }
    ~stalled_stderr_t()
    {
        dup2(saved, STDERR_FILENO);
        close(saved);
        close(fds[1]);
        close(fds[0]);
    }

    // Reads until no byte arrives for `quiet` (the writer has nothing more).
    std::string read_until_quiet(std::chrono::milliseconds quiet)
    {
        std::string text;
        char buffer[65536];
        for (;;) {
            struct pollfd p = {fds[0], POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0)
                return text;
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0)
                return text;
            text.append(buffer, static_cast<std::size_t>(n));
        }
    }

    int fds[2] = {-1, -1};
    int saved = -1;
};

class log_writer_test : public ::testing::Test
{
protected:
    log_state_restorer_t restorer;
};

// The console sink on standard error whose reader stops: logging never
// waits for the reader, the lines that find the queue full are counted, and
// once the reader goes on, the lines come in order, whole, followed by the
// count of the dropped ones.
TEST_F(log_writer_test, a_stalled_reader_never_holds_up_the_caller_and_drops_are_counted)
{
    stalled_stderr_t stderr_pipe;
    set_log_sink(boost::make_shared<cf_console_log_t>());
    const std::string padding(200, 'x');
    // Four times what the queue holds, so most lines find it full.
    const int total = static_cast<int>(4 * LOG_QUEUE_BYTES / 200);
    std::chrono::steady_clock::duration longest{};
    for (int i = 0; i < total; ++i) {
        const auto start = std::chrono::steady_clock::now();
        log_message(LOG_NOTICE_LEVEL, "line " + std::to_string(i) + " " + padding);
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
    }
    const auto longest_ms = std::chrono::duration_cast<std::chrono::microseconds>(longest).count() / 1000.0;
    RecordProperty("longest_log_call_ms", std::to_string(longest_ms));
    std::cout << "longest log_message call while the reader stalled: " << longest_ms << " ms\n";
    // Generous: a wait for the reader would last until it reads.
    EXPECT_LT(longest_ms, 1000.0);
    EXPECT_FALSE(log_flush(std::chrono::milliseconds(50)));

    // The reader goes on; one more line brings the count of those dropped.
    std::string text = stderr_pipe.read_until_quiet(std::chrono::milliseconds(300));
    log_message(LOG_NOTICE_LEVEL, "after");
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    text += stderr_pipe.read_until_quiet(std::chrono::milliseconds(300));

    std::vector<std::string> lines = nt::split_lines(text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ('\n', text.back());
    // A writer thread that comes late to the first lines may see the queue
    // fill, and drops begin, before it takes its first batch: then a count
    // stands between the lines written, where the drops happened.
    const std::string suffix = CF_TEXT_DROPPED_SUFFIX;
    unsigned long long written = 0, dropped = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.find("Warning: ") == 0) {
            ASSERT_GT(line.size(), suffix.size()) << line;
            ASSERT_EQ(suffix, line.substr(line.size() - suffix.size())) << line;
            dropped += std::stoull(line.substr(9));
            continue;
        }
        ASSERT_EQ(0u, line.find("Notice: line ")) << line;
        const int number = std::stoi(line.substr(13));
        ASSERT_EQ("Notice: line " + std::to_string(number) + " " + padding, line);
        // Every line before it was written or counted before it: each count
        // stands where its lines were dropped.
        EXPECT_EQ(static_cast<unsigned long long>(number), written + dropped) << line;
        ++written;
    }
    // The last lines were dropped: their count comes with the next line.
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(0u, lines[lines.size() - 2].find("Warning: ")) << lines[lines.size() - 2];
    EXPECT_EQ("Notice: after", lines.back());
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(static_cast<unsigned long long>(total), written + dropped);
    // Lines from the start are there: only the overflow was dropped.
    EXPECT_EQ(0u, lines[0].find("Notice: line 0 "));
}

// Before any sink, lines go to standard error through the writer as well.
TEST_F(log_writer_test, the_fallback_to_standard_error_goes_through_the_writer_too)
{
    stalled_stderr_t stderr_pipe;
    log_message(LOG_NOTICE_LEVEL, "before any sink");
    log_from_process("probe", 77, "abc");
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    EXPECT_EQ("Notice: before any sink\nprobe-77: abc\n", stderr_pipe.read_until_quiet(std::chrono::milliseconds(100)));
}

// The console sink is replaced by a log file while its reader has stopped:
// a write to standard error waits, more lines wait behind it. The file's
// lines never wait for them; the old sink's lines get their short time,
// then are dropped, and the file says how many. Once the reader goes on,
// the write that waited ends whole.
TEST_F(log_writer_test, a_replaced_sink_whose_reader_stalls_never_holds_up_the_new_one)
{
    nt::temp_dir_t dir("log-writer");
    const std::string path = dir.file("tarsel.log");
    stalled_stderr_t stderr_pipe;
    set_log_sink(boost::make_shared<cf_console_log_t>());
    log_message(LOG_NOTICE_LEVEL, "first");
    ASSERT_TRUE(log_flush(std::chrono::seconds(10)));
    // More than the pipe holds: the write waits for the reader, and the
    // lines after it wait in the queue.
    log_message(LOG_NOTICE_LEVEL, std::string(3 * 4096, 'w'));
    // Only once that write is under way (the pipe holds more than the first
    // line), or the lines after it could go out in the same write.
    const int first_line = 14;
    int buffered = 0;
    for (int i = 0; i < 1000 && buffered <= first_line; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(0, ioctl(stderr_pipe.fds[0], FIONREAD, &buffered));
    }
    ASSERT_GT(buffered, first_line);
    const int waiting = 50;
    for (int i = 0; i < waiting; ++i)
        log_message(LOG_NOTICE_LEVEL, "waiting " + std::to_string(i));

    nx::Log setting;
    setting.set_type(nx::Log::FILE);
    setting.set_path(path);
    set_log_sink(make_log_sink(setting));
    log_message(LOG_NOTICE_LEVEL, "to the file");
    const std::string suffix = CF_TEXT_DROPPED_SUFFIX;
    std::vector<std::string> lines;
    // The first line at once; later ones until the count of the dropped
    // lines comes, once the old sink's time is up.
    bool in_file = false, counted = false;
    for (int tick = 0; tick < 1000 && !counted; ++tick) {
        lines = nt::split_lines(nt::read_file(path));
        in_file = in_file || !lines.empty();
        for (const std::string& line : lines)
            counted = counted || line.find(suffix) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log_message(LOG_NOTICE_LEVEL, "tick " + std::to_string(tick));
    }
    ASSERT_TRUE(in_file) << "nothing reached the file while the old reader stalled";
    ASSERT_TRUE(counted) << lines.size() << " lines in the file, no count of the dropped ones";
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(std::string::npos, lines[0].find("] Notice: to the file")) << lines[0];
    unsigned long long dropped = 0;
    for (const std::string& line : lines) {
        const std::size_t at = line.find(suffix);
        if (at != std::string::npos)
            dropped += std::stoull(line.substr(line.find("Warning: ") + 9));
    }
    EXPECT_EQ(static_cast<unsigned long long>(waiting), dropped);

    // The reader goes on: the write that waited ends whole; the lines
    // behind it were dropped.
    const std::string old_text = stderr_pipe.read_until_quiet(std::chrono::milliseconds(300));
    EXPECT_EQ("Notice: first\nNotice: " + std::string(3 * 4096, 'w') + "\n", old_text);
}

} // namespace
