#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>

#include <boost/asio/error.hpp>
#include <boost/asio/io_service.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "error.pb.h"
#include "fake_module.hpp"
#include "lkm/lkm_control.hpp"
#include "lkm/lkm_messages.hpp"
#include "lkm_test_util.hpp"
#include "log/log_sink.hpp"
#include "module_packets.hpp"
#include "monitor/monitor_error.hpp"
#include "util/signal_block.hpp"

namespace fs = boost::filesystem;
namespace mp = module_packets;

class lkm_control_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A closed fake-module socket must fail the write, not kill the test.
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(dir_.path().empty());
        node_ = dir_ / "noxel.control";
        // The loop's reactor opens descriptors of its own on first use; open
        // them now so that counts see only the channel's.
        boost::asio::posix::stream_descriptor warm_up(loop_);
    }

    // The exception of an add_dir, as a system error.
    boost::system::system_error add_dir_failure(ts_lkm_control_t& control, const std::string& dir)
    {
        try {
            control.add_dir(dir);
        } catch (const boost::system::system_error& e) {
            return e;
        }
        ADD_FAILURE() << "add_dir did not throw";
        return boost::system::system_error(boost::system::error_code(), "none");
    }

    boost::asio::io_service loop_;
    nt::temp_dir_t dir_{"nt-lkm"};
    fs::path node_;
    fake_module_t module_;
};

TEST_F(lkm_control_test, opens_its_node_read_write_and_exchanges_add_and_del)
{
    log_capture_t log;
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    ASSERT_EQ(module_.opens().size(), 1u);
    EXPECT_EQ(module_.opens()[0].first, node_.string());
    EXPECT_EQ(module_.opens()[0].second & O_ACCMODE, O_RDWR);
    struct stat st;
    ASSERT_EQ(::stat(node_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    EXPECT_TRUE(control.add_dir("/home"));
    EXPECT_TRUE(control.del_dir("/path with space/and \"quote\""));
    EXPECT_EQ(module_.requests(),
              (std::vector<std::pair<int32_t, std::string>>{{0, "/home"}, {2, "/path with space/and \"quote\""}}));
    EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                               {LOG_DEBUG_LEVEL, "Adding mountpoint on \"/home\""},
                               {LOG_DEBUG_LEVEL, "Deleting mountpoint on \"/path with space/and \"quote\"\""}}));
}

TEST_F(lkm_control_test, a_non_zero_error_field_is_a_refusal)
{
    log_capture_t log(LOG_INFO_LEVEL);
    module_.set_answer([](int32_t type, const std::string& dir) {
        return mp::dir_response(type + 1, dir == "/one" ? 1 : dir == "/minus" ? -1 : 0);
    });
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    EXPECT_FALSE(control.add_dir("/one"));
    EXPECT_FALSE(control.del_dir("/minus"));
    EXPECT_TRUE(control.add_dir("/zero"));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(lkm_control_test, answers_split_into_pieces_or_with_extra_pairs_are_read_whole)
{
    module_.set_answer([](int32_t type, const std::string&) {
        return mp::packet(mp::object(
            {{mp::i32(7), mp::str(std::string(300, 'x'))}, {mp::i32(4), mp::i32(0)}, {mp::i32(0), mp::i32(type + 1)}},
            true));
    });
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(control.add_dir("/d" + std::to_string(i)));
    }
}

TEST_F(lkm_control_test, bad_answers_give_the_parse_error)
{
    struct case_t
    {
        const char* name;
        std::string answer;
    };
    const std::vector<case_t> cases = {
        {"response of the other type", mp::dir_response(3, 0)},
        {"empty body", mp::packet("")},
        {"not an object", mp::packet(mp::i32(1))},
        {"garbage body", mp::packet("\x01\x02\x03")},
    };
    for (const case_t& c : cases) {
        fake_module_t module;
        module.set_answer([&](int32_t, const std::string&) { return c.answer; });
        ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module.opener());
        const boost::system::system_error e = add_dir_failure(control, "/x");
        EXPECT_EQ(e.code(), make_monitor_error_code(TS_ERR_PARSE)) << c.name;
        EXPECT_EQ(std::string(e.what()), "LKM: couldn't parse response") << c.name;
    }
}

TEST_F(lkm_control_test, a_length_beyond_any_response_is_refused_without_reading_it)
{
    module_.set_answer([](int32_t, const std::string&) { return mp::raw<uint32_t>(0xFFFFFFF0u); });
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    EXPECT_EQ(add_dir_failure(control, "/x").code(), make_monitor_error_code(TS_ERR_PARSE));
}

TEST_F(lkm_control_test, end_of_file_inside_the_length_field_is_a_read_error)
{
    module_.set_answer([](int32_t, const std::string&) { return std::string("\x16\x00", 2); });
    module_.close_after_answer();
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    const boost::system::system_error e = add_dir_failure(control, "/x");
    EXPECT_EQ(e.code(), boost::system::error_code(boost::asio::error::eof));
    EXPECT_EQ(std::string(e.what()).rfind("read: ", 0), 0u) << e.what();
}

TEST_F(lkm_control_test, a_write_to_a_closed_device_is_a_write_error)
{
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    module_.close_control();
    const boost::system::system_error e = add_dir_failure(control, "/x");
    EXPECT_EQ(e.code(), boost::system::error_code(EPIPE, boost::system::system_category()));
    EXPECT_EQ(std::string(e.what()).rfind("write: ", 0), 0u) << e.what();
}

TEST_F(lkm_control_test, a_request_that_cannot_be_built_gives_the_serialize_error)
{
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    try {
        control.send(refusing_request_t());
        FAIL() << "sent";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), make_monitor_error_code(TS_ERR_SERIALIZE));
        EXPECT_EQ(std::string(e.what()), "LKM: couldn't serialize request");
    }
    EXPECT_TRUE(module_.requests().empty());
}

TEST_F(lkm_control_test, destruction_closes_the_descriptor_once_then_removes_the_node)
{
    const size_t before = nt::open_fd_count();
    {
        ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
        EXPECT_TRUE(control.add_dir("/x"));
    }
    EXPECT_TRUE(module_.wait_control_closed());
    EXPECT_FALSE(fs::exists(fs::symlink_status(node_)));
    EXPECT_EQ(nt::open_fd_count(), before + 1); // the fake's own end
}

namespace {

// At its first line, puts /dev/null at a descriptor number that should be
// free by then.
class reusing_log_t : public cf_log_t
{
public:
    explicit reusing_log_t(int number)
        : number_(number)
    {}
    void open() override {}
    void log(int, const std::string&) override
    {
        if (!reused_) {
            const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (null_fd == number_) {
                reused_ = true;
                return;
            }
            reused_ = ::dup3(null_fd, number_, O_CLOEXEC) == number_;
            ::close(null_fd);
        }
    }
    void log_from_process(const std::string&, int, const std::string&) override {}
    bool reused_ = false;

private:
    int number_;
};

} // namespace

TEST_F(lkm_control_test, destruction_closes_once_and_before_the_node_goes)
{
    int control_fd = -1;
    const ts_device_opener_t plain = module_.opener();
    std::unique_ptr<ts_lkm_control_t> control(
        new ts_lkm_control_t(loop_, node_, UNUSED_MAJOR, 1,
                             [&](const std::string& path, int flags) { return control_fd = plain(path, flags); }));
    ASSERT_GE(control_fd, 0);
    // A node that cannot be removed makes its removal log a line: the sink
    // then takes the control descriptor's number for a file of its own,
    // which a second close, or a close after the removal, would take away.
    fs::remove(node_);
    fs::create_directories(node_ / "keep");
    log_state_restorer_t restorer;
    log_threshold = LOG_DEBUG_LEVEL;
    const boost::shared_ptr<reusing_log_t> sink = boost::make_shared<reusing_log_t>(control_fd);
    set_log_sink(sink);
    control.reset();
    EXPECT_TRUE(sink->reused_);
    EXPECT_GE(::fcntl(control_fd, F_GETFD), 0) << "a descriptor that was no longer ours was closed";
    ::close(control_fd);
    EXPECT_TRUE(module_.wait_control_closed());
    fs::remove_all(node_);
}

TEST_F(lkm_control_test, a_node_without_a_driver_cannot_be_opened_and_is_removed_again)
{
    const size_t before = nt::open_fd_count();
    try {
        ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1);
        FAIL() << "opened";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENXIO, boost::system::system_category()));
        EXPECT_EQ(std::string(e.what()).rfind("Couldn't open control char device: ", 0), 0u) << e.what();
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(node_)));
    EXPECT_EQ(nt::open_fd_count(), before);
}

TEST_F(lkm_control_test, an_open_refused_by_the_device_keeps_its_errno)
{
    module_.fail_open("noxel.control", EACCES);
    try {
        ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
        FAIL() << "opened";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(EACCES, boost::system::system_category()));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(node_)));
}

TEST_F(lkm_control_test, a_module_that_never_answers_fails_the_exchange_after_the_timeout)
{
    log_capture_t log(LOG_ERROR_LEVEL);
    module_.stay_silent();
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener(), std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    const boost::system::system_error e = add_dir_failure(control, "/x");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(e.code(), boost::system::error_code(ETIMEDOUT, boost::system::system_category()));
    EXPECT_EQ(std::string(e.what()).rfind("read: ", 0), 0u) << e.what();
    EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                               {LOG_ERROR_LEVEL, "No answer from the LKM control device within 300 ms"}}));
    // The request went out whole before the wait.
    EXPECT_EQ(module_.requests(), (std::vector<std::pair<int32_t, std::string>>{{0, "/x"}}));
    EXPECT_FALSE(blocked_now(SIGTERM));
    EXPECT_FALSE(blocked_now(SIGINT));
}

TEST_F(lkm_control_test, a_termination_signal_ends_a_waiting_exchange_with_the_termination_status)
{
    for (const int signal : {SIGTERM, SIGINT}) {
        log_capture_t log(LOG_ERROR_LEVEL);
        fake_module_t module;
        module.stay_silent();
        // Far longer than the test may take: only the signal can end the wait.
        ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module.opener(), std::chrono::hours(1));
        held_termination_t held;
        ASSERT_EQ(pthread_kill(pthread_self(), signal), 0);
        try {
            control.del_dir("/x");
            ADD_FAILURE() << "returned";
        } catch (nx::ErrorCode code) {
            EXPECT_EQ(code, nx::EC_APP_TERMINATED) << signal;
        }
        EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                                   {LOG_ERROR_LEVEL, "LKM control exchange abandoned: termination signal received"}}))
            << signal;
        // Still pending, for the event loop once the exchange has gone.
        sigset_t pending;
        sigpending(&pending);
        EXPECT_EQ(sigismember(&pending, signal), 1);
        // The mask is the caller's again.
        EXPECT_TRUE(blocked_now(signal));
    }
}

TEST_F(lkm_control_test, interrupted_reads_and_writes_are_repeated_and_the_mask_restored)
{
    // The answer comes after several of the exchange's own alarm ticks, each
    // of which interrupts the read waiting for it; then one byte at a time.
    module_.answer_slowly(TS_LKM_EXCHANGE_TICK * 3);
    // A request far larger than the socket takes at once: written in parts.
    const std::string long_dir = "/" + std::string(600 * 1024, 'd');
    ts_lkm_control_t control(loop_, node_, UNUSED_MAJOR, 1, module_.opener());
    EXPECT_TRUE(control.add_dir(long_dir));
    EXPECT_TRUE(control.del_dir("/short"));
    EXPECT_EQ(module_.requests(), (std::vector<std::pair<int32_t, std::string>>{{0, long_dir}, {2, "/short"}}));
    EXPECT_FALSE(blocked_now(SIGTERM));
    EXPECT_FALSE(blocked_now(SIGINT));
}

// As in the daemon: SIGTERM is sent to the process, every thread but the
// one running the event loop holds it, and the loop turns it into the
// termination status, but only once the exchange that blocks it has ended.
TEST_F(lkm_control_test, sigterm_to_the_process_during_an_exchange_ends_the_event_loop_with_the_termination_status)
{
    log_capture_t log(LOG_ERROR_LEVEL);
    boost::asio::signal_set termination(loop_, SIGTERM);
    termination.async_wait([](const boost::system::error_code& error, int) {
        if (!error) {
            throw nx::EC_APP_TERMINATED;
        }
    });
    module_.stay_silent();
    std::unique_ptr<ts_lkm_control_t> control;
    boost::thread sender;
    {
        ts_signal_block_t held;
        control.reset(new ts_lkm_control_t(loop_, node_, UNUSED_MAJOR, 1, module_.opener(), std::chrono::hours(1)));
        sender = boost::thread([this] {
            if (module_.wait_requests(1)) {
                ::kill(::getpid(), SIGTERM);
            }
        });
    }
    loop_.post([&control] { control->add_dir("/mnt"); });
    int status = 0;
    try {
        loop_.run();
    } catch (nx::ErrorCode code) {
        status = code;
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    sender.join();
    EXPECT_EQ(status, nx::EC_APP_TERMINATED);
    EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                               {LOG_ERROR_LEVEL, "LKM control exchange abandoned: termination signal received"}}));
    EXPECT_FALSE(blocked_now(SIGTERM));
}
