#include "util/thread_alarm.hpp"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include <boost/system/system_error.hpp>

#include "lkm/lkm_texts.hpp"

const int TS_ALARM_SIGNAL = SIGURG;

namespace {

void on_alarm(int) {}

void install_handler()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = &on_alarm;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the interrupted call must return.
    action.sa_flags = 0;
    ::sigaction(TS_ALARM_SIGNAL, &action, nullptr);
}

timespec to_timespec(std::chrono::nanoseconds duration)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
    timespec out;
    out.tv_sec = static_cast<time_t>(seconds.count());
    out.tv_nsec = static_cast<long>((duration - seconds).count());
    return out;
}

} // namespace

ts_thread_alarm_t::ts_thread_alarm_t()
{
    static std::once_flag installed;
    std::call_once(installed, &install_handler);
    sigevent event;
    std::memset(&event, 0, sizeof(event));
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = TS_ALARM_SIGNAL;
    event._sigev_un._tid = ::gettid();
    if (::timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0)
        throw boost::system::system_error(errno, boost::system::system_category(), TS_TEXT_CONTEXT_LKM_TIMER_CREATE);
}

ts_thread_alarm_t::~ts_thread_alarm_t()
{
    ::timer_delete(timer_);
}

void ts_thread_alarm_t::arm(std::chrono::nanoseconds first, std::chrono::nanoseconds interval) noexcept
{
    itimerspec setting;
    // A zero first expiry would disarm the timer.
    setting.it_value = to_timespec(first.count() > 0 ? first : std::chrono::nanoseconds(1));
    setting.it_interval = to_timespec(interval);
    ::timer_settime(timer_, 0, &setting, nullptr);
}

void ts_thread_alarm_t::disarm() noexcept
{
    itimerspec setting;
    std::memset(&setting, 0, sizeof(setting));
    ::timer_settime(timer_, 0, &setting, nullptr);
}
