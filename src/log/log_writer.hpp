// The log writer: one thread that writes every finished line of the
// daemon's own sinks (console, file, syslog, the standard-error fallback),
// fed through a bounded queue.
//
// Why a thread: a reader that stops reading (a stalled pipe on standard
// error, a FIFO as log file, a full syslog socket) makes a write wait for as
// long as it likes, and standard error, which the parent shares, must never
// be made non-blocking. So the threads that log only queue the line, which
// takes a lock held for a push or a swap, and this thread does the waiting.
// When the queue holds LOG_QUEUE_BYTES, further lines are counted as
// dropped, as are lines whose write fails; the first line queued (or
// written) after that is preceded by one Warning line with the count.
//
// Threads: post, post_close and flush may be called from any thread; the
// outputs' write and close run on the writer thread only. The writer is
// never destroyed, so threads still logging at exit find it, and a child
// made by fork starts a writer of its own at its first line (lines queued
// in the parent are not written twice).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "log/log_output.hpp"

// Bytes of finished lines the queue holds before lines are dropped.
constexpr std::size_t LOG_QUEUE_BYTES = 1 << 20;

class cf_log_writer_t
{
public:
    static cf_log_writer_t& instance();

    // Queues a finished line for the output; never waits for the write.
    // Throws std::bad_alloc only.
    void post(const cf_log_output_ptr& output, std::string line, int level);
    // Queues the close of an output (always, whatever the bound).
    void post_close(const cf_log_output_ptr& output);
    // Waits until every line queued so far is written, or the time is up;
    // whether all were written.
    bool flush(std::chrono::milliseconds timeout);

    cf_log_writer_t(const cf_log_writer_t&) = delete;
    cf_log_writer_t& operator=(const cf_log_writer_t&) = delete;

    // The queue and the thread, defined with the writer's code.
    struct state_t;

private:
    cf_log_writer_t() = default;
};
