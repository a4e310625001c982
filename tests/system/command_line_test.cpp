// The daemon's command line, from outside: what each form of it prints on
// standard output and standard error, its exit status, and whether the
// daemon then speaks on the descriptor it was given.
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/core_texts.hpp"
#include "links/links_texts.hpp"
#include "peers/bytes.hpp"
#include "peers/frame_io.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"
#include "system/system_fixture.hpp"

namespace {

const std::string help_text = "Command line options:\n"
                              "  -h [ --help ]         print help message and exit\n"
                              "  -v [ --version ]      print version and exit\n"
                              "  --monitor arg         monitor channel (for managed run only)\n"
                              "\n";

const std::string version_text = "noxel-tarsel 9.0.0.0.1403121422\n";

const std::string unexpected_exit = nt_sys::console_exit_line(125, "Unexpected error");

// "{fd}" in an argument stands for the number of the daemon's socket.
const std::string fd_mark = "{fd}";

// A run of the binary with one end of a socket pair inherited at a number
// chosen here, so that the command line can name it in any form.
class command_line_test : public ::testing::Test
{
protected:
    ~command_line_test() override
    {
        child.reset();
        if (own_end >= 0)
            ::close(own_end);
    }

    void run(const std::vector<std::string>& args)
    {
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        own_end = pair[0];
        // Far above what the test holds, so the number is free in the child.
        int daemon_end = ::fcntl(pair[1], F_DUPFD_CLOEXEC, 100);
        ::close(pair[1]);
        ASSERT_GE(daemon_end, 100);

        nt::child_options_t options;
        options.argv.push_back(nt_sys::daemon_path);
        for (std::string arg : args) {
            std::string::size_type at = arg.find(fd_mark);
            if (at != std::string::npos)
                arg.replace(at, fd_mark.size(), std::to_string(daemon_end));
            options.argv.push_back(arg);
        }
        options.inherit_fds.push_back(daemon_end);
        options.stdout_path = dir.file("stdout");
        options.stderr_path = dir.file("stderr");
        child.reset(new nt::child_process_t(options));
        // Only the daemon holds its end now: its exit reads as end of stream.
        ::close(daemon_end);
        reader.reset(new nt::frame_reader_t(own_end));
    }

    // Everything the daemon wrote on its socket until it closed it.
    std::string socket_bytes_until_closed()
    {
        std::string bytes;
        char buffer[256];
        for (;;) {
            pollfd p = {own_end, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(nt_sys::long_wait.count())) <= 0)
                return bytes + "<still open>";
            ssize_t n = ::read(own_end, buffer, sizeof buffer);
            if (n <= 0)
                return bytes;
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
    }

    nt::temp_dir_t dir;
    int own_end = -1;
    std::unique_ptr<nt::child_process_t> child;
    std::unique_ptr<nt::frame_reader_t> reader;
};

struct printing_case_t
{
    std::vector<std::string> args;
    std::string out;
};

std::ostream& operator<<(std::ostream& os, const printing_case_t& c)
{
    for (const std::string& a : c.args)
        os << a << ' ';
    return os;
}

class printing_test : public command_line_test, public ::testing::WithParamInterface<printing_case_t>
{};

// Help and version print, end with 0 and leave the socket alone: nothing is
// read or written on it, and no inventory is built (which would send
// GET_CONTEXT_REQUEST at once).
TEST_P(printing_test, prints_and_ends_with_success_without_touching_the_socket)
{
    run(GetParam().args);
    EXPECT_EQ(child->wait_exit(nt_sys::long_wait), 0);
    EXPECT_EQ(child->stdout_text(), GetParam().out);
    EXPECT_EQ(child->stderr_text(), "");
    EXPECT_EQ(nt::to_hex(socket_bytes_until_closed()), "");
}

INSTANTIATE_TEST_SUITE_P(command_line_test, printing_test,
                         ::testing::Values(printing_case_t{{"--help"}, help_text}, printing_case_t{{"-h"}, help_text},
                                           printing_case_t{{"--HELP"}, help_text}, printing_case_t{{"--he"}, help_text},
                                           printing_case_t{{"-hv"}, help_text}, printing_case_t{{"-vh"}, help_text},
                                           printing_case_t{{"--version", "--help"}, help_text},
                                           printing_case_t{{"--monitor", "{fd}", "--help"}, help_text},
                                           printing_case_t{{"--version"}, version_text},
                                           printing_case_t{{"-v"}, version_text},
                                           printing_case_t{{"--Vers"}, version_text},
                                           printing_case_t{{"--version", "--monitor", "{fd}"}, version_text},
                                           printing_case_t{{"--version", "word"}, version_text}));

struct failing_case_t
{
    std::vector<std::string> args;
    std::string error_mentions; // a part of the Error line (the parser's own text)
};

std::ostream& operator<<(std::ostream& os, const failing_case_t& c)
{
    for (const std::string& a : c.args)
        os << a << ' ';
    return os;
}

class failing_test : public command_line_test, public ::testing::WithParamInterface<failing_case_t>
{};

// A command line that cannot be used: one Error line with the parser's text,
// the exit line, status 125, nothing on standard output or the socket.
TEST_P(failing_test, ends_with_an_error_line_and_status_125)
{
    run(GetParam().args);
    EXPECT_EQ(child->wait_exit(nt_sys::long_wait), 125);
    EXPECT_EQ(child->stdout_text(), "");
    std::vector<std::string> lines = child->stderr_lines();
    ASSERT_EQ(lines.size(), 2u) << child->stderr_text();
    EXPECT_EQ(lines[0].rfind("Error: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0], std::string("Error: ") + TS_TEXT_OPTION_MONITOR_MISSING);
    EXPECT_NE(lines[0].find(GetParam().error_mentions), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], unexpected_exit);
    EXPECT_EQ(nt::to_hex(socket_bytes_until_closed()), "");
}

INSTANTIATE_TEST_SUITE_P(command_line_test, failing_test,
                         ::testing::Values(failing_case_t{{"-H"}, "-H"}, failing_case_t{{"-V"}, "-V"},
                                           failing_case_t{{"-m", "{fd}"}, "-m"},
                                           failing_case_t{{"--monitor", "abc"}, "abc"},
                                           failing_case_t{{"--monitor=abc"}, "abc"},
                                           failing_case_t{{"--monitor"}, "monitor"},
                                           failing_case_t{{"--monitor", "{fd}", "--monitor", "4"}, "monitor"},
                                           failing_case_t{{"--help=1"}, "help"},
                                           failing_case_t{{"--monitor", "{fd}", "--no-such"}, "no-such"}));

struct exact_failure_case_t
{
    std::vector<std::string> args;
    std::string error; // the whole Error line
};

std::ostream& operator<<(std::ostream& os, const exact_failure_case_t& c)
{
    for (const std::string& a : c.args)
        os << a << ' ';
    return os;
}

class exact_failure_test : public command_line_test, public ::testing::WithParamInterface<exact_failure_case_t>
{};

// Failures whose Error line is the daemon's own: without --monitor the
// daemon cannot be managed; a number that names no inherited descriptor
// must not be taken for the link, although the daemon opens descriptors of
// its own (3 and up) before it adopts the link's.
TEST_P(exact_failure_test, ends_with_its_error_line_and_status_125)
{
    run(GetParam().args);
    EXPECT_EQ(child->wait_exit(nt_sys::long_wait), 125);
    EXPECT_EQ(child->stdout_text(), "");
    EXPECT_EQ(child->stderr_text(), GetParam().error + "\n" + unexpected_exit + "\n");
    EXPECT_EQ(nt::to_hex(socket_bytes_until_closed()), "");
}

const std::string not_given = std::string("Error: ") + TS_TEXT_OPTION_MONITOR_MISSING;
const std::string not_inherited = std::string("Error: ") + TS_TEXT_CONTEXT_OSTRAND + ": Bad file descriptor";

INSTANTIATE_TEST_SUITE_P(command_line_test, exact_failure_test,
                         ::testing::Values(exact_failure_case_t{{}, not_given},
                                           exact_failure_case_t{{"word"}, not_given},
                                           exact_failure_case_t{{"--monitor", "3"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "4"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "5"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "6"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "7"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "8"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "9"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "10"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "11"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "12"}, not_inherited},
                                           exact_failure_case_t{{"--monitor", "-1"}, not_inherited}));

class monitor_form_test : public command_line_test, public ::testing::WithParamInterface<std::vector<std::string>>
{};

// Every spelling of the option names the same socket: the daemon asks for
// its context on it at once, and ends on SIGTERM with 107. Nothing else is
// written before the first context.
TEST_P(monitor_form_test, names_the_socket_the_daemon_is_managed_on)
{
    run(GetParam());
    std::string body;
    ASSERT_EQ(reader->next(body, nt_sys::long_wait), nt::frame_status::ok) << child->stderr_text();
    EXPECT_EQ(nt::to_hex(body), "08 01");
    ASSERT_TRUE(child->signal(SIGTERM));
    EXPECT_EQ(child->wait_exit(nt_sys::long_wait), 107);
    EXPECT_EQ(child->stdout_text(), "");
    EXPECT_EQ(child->stderr_text(), std::string("Notice: ") + TS_TEXT_TERMINATION_RECEIVED + "\n" +
                                        nt_sys::console_exit_line(107, "Process terminated by signal") + "\n");
    EXPECT_EQ(nt::to_hex(socket_bytes_until_closed()), "");
}

INSTANTIATE_TEST_SUITE_P(
    command_line_test, monitor_form_test,
    ::testing::Values(std::vector<std::string>{"--monitor", "{fd}"}, std::vector<std::string>{"--monitor={fd}"},
                      std::vector<std::string>{"--MONITOR", "{fd}"}, std::vector<std::string>{"--mon", "{fd}"},
                      std::vector<std::string>{"--M={fd}"}, std::vector<std::string>{"--monitor", "{fd}", "extra"},
                      std::vector<std::string>{"extra", "--Monitor", "{fd}"}));

} // namespace
