#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/filesystem.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "error.pb.h"
#include "fake_module.hpp"
#include "lkm/lkm_loader.hpp"
#include "lkm_test_util.hpp"
#include "monitor/interceptor_factory.hpp"
#include "monitor/monitor_error.hpp"
#include "util/signal_block.hpp"
#include "util/unique_fd.hpp"

namespace fs = boost::filesystem;

namespace {

typedef std::vector<std::string> lines_t;

std::string modprobe_line(const std::string& output)
{
    return "modprobe: " + output;
}
std::string status_line(int status)
{
    return "modprobe: exited with status " + std::to_string(status);
}

} // namespace

class lkm_loader_test : public ::testing::Test
{
protected:
    void SetUp() override { ::signal(SIGPIPE, SIG_IGN); }

    // An executable shell script in the test's directory.
    std::string script(const std::string& name, const std::string& body)
    {
        const fs::path path = dir_ / name;
        {
            std::ofstream out(path.string());
            out << "#!/bin/sh\n" << body << "\n";
        }
        fs::permissions(path, fs::owner_all | fs::group_read | fs::group_exe);
        return path.string();
    }

    std::string devices(const std::string& content)
    {
        const fs::path path = dir_ / "devices";
        std::ofstream(path.string(), std::ios::binary) << content;
        return path.string();
    }

    // What load_module throws, as a system error (an empty one when nothing).
    boost::system::error_code load_failure(const std::string& program,
                                           std::chrono::milliseconds timeout = TS_LKM_MODPROBE_TIMEOUT)
    {
        try {
            load_module("noxel", program, timeout);
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(std::string(e.what()), "LKM: couldn't load module");
            return e.code();
        }
        return boost::system::error_code();
    }

    // The process whose id a stand-in wrote to the file; 0 when none yet.
    pid_t written_pid(const std::string& name)
    {
        std::ifstream in((dir_ / name).string());
        pid_t pid = 0;
        in >> pid;
        return pid;
    }

    // Whether the process runs: it exists and is no zombie (one left
    // behind may wait for a parent that never reaps it).
    static bool alive(pid_t pid)
    {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line) || line.rfind(") ") == std::string::npos)
            return false;
        return line[line.rfind(") ") + 2] != 'Z';
    }

    void TearDown() override
    {
        // What a stand-in left behind goes with the test.
        for (const char* name : {"modprobe.pid", "left.pid"}) {
            if (alive(written_pid(name))) {
                ::kill(written_pid(name), SIGKILL);
            }
        }
    }

    nt::temp_dir_t dir_{"nt-lkm"};
};

TEST_F(lkm_loader_test, load_module_logs_the_output_and_the_outcome_of_modprobe)
{
    struct case_t
    {
        const char* name;
        std::string body;
        bool loads;
        lines_t lines;
    };
    const std::vector<case_t> cases = {
        {"silent success", "exit 0", true, {}},
        {"success with output", "echo loaded", true, {modprobe_line("loaded")}},
        {"one line and status 1",
         "echo 'FATAL: Module noxel not found.'; exit 1",
         false,
         {modprobe_line("FATAL: Module noxel not found."), status_line(1)}},
        {"only one final newline goes", "printf 'a\\n\\n'", true, {modprobe_line("a\n")}},
        {"a single newline", "printf '\\n'", true, {modprobe_line("")}},
        {"no final newline", "printf 'x'; exit 2", false, {modprobe_line("x"), status_line(2)}},
        {"several lines in one message", "echo a; echo b", true, {modprobe_line("a\nb")}},
        {"standard error is captured too",
         "echo out; echo err >&2; exit 3",
         false,
         {modprobe_line("out\nerr"), status_line(3)}},
        {"the module name is the one argument", "echo \"$#:$1\"", true, {modprobe_line("1:noxel")}},
        {"ended by a signal",
         "echo dying; kill -9 $$",
         false,
         {modprobe_line("dying"), "modprobe: terminated by signal"}},
    };
    for (const case_t& c : cases) {
        log_capture_t log;
        const boost::system::error_code failure = load_failure(script("modprobe", c.body));
        EXPECT_EQ(!failure, c.loads) << c.name;
        if (!c.loads) {
            EXPECT_EQ(failure, make_monitor_error_code(TS_ERR_MODULE_LOAD)) << c.name;
        }
        EXPECT_EQ(log.texts(), c.lines) << c.name;
        for (const auto& line : log.lines()) {
            EXPECT_EQ(line.first, LOG_DEBUG_LEVEL) << c.name;
        }
    }
}

TEST_F(lkm_loader_test, a_program_that_cannot_be_run_exits_with_126)
{
    for (const std::string& program : {(dir_ / "missing").string(), std::string("nt-no-such-modprobe-here")}) {
        log_capture_t log;
        EXPECT_EQ(load_failure(program), make_monitor_error_code(TS_ERR_MODULE_LOAD));
        EXPECT_EQ(log.texts(), lines_t{status_line(126)}) << program;
    }
}

TEST_F(lkm_loader_test, the_failure_is_raised_whatever_the_threshold)
{
    log_capture_t log(LOG_INFO_LEVEL);
    EXPECT_EQ(load_failure(script("modprobe", "echo no; exit 1")), make_monitor_error_code(TS_ERR_MODULE_LOAD));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(lkm_loader_test, run_command_gives_the_wait_status_and_closes_inherited_descriptors)
{
    // A descriptor above standard error without close-on-exec: the child
    // must not see it.
    ts_unique_fd_t inherited(::dup(STDIN_FILENO));
    ASSERT_TRUE(inherited.valid());
    const std::string fd = std::to_string(inherited.get());
    const std::string program =
        script("probe", "if [ -e /proc/self/fd/" + fd + " ]; then echo open; else echo closed; fi; exit 7");
    std::string output = "kept:";
    const size_t before = nt::open_fd_count();
    const int status = run_command({program.c_str()}, output);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(output, "kept:closed\n");
    // Both ends of the pipe are closed again.
    EXPECT_EQ(nt::open_fd_count(), before);
}

TEST_F(lkm_loader_test, a_child_writing_more_than_the_pipe_holds_is_drained_and_capped)
{
    const std::string program = script("chatty", "head -c 1000000 /dev/zero | tr '\\0' x; echo; exit 0");
    std::string output;
    const int status = run_command({program.c_str()}, output);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(output, std::string(TS_LKM_OUTPUT_LIMIT, 'x'));
}

TEST_F(lkm_loader_test, a_modprobe_past_the_bound_is_killed_and_fails_with_its_texts)
{
    log_capture_t log;
    const std::string program =
        script("modprobe", "echo $$ > " + (dir_ / "modprobe.pid").string() + "; echo started; exec sleep 60");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(load_failure(program, std::chrono::milliseconds(300)), make_monitor_error_code(TS_ERR_MODULE_LOAD));
    // Ended by the bound, not by the sleep.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(log.lines(),
              (std::vector<std::pair<int, std::string>>{{LOG_ERROR_LEVEL, "modprobe has not ended within 300 ms"},
                                                        {LOG_DEBUG_LEVEL, modprobe_line("started")},
                                                        {LOG_DEBUG_LEVEL, "modprobe: terminated by signal"}}));
    // Killed and reaped: no such process any more.
    EXPECT_FALSE(alive(written_pid("modprobe.pid")));
}

TEST_F(lkm_loader_test, the_output_is_read_only_until_modprobe_has_ended)
{
    // A process modprobe leaves behind keeps the pipe open for a minute; the
    // bound is far away, so only modprobe's end can end the run.
    log_capture_t log;
    const std::string program =
        script("modprobe", "echo loaded; sleep 60 & echo $! > " + (dir_ / "left.pid").string() + "; exit 0");
    const size_t before = nt::open_fd_count();
    EXPECT_FALSE(load_failure(program, std::chrono::hours(1)));
    EXPECT_EQ(log.texts(), lines_t{modprobe_line("loaded")});
    // The run ended while the process holding the pipe was still there.
    EXPECT_TRUE(alive(written_pid("left.pid")));
    EXPECT_EQ(nt::open_fd_count(), before);
}

// As in the daemon: the signal is sent to the process, every other thread
// holds it, and only the main thread's run can take notice of it.
TEST_F(lkm_loader_test, a_termination_signal_stops_modprobe_and_ends_with_the_termination_status)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        log_capture_t log(LOG_ERROR_LEVEL);
        const std::string pid_file = (dir_ / "modprobe.pid").string();
        fs::remove(pid_file);
        // The run's hour-long bound, and the sleep, are far beyond the test.
        const std::string program = script("modprobe", "echo $$ > " + pid_file + ".new; mv " + pid_file + ".new " +
                                                           pid_file + "; exec sleep 60");
        const size_t before = nt::open_fd_count();
        held_termination_t held;
        std::thread sender([this, signal] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (written_pid("modprobe.pid") == 0 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            ::kill(::getpid(), signal);
        });
        const auto start = std::chrono::steady_clock::now();
        try {
            std::string output;
            run_command({program.c_str(), "noxel"}, output, std::chrono::hours(1));
            ADD_FAILURE() << "returned" << signal;
        } catch (nx::ErrorCode code) {
            EXPECT_EQ(code, nx::EC_APP_TERMINATED) << signal;
        }
        sender.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << signal;
        EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                                   {LOG_ERROR_LEVEL, "modprobe abandoned: termination signal received"}}))
            << signal;
        EXPECT_FALSE(alive(written_pid("modprobe.pid"))) << signal;
        EXPECT_EQ(nt::open_fd_count(), before) << signal;
        // Still pending, for the event loop; the mask is the caller's again.
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(sigismember(&pending, signal), 1) << signal;
        EXPECT_TRUE(blocked_now(signal)) << signal;
    }
}

// The run holds SIGTERM and SIGINT, and the daemon ignores SIGPIPE; the
// program gets neither.
TEST_F(lkm_loader_test, modprobe_starts_with_the_callers_signal_mask_and_the_default_sigpipe)
{
    const unsigned long long three = (1ull << (SIGHUP - 1)) | (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1));
    const std::string program = script("probe", "exec grep -E '^Sig(Blk|Ign):' /proc/self/status");
    for (const bool caller_holds : {false, true}) {
        std::unique_ptr<ts_signal_block_t> block(caller_holds ? new ts_signal_block_t : nullptr);
        std::string output;
        const int status = run_command({program.c_str()}, output);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        unsigned long long blocked = 0, ignored = 0;
        for (const std::string& line : nt::split_lines(output)) {
            const unsigned long long mask = std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
            (line.rfind("SigBlk:", 0) == 0 ? blocked : ignored) = mask;
        }
        EXPECT_EQ(blocked & three, caller_holds ? three : 0u) << output;
        EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << output;
    }
}

TEST_F(lkm_loader_test, read_all_keeps_what_it_read_before_a_failure)
{
    log_capture_t log;
    // A pseudo-terminal whose other side is gone reads EIO after its data.
    ts_unique_fd_t master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master.valid());
    ASSERT_EQ(::grantpt(master.get()), 0);
    ASSERT_EQ(::unlockpt(master.get()), 0);
    {
        ts_unique_fd_t slave(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
        ASSERT_TRUE(slave.valid());
        ASSERT_EQ(::write(slave.get(), "abc", 3), 3);
    }
    std::string output;
    read_all(master.get(), output);
    EXPECT_EQ(output, "abc");
    EXPECT_EQ(log.texts(), lines_t{"read: " + std::string(strerror(EIO))});
}

TEST_F(lkm_loader_test, read_all_of_a_closed_descriptor_logs_its_error)
{
    log_capture_t log;
    std::string output = "x";
    read_all(-1, output);
    EXPECT_EQ(output, "x");
    EXPECT_EQ(log.texts(), lines_t{"read: " + std::string(strerror(EBADF))});
}

TEST_F(lkm_loader_test, the_major_comes_from_the_first_line_naming_the_module)
{
    struct case_t
    {
        const char* name;
        std::string content;
        int major;
    };
    const std::vector<case_t> cases = {
        {"found after others", "Character devices:\n  1 mem\n 10 misc\n254 noxel\n\nBlock devices:\n  7 loop\n", 254},
        {"absent", "Character devices:\n  1 mem\n 10 misc\n", -1},
        // Another driver whose name only contains ours would be sent our
        // requests: only the whole name counts.
        {"longer name with underscore", "Character devices:\n250 noxel_ext\n251 noxel\n", 251},
        {"longer name with dash", "Character devices:\n250 noxel-2\n", -1},
        {"longer name with colon", "Character devices:\n 12:noxel\n", -1},
        {"name with more words", "Character devices:\n250 noxel extra\n", -1},
        {"no prefix match", "Character devices:\n250 noxelx\n", -1},
        {"last line without newline", "Character devices:\n 10 misc\n254 noxel", 254},
        {"first match wins", "Character devices:\n 10 noxel\n 20 noxel\n", 10},
        {"block section does not count", "Character devices:\n  1 mem\n\nBlock devices:\n259 noxel\n", -1},
        {"character section after the block one", "Block devices:\n259 noxel\n\nCharacter devices:\n254 noxel\n", 254},
        {"lines before any heading do not count", "254 noxel\nCharacter devices:\n 10 misc\n", -1},
        {"name must be the second token", "Character devices:\nnoxel 254\n 7 loop noxel\n", -1},
        {"empty file", "", -1},
    };
    for (const case_t& c : cases) {
        EXPECT_EQ(get_device_major("noxel", devices(c.content)), c.major) << c.name;
    }
}

TEST_F(lkm_loader_test, the_kernels_own_list_is_read_by_section)
{
    // mem is character major 1 on every Linux; loop is a block driver only.
    EXPECT_EQ(get_device_major("mem", "/proc/devices"), 1);
    EXPECT_EQ(get_device_major("loop", "/proc/devices"), -1);
}

TEST_F(lkm_loader_test, a_major_that_is_no_int_throws_bad_lexical_cast)
{
    for (const std::string& content :
         {std::string("Character devices:\nabc noxel\n"), std::string("Character devices:\n99999999999 noxel\n")}) {
        EXPECT_THROW(get_device_major("noxel", devices(content)), boost::bad_lexical_cast) << content;
    }
}

TEST_F(lkm_loader_test, an_unreadable_list_gives_no_major)
{
    EXPECT_EQ(get_device_major("noxel", (dir_ / "missing").string()), -1);
    EXPECT_EQ(get_device_major("noxel", dir_.path()), -1);
}

// create_lkm_interceptor with a fake modprobe, a fake devices list and the
// fake module behind nodes made in a temporary device directory.
class lkm_create_test : public lkm_loader_test
{
protected:
    void SetUp() override
    {
        lkm_loader_test::SetUp();
        fs::create_directory(dir_ / "dev");
        setup_.program = script("modprobe", "exit 0");
        setup_.devices_list = devices("Character devices:\n 10 misc\n240 noxel\n");
        setup_.device_dir = (dir_ / "dev").string();
        setup_.opener = module_.opener();
    }

    boost::system::error_code creation_failure()
    {
        try {
            create_lkm_interceptor(loop_, {"/"}, setup_);
        } catch (const boost::system::system_error& e) {
            return e.code();
        }
        ADD_FAILURE() << "created";
        return boost::system::error_code();
    }

    boost::asio::io_service loop_;
    fake_module_t module_;
    ts_lkm_setup_t setup_;
};

TEST_F(lkm_create_test, loads_finds_the_major_and_builds_the_interceptor)
{
    log_capture_t log;
    ts_interceptor_ptr interceptor = create_lkm_interceptor(loop_, {"/", "/home"}, setup_);
    ASSERT_TRUE(interceptor);
    EXPECT_EQ(interceptor->kind(), 0);
    struct stat st;
    ASSERT_EQ(::stat((dir_ / "dev" / "noxel.tarsel").c_str(), &st), 0);
    EXPECT_EQ(st.st_rdev, makedev(240, 0));
    EXPECT_EQ(module_.requests(), (std::vector<std::pair<int32_t, std::string>>{{0, "/"}, {0, "/home"}}));
    const std::vector<std::pair<int, std::string>> lines = log.lines();
    ASSERT_GE(lines.size(), 4u);
    const std::vector<std::pair<int, std::string>> first(lines.begin(), lines.begin() + 4);
    EXPECT_EQ(first, (std::vector<std::pair<int, std::string>>{
                         {LOG_INFO_LEVEL, "Trying to use LKM interceptor"},
                         {LOG_DEBUG_LEVEL, "LKM has been loaded"},
                         {LOG_DEBUG_LEVEL, "Device major: 240"},
                         {LOG_INFO_LEVEL, "Char device directory: " + setup_.device_dir}}));
    interceptor.reset();
    EXPECT_TRUE(fs::is_empty(dir_ / "dev"));
}

TEST_F(lkm_create_test, a_failed_load_stops_before_the_devices_list)
{
    log_capture_t log;
    setup_.program = script("modprobe", "exit 1");
    setup_.devices_list = (dir_ / "missing").string();
    EXPECT_EQ(creation_failure(), make_monitor_error_code(TS_ERR_MODULE_LOAD));
    EXPECT_EQ(log.texts(), (lines_t{"Trying to use LKM interceptor", status_line(1)}));
    EXPECT_TRUE(module_.opens().empty());
}

TEST_F(lkm_create_test, a_module_without_a_major_gives_the_major_error)
{
    for (const std::string& list : {devices("Character devices:\n 10 misc\n"), (dir_ / "missing").string()}) {
        setup_.devices_list = list;
        try {
            create_lkm_interceptor(loop_, {"/"}, setup_);
            ADD_FAILURE() << "created";
        } catch (const boost::system::system_error& e) {
            EXPECT_EQ(e.code(), make_monitor_error_code(TS_ERR_NO_MAJOR));
            EXPECT_EQ(std::string(e.what()), "LKM: couldn't get device major number");
        }
    }
    EXPECT_TRUE(fs::is_empty(dir_ / "dev"));
    EXPECT_TRUE(module_.opens().empty());
}

TEST_F(lkm_create_test, an_interceptor_that_cannot_be_built_passes_its_failure_on)
{
    module_.fail_open("noxel.tarsel", ENODEV);
    EXPECT_EQ(creation_failure(), boost::system::error_code(ENODEV, boost::system::system_category()));
    EXPECT_TRUE(fs::is_empty(dir_ / "dev"));
}

TEST_F(lkm_create_test, the_factory_entry_runs_the_system_modprobe_which_has_no_such_module)
{
    // No test machine has this module: modprobe fails or is missing.
    try {
        create_lkm_interceptor(loop_, {"/"});
        FAIL() << "created";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), make_monitor_error_code(TS_ERR_MODULE_LOAD));
    }
}
