// Which thread is the main thread: the one that runs the event loop and
// alone may touch the daemon's objects. Other threads reach it only by
// posting work to the loop (see monitor/handoff.hpp).
#pragma once

#include <boost/noncopyable.hpp>

class ts_main_thread_t : private boost::noncopyable
{
public:
    // True on the thread that started the process (it runs main, and the
    // test programs' cases), which is recorded before main runs; also true
    // while nothing is recorded yet (code run from a static initializer).
    // Never throws.
    static bool is_current() noexcept;

    // Writes which method ran on which thread to standard error and aborts.
    // Reached only through NT_ASSERT_MAIN_THREAD.
    [[noreturn]] static void fail(const char* function) noexcept;

private:
    ts_main_thread_t() = delete;
};

// Opens every method that only the main thread may run. It checks in the
// sanitizer builds only (NT_CHECK_THREADS), where a wrong thread is a fault
// to stop at; elsewhere it costs nothing.
#ifdef NT_CHECK_THREADS
#define NT_ASSERT_MAIN_THREAD()                                                                                        \
    do {                                                                                                               \
        if (!ts_main_thread_t::is_current())                                                                           \
            ts_main_thread_t::fail(__func__);                                                                          \
    } while (false)
#else
#define NT_ASSERT_MAIN_THREAD()                                                                                        \
    do {                                                                                                               \
    } while (false)
#endif
