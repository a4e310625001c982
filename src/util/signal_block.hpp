// Keeps SIGHUP, SIGTERM and SIGINT blocked in the calling thread for the
// lifetime of the object, then restores the previous mask.
//
// The main thread handles these signals through its event loop; a thread
// started while the object lives inherits the blocked mask, so the signals
// are never delivered to (and never interrupt) a worker thread:
//     { ts_signal_block_t block; worker = boost::thread(...); }
#pragma once

#include <signal.h>

#include <boost/noncopyable.hpp>

class ts_signal_block_t : private boost::noncopyable
{
public:
    // Never throws: pthread_sigmask cannot fail with a valid set and how.
    ts_signal_block_t() noexcept;
    ~ts_signal_block_t();

private:
    sigset_t saved_;
};
