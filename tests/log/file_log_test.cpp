#include "log/file_log.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <fstream>
#include <cctype>
#include <sstream>
#include <thread>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "log.pb.h"
#include "log/log.hpp"
#include "log/log_texts.hpp"
#include "support/descriptors.hpp"
#include "support/fake_syslog.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

namespace {

// Whether line begins with a time stamp such as "2014-Mar-12 14:22:05 ";
// rest is what follows it.
bool stamped(const std::string& line, std::string& rest)
{
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const std::string form = "dddd-Mmm-dd dd:dd:dd ";
    if (line.size() < form.size())
        return false;
    for (size_t i = 0; i < form.size(); ++i) {
        if (form[i] == 'd' && !std::isdigit(static_cast<unsigned char>(line[i])))
            return false;
        if (form[i] != 'd' && form[i] != 'M' && form[i] != 'm' && form[i] != line[i])
            return false;
    }
    const size_t month = months.find(line.substr(5, 3));
    if (month == std::string::npos || month % 3 != 0)
        return false;
    rest = line.substr(form.size());
    return true;
}

// The line less its time stamp; "not stamped: <line>" when it has none.
std::string unstamped(const std::string& line)
{
    std::string rest;
    return stamped(line, rest) ? rest : "not stamped: " + line;
}

class file_log_test : public ::testing::Test
{
protected:
    cf_log_ptr file_sink()
    {
        nx::Log setting;
        setting.set_type(nx::Log::FILE);
        setting.set_path(path.string());
        return make_log_sink(setting);
    }

    log_state_restorer_t restorer;
    nt::temp_dir_t dir{"file-log"};
    const boost::filesystem::path path = dir / "tarsel.log";
};

TEST_F(file_log_test, lines_carry_the_time_the_pid_and_the_level_word)
{
    {
        cf_log_ptr sink = file_sink();
        sink->log(LOG_WARNING_LEVEL, "abc");
        sink->log(LOG_DEBUG_LEVEL, "a % b %s");
        sink->log(7, "odd");
        sink->log(-1, "negative");
        sink->log_from_process("probe", 77, "abc");
    }
    ASSERT_TRUE(log_written());
    const std::string pid = std::to_string(getpid());
    const std::vector<std::string> expected = {
        "[" + pid + "] Warning: abc",
        "[" + pid + "] Debug: a % b %s",
        "[" + pid + "] Unknown: odd",
        "[" + pid + "] Unknown: negative",
        "[probe-77] abc",
    };
    std::string content = nt::read_file(path.string());
    ASSERT_FALSE(content.empty());
    EXPECT_EQ('\n', content.back());
    std::vector<std::string> got;
    for (const std::string& line : nt::split_lines(content))
        got.push_back(unstamped(line));
    EXPECT_EQ(expected, got);
}

TEST_F(file_log_test, the_log_file_is_appended_to_and_not_inherited_by_children)
{
    {
        std::ofstream out(path.string());
        out << "earlier line\n";
    }
    size_t fds_before = nt::open_fd_count();
    cf_log_ptr sink = file_sink();
    int fd = -1;
    for (boost::filesystem::directory_iterator it("/proc/self/fd"), end; it != end; ++it) {
        boost::system::error_code ec;
        if (boost::filesystem::read_symlink(it->path(), ec) == path)
            fd = std::stoi(it->path().filename().string());
    }
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fds_before + 1, nt::open_fd_count());
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_APPEND);
    sink->log(LOG_NOTICE_LEVEL, "later line");
    ASSERT_TRUE(log_written());
    std::vector<std::string> lines = nt::split_lines(nt::read_file(path.string()));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("earlier line", lines[0]);
    EXPECT_EQ("[" + std::to_string(getpid()) + "] Notice: later line", unstamped(lines[1]));
}

// The log names every accessed file: a new one is never readable by others,
// whatever the umask lets through.
TEST_F(file_log_test, a_new_file_is_created_with_mode_0640)
{
    mode_t old_mask = umask(0);
    cf_log_ptr sink = file_sink();
    umask(old_mask);
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);
}

TEST_F(file_log_test, replacing_the_sink_closes_the_owned_file_once_a_new_one_is_open)
{
    size_t before = nt::open_fd_count();
    set_log_sink(file_sink());
    log_message(LOG_NOTICE_LEVEL, "first");
    ASSERT_TRUE(log_written());
    EXPECT_EQ(before + 1, nt::open_fd_count());
    // Every configuration opens the file anew; the old descriptor goes.
    set_log_sink(file_sink());
    log_message(LOG_NOTICE_LEVEL, "second");
    ASSERT_TRUE(log_written());
    EXPECT_EQ(before + 1, nt::open_fd_count());
    set_log_sink(cf_log_ptr());
    ASSERT_TRUE(log_written());
    EXPECT_EQ(before, nt::open_fd_count());
    std::vector<std::string> lines = nt::split_lines(nt::read_file(path.string()));
    ASSERT_EQ(2u, lines.size());
    const std::string pid = std::to_string(getpid());
    EXPECT_EQ("[" + pid + "] Notice: first", unstamped(lines[0]));
    EXPECT_EQ("[" + pid + "] Notice: second", unstamped(lines[1]));
}

TEST_F(file_log_test, a_time_stamped_stderr_sink_writes_to_descriptor_2_and_never_closes_it)
{
    // Descriptor 2 is pointed at a file for the test and put back after.
    int saved = dup(STDERR_FILENO);
    ASSERT_GE(saved, 0);
    int capture = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(capture, 0);
    ASSERT_EQ(STDERR_FILENO, dup2(capture, STDERR_FILENO));
    close(capture);

    nx::Log setting;
    setting.set_type(nx::Log::STDERR);
    setting.set_show_timestamp(true);
    set_log_sink(make_log_sink(setting));
    log_message(LOG_ERROR_LEVEL, "stamped");
    set_log_sink(make_log_sink(setting));
    set_log_sink(recording_log_ptr(new recording_log_t));
    EXPECT_TRUE(log_written());
    bool still_open = fcntl(STDERR_FILENO, F_GETFD) != -1;
    ssize_t written = write(STDERR_FILENO, "after\n", 6);

    dup2(saved, STDERR_FILENO);
    close(saved);
    EXPECT_TRUE(still_open);
    EXPECT_EQ(6, written);
    std::vector<std::string> lines = nt::split_lines(nt::read_file(path.string()));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("[" + std::to_string(getpid()) + "] Error: stamped", unstamped(lines[0]));
    EXPECT_EQ("after", lines[1]);
}

void ignore_signal(int) {}

TEST_F(file_log_test, a_line_cut_short_by_a_full_pipe_and_signals_is_written_once_whole)
{
    int pipe_fds[2];
    ASSERT_EQ(0, pipe2(pipe_fds, O_CLOEXEC));
    // One page of pipe, a line many times that size: the write blocks with
    // part of the line taken, and a signal then cuts it short (or, before any
    // byte went, makes it fail with EINTR).
    fcntl(pipe_fds[1], F_SETPIPE_SZ, 4096);
    struct sigaction action, previous;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the write must see the signal
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

    std::string line;
    for (int i = 0; line.size() < (1u << 20); ++i)
        line += std::to_string(i) + ",";
    line += "\n";

    std::atomic<bool> writing{true};
    // The writer closes the pipe when done, so the reader sees every byte
    // that was written, a repeated one included, before the end.
    std::unique_ptr<cf_file_log_t> sink(new cf_file_log_t(pipe_fds[1], true));
    std::thread writer([&] {
        sink->write_line(line);
        sink->write_line("second\n");
        writing = false;
        sink.reset();
    });
    pthread_t writer_handle = writer.native_handle();
    std::string received;
    std::vector<char> buffer(1000);
    for (;;) {
        if (writing)
            pthread_kill(writer_handle, SIGUSR1);
        ssize_t n = read(pipe_fds[0], buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        received.append(buffer.data(), static_cast<size_t>(n));
    }
    writer.join();
    sigaction(SIGUSR1, &previous, nullptr);
    close(pipe_fds[0]);
    EXPECT_EQ(line.size() + 7, received.size());
    EXPECT_TRUE(received == line + "second\n");
}

TEST_F(file_log_test, lines_of_several_threads_never_mix)
{
    set_log_sink(file_sink());
    const int threads = 4, lines_each = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([t] {
            std::string text(500, static_cast<char>('a' + t));
            for (int i = 0; i < lines_each; ++i)
                log_message(LOG_NOTICE_LEVEL, text);
        });
    for (std::thread& w : writers)
        w.join();
    set_log_sink(cf_log_ptr());
    ASSERT_TRUE(log_written());
    std::vector<std::string> lines = nt::split_lines(nt::read_file(path.string()));
    ASSERT_EQ(static_cast<size_t>(threads * lines_each), lines.size());
    const std::string pid = std::to_string(getpid());
    for (const std::string& l : lines) {
        std::string rest = unstamped(l);
        const std::string head = "[" + pid + "] Notice: ";
        ASSERT_EQ(head.size() + 500, rest.size()) << l;
        ASSERT_EQ(head, rest.substr(0, head.size())) << l;
        std::string text = rest.substr(head.size());
        ASSERT_TRUE(text.find_first_not_of(text[0]) == std::string::npos && text[0] >= 'a' && text[0] <= 'd') << l;
    }
}

// A log file on a file system that fills and frees again (a tmpfs of a
// few pages in a child's own mount namespace): the write that meets the
// full disk cuts a line short; once there is room, the next write ends that
// line first, so no line holds two, and the Warning that comes first counts
// every line lost, the cut one among them.
TEST_F(file_log_test, a_line_cut_by_a_full_disk_is_ended_before_the_next_one)
{
    const std::string tiny = dir.file("tiny");
    ASSERT_EQ(0, mkdir(tiny.c_str(), 0755));
    const int total = 400;
    fake_syslog_result_t result = run_with_fake_syslog([&]() -> std::string {
        if (mount("nt-tiny", tiny.c_str(), "tmpfs", 0, "size=16k,mode=0755") != 0)
            return "mount failed";
        // Room for a few lines more than the filler.
        nt::write_file(tiny + "/filler", std::string(8192, 'f'));
        nx::Log setting;
        setting.set_type(nx::Log::FILE);
        setting.set_path(tiny + "/tarsel.log");
        set_log_sink(make_log_sink(setting));
        const std::string padding(90, 'x');
        for (int i = 0; i < total; ++i) {
            log_message(LOG_NOTICE_LEVEL, "line " + std::to_string(i) + " " + padding);
            // Lines go out a few at a time, so the disk fills between them.
            if (i % 8 == 7 && !log_flush(std::chrono::seconds(10)))
                return "not written";
        }
        if (unlink((tiny + "/filler").c_str()) != 0)
            return "unlink failed";
        log_message(LOG_NOTICE_LEVEL, "after");
        set_log_sink(cf_log_ptr());
        if (!log_flush(std::chrono::seconds(10)))
            return "not written";
        return nt::read_file(tiny + "/tarsel.log");
    });
    ASSERT_EQ("", result.setup_error);
    const std::string& content = result.answer;
    ASSERT_FALSE(content.empty());
    ASSERT_EQ('\n', content.back()) << content;
    const std::string padding(90, 'x');
    int whole = 0, cut = 0, reports = 0;
    unsigned long long reported = 0;
    bool after = false;
    for (const std::string& line : nt::split_lines(content)) {
        std::string rest;
        ASSERT_TRUE(stamped(line, rest)) << line;
        // One time stamp only: no line holds two.
        std::string more;
        for (std::size_t at = 1; at < line.size(); ++at)
            ASSERT_FALSE(stamped(line.substr(at), more)) << line;
        const std::size_t tag_end = rest.find("] ");
        ASSERT_NE(std::string::npos, tag_end) << line;
        const std::string text = rest.substr(tag_end + 2);
        const std::string suffix = CF_TEXT_DROPPED_SUFFIX;
        if (text.rfind("Warning: ", 0) == 0 && text.size() > suffix.size() &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
            reported += std::stoull(text.substr(9));
            ++reports;
            continue;
        }
        if (text == "Notice: after") {
            after = true;
            continue;
        }
        const std::string number = text.substr(13, text.find(' ', 13) - 13);
        if (text.rfind("Notice: line ", 0) == 0 && text == "Notice: line " + number + " " + padding) {
            ++whole;
            continue;
        }
        // The line the full disk cut short: the start of one.
        ++cut;
        const std::string sample = "Notice: line 1 " + padding;
        EXPECT_TRUE(text.size() < sample.size() + 8) << line;
    }
    EXPECT_TRUE(after) << content;
    // The disk fills once, mostly inside a line (unless the page ends just
    // after one).
    EXPECT_LE(cut, 1) << content;
    EXPECT_GE(reports, 1) << content;
    // Every line logged is there whole or counted, the cut ones counted.
    EXPECT_EQ(static_cast<unsigned long long>(total - whole), reported) << content;
    EXPECT_LT(whole, total);
}

} // namespace
