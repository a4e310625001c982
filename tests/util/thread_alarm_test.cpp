#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "util/thread_alarm.hpp"
#include "util/unique_fd.hpp"

class thread_alarm_test : public ::testing::Test
{
protected:
    void SetUp() override
    {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        read_end_.reset(ends[0]);
        write_end_.reset(ends[1]);
    }

    // A read of one byte, with errno kept.
    std::pair<ssize_t, int> read_one()
    {
        char byte;
        const ssize_t got = ::read(read_end_.get(), &byte, 1);
        return std::make_pair(got, got < 0 ? errno : 0);
    }

    ts_unique_fd_t read_end_;
    ts_unique_fd_t write_end_;
};

TEST_F(thread_alarm_test, interrupts_a_blocking_read_of_its_thread_until_disarmed)
{
    // Should the read not be interrupted, this byte ends it after a while,
    // and the test fails instead of hanging.
    boost::thread late_writer([this] {
        boost::this_thread::sleep_for(boost::chrono::seconds(3));
        const ssize_t written = ::write(write_end_.get(), "x", 1);
        (void)written;
    });
    {
        ts_thread_alarm_t alarm;
        alarm.arm(std::chrono::milliseconds(20), std::chrono::milliseconds(20));
        EXPECT_EQ(read_one(), std::make_pair(static_cast<ssize_t>(-1), EINTR));
        // It repeats: a signal that came too early is followed by another.
        EXPECT_EQ(read_one(), std::make_pair(static_cast<ssize_t>(-1), EINTR));
        alarm.disarm();
        // Disarmed, the read waits for its data.
        EXPECT_EQ(read_one(), std::make_pair(static_cast<ssize_t>(1), 0));
    }
    late_writer.join();
}
