#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "fake_module.hpp"
#include "lkm/lkmnotify.hpp"
#include "lkm_test_util.hpp"
#include "log/log_sink.hpp"
#include "module_packets.hpp"
#include "monitor/event_queue.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/scan_set.hpp"
#include "util/unique_fd.hpp"

namespace fs = boost::filesystem;
namespace mp = module_packets;

namespace {

const int MAJOR = UNUSED_MAJOR;

typedef std::vector<std::pair<int32_t, std::string>> requests_t;

} // namespace

// The interceptor against the fake module, feeding a real queue through
// work posted to an event loop that the test runs on its own thread.
class lkmnotify_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(dir_.path().empty());
        queue_ = boost::make_shared<ts_event_queue_t>();
        queue_->set_path_filter(new ScanSet({"/"}, {}));
        queue_->pushed.connect([this] { ++pushes_; });
        boost::asio::posix::stream_descriptor warm_up(loop_);
    }

    void TearDown() override
    {
        if (thread_.joinable()) {
            interceptor_->stop();
            thread_.join();
        }
    }

    boost::shared_ptr<ts_lkmnotify_t> make(const std::vector<std::string>& mount_points = {})
    {
        return boost::make_shared<ts_lkmnotify_t>(loop_, dir_.path(), MAJOR, mount_points, module_.opener());
    }

    void start(const std::vector<std::string>& mount_points = {})
    {
        interceptor_ = make(mount_points);
        boost::shared_ptr<ts_lkmnotify_t> interceptor = interceptor_;
        ts_event_queue_ptr queue = queue_;
        thread_ = boost::thread([interceptor, queue] { interceptor->run(queue); });
    }

    // Runs posted work until n distinct paths wait in the queue. The queue
    // fires once per handed-over batch, so its signal counts batches, not
    // events.
    void run_until_waiting(size_t n)
    {
        // The loop stopped when the work of an earlier call went.
        loop_.restart();
        boost::asio::io_service::work work(loop_);
        while (queue_->size() < n) {
            loop_.run_one();
        }
    }

    std::deque<std::string> waiting()
    {
        std::deque<std::string> out;
        queue_->pop(out, 100);
        return out;
    }

    // What a construction that must fail throws.
    boost::system::system_error construction_failure()
    {
        try {
            make({"/"});
        } catch (const boost::system::system_error& e) {
            return e;
        }
        ADD_FAILURE() << "constructed";
        return boost::system::system_error(boost::system::error_code(), "none");
    }

    bool node_exists(const char* name) const { return fs::exists(fs::symlink_status(dir_ / name)); }

    log_capture_t log_;
    boost::asio::io_service loop_;
    nt::temp_dir_t dir_{"nt-lkm"};
    fake_module_t module_;
    ts_event_queue_ptr queue_;
    size_t pushes_ = 0;
    boost::shared_ptr<ts_lkmnotify_t> interceptor_;
    boost::thread thread_;
};

TEST_F(lkmnotify_test, makes_both_nodes_and_opens_control_then_monitor)
{
    boost::shared_ptr<ts_lkmnotify_t> interceptor = make();
    EXPECT_EQ(interceptor->kind(), 0);
    struct case_t
    {
        const char* name;
        unsigned minor;
        int access;
    };
    const case_t nodes[] = {{"noxel.control", 1, O_RDWR}, {"noxel.tarsel", 0, O_RDONLY}};
    const std::vector<std::pair<std::string, int>> opens = module_.opens();
    ASSERT_EQ(opens.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const fs::path node = dir_ / nodes[i].name;
        struct stat st;
        ASSERT_EQ(::lstat(node.c_str(), &st), 0) << node;
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0400u);
        EXPECT_EQ(st.st_rdev, makedev(MAJOR, nodes[i].minor));
        EXPECT_EQ(opens[i].first, node.string());
        EXPECT_EQ(opens[i].second & O_ACCMODE, nodes[i].access);
    }
    EXPECT_TRUE(module_.requests().empty());
}

TEST_F(lkmnotify_test, offers_every_mount_point_and_goes_on_after_refusals)
{
    module_.set_answer(
        [](int32_t type, const std::string& dir) { return mp::dir_response(type + 1, dir == "/proc" ? 3 : 0); });
    boost::shared_ptr<ts_lkmnotify_t> interceptor = make({"/", "/proc", "/home"});
    EXPECT_EQ(module_.requests(), (requests_t{{0, "/"}, {0, "/proc"}, {0, "/home"}}));
    std::vector<std::string> outcome;
    for (const auto& line : log_.lines()) {
        if (line.second.rfind("Adding mountpoint on ", 0) != 0) {
            EXPECT_EQ(line.first, LOG_DEBUG_LEVEL);
            outcome.push_back(line.second);
        }
    }
    EXPECT_EQ(outcome,
              (std::vector<std::string>{"The path: / has been added for monitoring", "Couldn't add monitor path: /proc",
                                        "The path: /home has been added for monitoring"}));
}

TEST_F(lkmnotify_test, a_module_refusing_every_mount_point_still_gives_an_interceptor)
{
    module_.set_answer([](int32_t type, const std::string&) { return mp::dir_response(type + 1, -1); });
    boost::shared_ptr<ts_lkmnotify_t> interceptor = make({"/a", "/b"});
    EXPECT_EQ(module_.requests().size(), 2u);
}

TEST_F(lkmnotify_test, add_and_remove_path_ask_the_module_every_time)
{
    module_.set_answer(
        [](int32_t type, const std::string& dir) { return mp::dir_response(type + 1, dir == "/no" ? 1 : 0); });
    boost::shared_ptr<ts_lkmnotify_t> interceptor = make();
    EXPECT_TRUE(interceptor->add_path("/mnt"));
    EXPECT_TRUE(interceptor->add_path("/mnt"));
    EXPECT_FALSE(interceptor->add_path("/no"));
    EXPECT_TRUE(interceptor->remove_path("/never-added"));
    EXPECT_FALSE(interceptor->remove_path("/no"));
    EXPECT_EQ(module_.requests(), (requests_t{{0, "/mnt"}, {0, "/mnt"}, {0, "/no"}, {2, "/never-added"}, {2, "/no"}}));
}

TEST_F(lkmnotify_test, a_failed_exchange_reaches_the_caller_of_add_path)
{
    boost::shared_ptr<ts_lkmnotify_t> interceptor = make();
    module_.close_control();
    EXPECT_THROW(interceptor->add_path("/mnt"), boost::system::system_error);
}

TEST_F(lkmnotify_test, event_path_packets_become_queued_events_in_stream_order)
{
    start();
    module_.write_monitor(mp::event_path("/etc/hosts", 812));
    run_until_waiting(1);
    // Several packets in one write: none is lost, whatever the reads make of them.
    module_.write_monitor(mp::event_path("/b", 2) + mp::event_path("/c", static_cast<int>(::getpid())) +
                          mp::event_path("/b", 4) + mp::event_path("/d", 5));
    run_until_waiting(4);
    EXPECT_EQ(waiting(), (std::deque<std::string>{"/etc/hosts", "/b", "/c", "/d"}));
}

TEST_F(lkmnotify_test, a_packet_written_in_pieces_arrives_once)
{
    start();
    const std::string packet = mp::event_path("/split/" + std::string(300, 's'), 9);
    for (size_t at = 0; at < packet.size(); at += 7) {
        module_.write_monitor(packet.substr(at, 7));
    }
    run_until_waiting(1);
    EXPECT_EQ(waiting(), (std::deque<std::string>{"/split/" + std::string(300, 's')}));
}

TEST_F(lkmnotify_test, packets_that_are_no_event_are_skipped_and_reading_goes_on)
{
    start();
    module_.write_monitor(mp::dir_response(1, 0));
    module_.write_monitor(mp::packet(""));
    module_.write_monitor(mp::event_path("relative/path", 1));
    module_.write_monitor(mp::event_path("/after", 1));
    run_until_waiting(1);
    EXPECT_EQ(waiting(), (std::deque<std::string>{"/after"}));
    const std::vector<std::string> texts = log_.texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), std::string("Couldn't deserialize EVENT_PATH response")),
              texts.end());
}

TEST_F(lkmnotify_test, stop_wakes_a_reader_that_waits_for_the_module)
{
    start();
    interceptor_->stop();
    thread_.join();
    EXPECT_EQ(loop_.poll(), 0u);
    EXPECT_EQ(pushes_, 0u);
    for (const auto& line : log_.lines()) {
        EXPECT_NE(line.first, LOG_ERROR_LEVEL) << line.second;
    }
}

namespace {

// True once the thread waits inside a read(2).
bool in_read(pid_t tid)
{
    std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string number;
    return syscall >> number && number == "0";
}

} // namespace

TEST_F(lkmnotify_test, stop_wakes_a_reader_blocked_in_a_read_of_a_device_without_poll)
{
    // A device without poll reports itself readable at once; its read then
    // waits for the module. A socket that wants more bytes than it holds
    // before a read returns behaves the same.
    const ts_device_opener_t plain = module_.opener();
    interceptor_ = boost::make_shared<ts_lkmnotify_t>(
        loop_, dir_.path(), MAJOR, std::vector<std::string>(), [plain](const std::string& path, int flags) {
            const int fd = plain(path, flags);
            const int low_water = 1 << 20;
            if (fd >= 0 && path.find("noxel.tarsel") != std::string::npos) {
                ::setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &low_water, sizeof(low_water));
            }
            return fd;
        });
    std::atomic<pid_t> tid(0);
    boost::shared_ptr<ts_lkmnotify_t> interceptor = interceptor_;
    ts_event_queue_ptr queue = queue_;
    thread_ = boost::thread([interceptor, queue, &tid] {
        tid = ::gettid();
        interceptor->run(queue);
    });
    module_.write_monitor("\x10");
    // Bounded only so that a reader that never reads fails instead of hangs.
    for (int i = 0; i < 30000 && !(tid != 0 && in_read(tid)); ++i) {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(1));
    }
    ASSERT_TRUE(in_read(tid));
    interceptor_->stop();
    const bool joined = thread_.try_join_for(boost::chrono::seconds(30));
    EXPECT_TRUE(joined);
    if (!joined) {
        module_.close_monitor();
        thread_.join();
    }
    for (const auto& line : log_.lines()) {
        EXPECT_NE(line.first, LOG_ERROR_LEVEL) << line.second;
    }
}

TEST_F(lkmnotify_test, a_broken_stream_ends_run_with_an_error_line)
{
    struct case_t
    {
        const char* name;
        std::string bytes;
        std::string failure;
    };
    const std::vector<case_t> cases = {
        {"end of the device", "", std::string("read_some: ")},
        {"end inside a packet", mp::event_path("/x", 1).substr(0, 9), std::string("read_some: ")},
        {"corrupt length", mp::raw<uint32_t>(0x7FFFFFFF), "cannot parse stream"},
    };
    for (const case_t& c : cases) {
        log_capture_t log;
        fake_module_t module;
        boost::shared_ptr<ts_lkmnotify_t> interceptor =
            boost::make_shared<ts_lkmnotify_t>(loop_, dir_.path(), MAJOR, std::vector<std::string>(), module.opener());
        boost::thread thread([interceptor, queue = queue_] { interceptor->run(queue); });
        module.write_monitor(c.bytes);
        module.close_monitor();
        // run returns by itself, without stop.
        thread.join();
        std::vector<std::pair<int, std::string>> errors;
        for (const auto& line : log.lines()) {
            if (line.first == LOG_ERROR_LEVEL) {
                errors.push_back(line);
            }
        }
        ASSERT_EQ(errors.size(), 1u) << c.name;
        EXPECT_EQ(errors[0].second.rfind("LKM event reader stopped: " + c.failure, 0), 0u) << errors[0].second;
    }
    loop_.restart();
    EXPECT_EQ(loop_.poll(), 0u);
}

namespace {

// A sink whose every line fails, as a full disk or a vanished log file may.
class throwing_log_t : public cf_log_t
{
public:
    void open() override {}
    void log(int, const std::string&) override { throw std::runtime_error("log sink failed"); }
    void log_from_process(const std::string&, int, const std::string&) override
    {
        throw std::runtime_error("log sink failed");
    }
};

} // namespace

TEST_F(lkmnotify_test, a_log_sink_that_throws_while_a_failure_is_reported_does_not_leave_run)
{
    boost::shared_ptr<ts_lkmnotify_t> interceptor = make();
    // A packet that is no event makes the reader log too, before the end of
    // the device makes run log its failure.
    module_.write_monitor(mp::dir_response(1, 0));
    module_.close_monitor();
    log_threshold = LOG_DEBUG_LEVEL;
    set_log_sink(boost::make_shared<throwing_log_t>());
    // On the interceptor thread an exception leaving run ends the process.
    EXPECT_NO_THROW(interceptor->run(queue_));
    EXPECT_EQ(pushes_, 0u);
}

TEST_F(lkmnotify_test, destruction_closes_both_descriptors_and_removes_both_nodes)
{
    const size_t before = nt::open_fd_count();
    start({"/"});
    module_.write_monitor(mp::event_path("/x", 1));
    run_until_waiting(1);
    interceptor_->stop();
    thread_.join();
    // The reader only borrowed the monitor descriptor: it is still open, and
    // a descriptor opened now is not the interceptor's to close.
    EXPECT_FALSE(module_.monitor_closed_by_daemon());
    ts_unique_fd_t later(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(later.valid());
    interceptor_.reset();
    EXPECT_GE(::fcntl(later.get(), F_GETFD), 0) << "closed by the interceptor";
    later.reset();
    EXPECT_FALSE(node_exists("noxel.control"));
    EXPECT_FALSE(node_exists("noxel.tarsel"));
    EXPECT_TRUE(module_.wait_control_closed());
    EXPECT_TRUE(module_.monitor_closed_by_daemon());
    // Only the fake's own two ends remain.
    EXPECT_EQ(nt::open_fd_count(), before + 2);
    // No DEL_DIR at destruction.
    EXPECT_EQ(module_.requests(), (requests_t{{0, "/"}}));
}

TEST_F(lkmnotify_test, a_monitor_node_that_cannot_be_opened_leaves_nothing_behind)
{
    const size_t before = nt::open_fd_count();
    module_.fail_open("noxel.tarsel", EACCES);
    const boost::system::system_error e = construction_failure();
    EXPECT_EQ(e.code(), boost::system::error_code(EACCES, boost::system::system_category()));
    EXPECT_EQ(std::string(e.what()).rfind("Couldn't open monitor char device: ", 0), 0u) << e.what();
    EXPECT_FALSE(node_exists("noxel.control"));
    EXPECT_FALSE(node_exists("noxel.tarsel"));
    EXPECT_TRUE(module_.wait_control_closed());
    EXPECT_EQ(nt::open_fd_count(), before + 1);
    EXPECT_TRUE(module_.requests().empty());
}

TEST_F(lkmnotify_test, a_failed_exchange_during_construction_leaves_nothing_behind)
{
    const size_t before = nt::open_fd_count();
    module_.set_answer([](int32_t, const std::string&) { return mp::dir_response(3, 0); });
    const boost::system::system_error e = construction_failure();
    EXPECT_EQ(e.code(), make_monitor_error_code(TS_ERR_PARSE));
    EXPECT_FALSE(node_exists("noxel.control"));
    EXPECT_FALSE(node_exists("noxel.tarsel"));
    EXPECT_TRUE(module_.wait_control_closed());
    EXPECT_TRUE(module_.monitor_closed_by_daemon());
    EXPECT_EQ(nt::open_fd_count(), before + 2);
}

TEST_F(lkmnotify_test, without_a_driver_behind_the_nodes_construction_fails_cleanly)
{
    try {
        ts_lkmnotify_t interceptor(loop_, dir_.path(), MAJOR, {"/"});
        FAIL() << "constructed";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(ENXIO, boost::system::system_category()));
        EXPECT_EQ(std::string(e.what()).rfind("Couldn't open control char device: ", 0), 0u) << e.what();
    }
    EXPECT_TRUE(fs::is_empty(dir_.path()));
}
