#include "util/signal_block.hpp"

#include <pthread.h>

ts_signal_block_t::ts_signal_block_t() noexcept
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGHUP);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved_);
}

ts_signal_block_t::~ts_signal_block_t()
{
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}
