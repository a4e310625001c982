#include "lkm/termination_hold.hpp"

#include <pthread.h>

ts_termination_hold_t::ts_termination_hold_t() noexcept
{
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigaddset(&held, SIGINT);
    pthread_sigmask(SIG_BLOCK, &held, &saved_);
}

ts_termination_hold_t::~ts_termination_hold_t()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

bool ts_termination_hold_t::pending() noexcept
{
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1;
}
