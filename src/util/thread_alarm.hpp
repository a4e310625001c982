// Interrupts the blocking system calls of one thread: a timer sends that
// thread a signal whose handler does nothing and which is installed without
// SA_RESTART, so a read, write or poll under way fails with EINTR. A device
// that waits without a time limit and without poll can only be left this
// way. The signal repeats at an interval until the alarm is disarmed, so a
// signal landing just before the call is followed by one that lands inside.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>

#include <boost/noncopyable.hpp>

// The signal of every alarm. Ignored by default, so one arriving after its
// alarm has gone harms nothing; the daemon uses it for nothing else.
extern const int TS_ALARM_SIGNAL;

class ts_thread_alarm_t : private boost::noncopyable
{
public:
    // An alarm for the calling thread, disarmed. Installs the signal's
    // handler at its first use in the process. Throws
    // boost::system::system_error (errno, "timer_create").
    ts_thread_alarm_t();
    // Deletes the timer. Must run before the thread ends.
    ~ts_thread_alarm_t();

    // The first signal after first (at least one nanosecond), then one every
    // interval. Any thread; never throws.
    void arm(std::chrono::nanoseconds first, std::chrono::nanoseconds interval) noexcept;
    void disarm() noexcept;

private:
    timer_t timer_;
};
