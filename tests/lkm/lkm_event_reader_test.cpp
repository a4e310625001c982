#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "lkm/lkm_event_reader.hpp"
#include "lkm_test_util.hpp"
#include "module_packets.hpp"
#include "util/thread_alarm.hpp"
#include "util/unique_fd.hpp"

namespace mp = module_packets;

// The reader over a pipe: everything a test writes before reading is there
// at once, so each read takes min(4096, what is left) bytes.
class lkm_event_reader_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read_end_.reset(ends[0]);
        write_end_.reset(ends[1]);
        wake_.reset(::eventfd(0, EFD_CLOEXEC));
        ASSERT_TRUE(wake_.valid());
        reader_.assign(read_end_.get());
    }

    void write(const std::string& bytes)
    {
        ASSERT_EQ(::write(write_end_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    std::vector<std::pair<std::string, int>> next()
    {
        std::vector<ts_event_t> events;
        EXPECT_TRUE(reader_.read_events(events));
        std::vector<std::pair<std::string, int>> out;
        for (const ts_event_t& event : events) {
            out.push_back(std::make_pair(*event.path, event.pid));
        }
        return out;
    }

    // An EVENT_PATH packet of exactly size bytes.
    static std::string event_of_size(size_t size, int pid)
    {
        const size_t overhead = mp::event_path("", pid).size();
        // Paths above 255 bytes take the long string form: 3 bytes more.
        const size_t path = size - overhead - (size - overhead > 255 ? 3 : 0);
        const std::string packet = mp::event_path("/" + std::string(path - 1, 'p'), pid);
        EXPECT_EQ(packet.size(), size);
        return packet;
    }

    log_capture_t log_;
    ts_unique_fd_t read_end_;
    ts_unique_fd_t write_end_;
    ts_unique_fd_t wake_;
    // Without a wake-up descriptor; the test of waking builds its own.
    ts_lkm_event_reader_t reader_;
};

TEST_F(lkm_event_reader_test, an_event_path_packet_becomes_an_event)
{
    write(mp::event_path("/etc/hosts", 812));
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"/etc/hosts", 812}}));
    EXPECT_FALSE(reader_.has_event());
}

TEST_F(lkm_event_reader_test, every_packet_a_read_completes_is_handed_out_in_order)
{
    write(mp::event_path("/a", 1) + mp::event_path("/b", 2) + mp::event_path("/a", 3));
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"/a", 1}, {"/b", 2}, {"/a", 3}}));
}

TEST_F(lkm_event_reader_test, a_packet_split_over_two_reads_yields_its_event_after_the_second)
{
    // The first read takes 4096 bytes: all of the first packet and part of
    // the second.
    const std::string first = event_of_size(3000, 1);
    const std::string second = event_of_size(3000, 2);
    write(first + second);
    EXPECT_EQ(next().size(), 1u);
    const std::vector<std::pair<std::string, int>> events = next();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].second, 2);
}

TEST_F(lkm_event_reader_test, a_read_ending_inside_the_length_field_is_joined)
{
    const std::string first = event_of_size(TS_LKM_READ_SIZE - 2, 1);
    write(first + mp::event_path("/second", 2));
    const std::vector<std::pair<std::string, int>> events = next();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].second, 1);
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"/second", 2}}));
}

TEST_F(lkm_event_reader_test, packets_that_are_no_event_are_logged_and_skipped)
{
    const std::string not_an_event = mp::dir_response(1, 0);
    write(not_an_event + mp::packet("") + mp::event_path("/after", 5));
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"/after", 5}}));
    EXPECT_EQ(log_.lines(), (std::vector<std::pair<int, std::string>>{
                                {LOG_ERROR_LEVEL, "Wrong packet_type: 1, expected: NOXEL_PT_EVENT_PATH"},
                                {LOG_WARNING_LEVEL, "Couldn't deserialize EVENT_PATH response"}}));
}

TEST_F(lkm_event_reader_test, an_event_with_an_empty_path_is_dropped_with_a_warning)
{
    write(mp::event_path("", 7) + mp::event_path("/after", 8));
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"/after", 8}}));
    EXPECT_EQ(log_.lines(), (std::vector<std::pair<int, std::string>>{
                                {LOG_WARNING_LEVEL, "Dropped EVENT_PATH packet with an empty path"}}));
}

TEST_F(lkm_event_reader_test, events_of_any_pid_and_path_are_passed_on)
{
    // Filtering is the queue's business, not the reader's.
    write(mp::event_path("relative", static_cast<int>(::getpid())));
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"relative", static_cast<int>(::getpid())}}));
}

TEST_F(lkm_event_reader_test, the_end_of_the_device_is_an_end_of_file_error)
{
    write(mp::event_path("/x", 1).substr(0, 10));
    write_end_.reset();
    std::vector<ts_event_t> events;
    try {
        reader_.read_events(events);
        FAIL() << "read";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(boost::asio::error::eof));
        EXPECT_EQ(std::string(e.what()).rfind("read_some: ", 0), 0u) << e.what();
    }
}

TEST_F(lkm_event_reader_test, a_failing_read_reports_its_errno)
{
    // A descriptor open for writing only polls readable but cannot be read.
    ts_unique_fd_t null_fd(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(null_fd.valid());
    ts_lkm_event_reader_t reader;
    reader.assign(null_fd.get());
    std::vector<ts_event_t> events;
    try {
        reader.read_events(events);
        FAIL() << "read";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::system::error_code(EBADF, boost::system::system_category()));
    }
}

TEST_F(lkm_event_reader_test, a_length_beyond_any_packet_fails_the_stream)
{
    write(mp::raw<uint32_t>(0xFFFFFFFFu) + "garbage");
    std::vector<ts_event_t> events;
    try {
        reader_.read_events(events);
        FAIL() << "read";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot parse stream");
    }
}

// The events that a read completes before the stream fails in the same
// read are handed out; the failure comes with the next call.
TEST_F(lkm_event_reader_test, events_before_a_failure_in_the_same_read_are_not_lost)
{
    write(mp::event_path("/a", 1) + mp::event_path("/b", 2) + mp::raw<uint32_t>(0xFFFFFFFFu) + "garbage");
    EXPECT_EQ(next(), (std::vector<std::pair<std::string, int>>{{"/a", 1}, {"/b", 2}}));
    std::vector<ts_event_t> events;
    try {
        reader_.read_events(events);
        FAIL() << "read";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot parse stream");
    }
    EXPECT_TRUE(events.empty());
}

TEST_F(lkm_event_reader_test, the_wake_up_descriptor_ends_a_wait_without_an_event)
{
    ts_lkm_event_reader_t reader(wake_.get());
    reader.assign(read_end_.get());
    const uint64_t one = 1;
    ASSERT_EQ(::write(wake_.get(), &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
    std::vector<ts_event_t> events(1);
    EXPECT_FALSE(reader.read_events(events));
    EXPECT_TRUE(events.empty());
    // A stop wins over data that is waiting.
    write(mp::event_path("/x", 1));
    EXPECT_FALSE(reader.read_events(events));
}

TEST_F(lkm_event_reader_test, interrupted_waits_are_repeated)
{
    // The reader waits in poll for an event written later, while an alarm
    // interrupts it again and again.
    ts_thread_alarm_t alarm;
    alarm.arm(std::chrono::milliseconds(5), std::chrono::milliseconds(5));
    boost::thread writer([this] {
        boost::this_thread::sleep_for(boost::chrono::milliseconds(200));
        write(mp::event_path("/late", 3));
    });
    std::vector<std::pair<std::string, int>> events;
    try {
        events = next();
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    alarm.disarm();
    writer.join();
    EXPECT_EQ(events, (std::vector<std::pair<std::string, int>>{{"/late", 3}}));
}
