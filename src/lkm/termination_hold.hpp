// SIGTERM and SIGINT held on the calling thread for the lifetime of the
// object, then the previous mask restored.
//
// The main thread's blocking steps (a control exchange, a modprobe run)
// keep the event loop, and with it the termination handler, from running.
// Held, a termination signal stays pending where such a step can see it and
// end itself; every other thread of the daemon holds these signals too, so
// one sent to the process waits as well. Once the object goes, a signal
// still pending reaches the event loop's handler.
#pragma once

#include <signal.h>

#include <boost/noncopyable.hpp>

class ts_termination_hold_t : private boost::noncopyable
{
public:
    // Never throws: pthread_sigmask cannot fail with a valid set and how.
    ts_termination_hold_t() noexcept;
    ~ts_termination_hold_t();

    // The thread's mask from before the object: what a child started
    // meanwhile sets again before it executes its program.
    const sigset_t& previous() const noexcept { return saved_; }

    // Whether SIGTERM or SIGINT is pending for the calling thread or the
    // process.
    static bool pending() noexcept;

private:
    sigset_t saved_;
};
