// The log writer: threads that write every finished line of the daemon's
// own sinks (console, file, syslog, the standard-error fallback), fed
// through one bounded queue per destination.
//
// Why threads: a reader that stops reading (a stalled pipe on standard
// error, a FIFO as log file, a full syslog socket) makes a write wait for as
// long as it likes, and standard error, which the parent shares, must never
// be made non-blocking. So the threads that log only queue the line, which
// takes a lock held for a push or a take, and the writer threads do the
// waiting.
//
// Why one thread per destination (a lane): a sink that has been replaced
// may still wait for its reader, and the lines of the sink in use must not
// wait behind it. Outputs that write to the same destination (every output
// on standard error, every syslog output, a log file opened anew) share a
// lane, so their lines keep their order and never mix. A replaced sink's
// lines get LOG_REPLACED_DRAIN to be written; what is left then is dropped
// and counted. A lane whose sinks are all gone ends once its lines are out.
//
// The bound: all queues together hold LOG_QUEUE_BYTES; when they are full,
// the lines of replaced sinks make room first (dropped and counted), and
// further lines are counted as dropped, as are lines whose write fails. The
// first line queued (or written) after that for a sink in use is preceded
// by one Warning line with the count.
//
// Threads: attach, post, post_close, retire and flush may be called from any
// thread; the outputs' write and close run on their lane's thread only. The
// writer is never destroyed, so threads still logging at exit find it, and
// a child made by fork starts threads of its own at its first lines (lines
// queued in the parent are not written twice).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "log/log_output.hpp"

// Bytes of finished lines the queues hold before lines are dropped.
constexpr std::size_t LOG_QUEUE_BYTES = 1 << 20;

// How long the lines of a replaced sink may still take to be written, as
// long as the exit waits for the last lines.
constexpr std::chrono::milliseconds LOG_REPLACED_DRAIN(750);

class cf_log_writer_t
{
public:
    // One output as one sink writes to it.
    struct source_t;
    typedef std::shared_ptr<source_t> source_ptr;

    static cf_log_writer_t& instance();

    // The source through which a sink queues its lines for the output.
    // Throws std::bad_alloc only.
    source_ptr attach(const cf_log_output_ptr& output);
    // Queues a finished line; never waits for the write. Throws
    // std::bad_alloc only.
    void post(const source_ptr& source, std::string line, int level);
    // Queues the close of the output (always, whatever the bound).
    void post_close(const source_ptr& source);
    // The sink is gone: its queued lines get LOG_REPLACED_DRAIN, then the
    // rest is dropped and counted, and a write to a log file still waiting
    // gives up once it has finished the line it began (standard error is
    // blocking and a syslog send cannot be bounded: such a write waits on,
    // on its own thread).
    void retire(const source_ptr& source);
    // Waits until every line queued so far is written (or, for a replaced
    // sink, given up), or the time is up; whether all were.
    bool flush(std::chrono::milliseconds timeout);

    cf_log_writer_t(const cf_log_writer_t&) = delete;
    cf_log_writer_t& operator=(const cf_log_writer_t&) = delete;

    // The queues and the threads, defined with the writer's code.
    struct lane_t;
    struct state_t;

private:
    cf_log_writer_t() = default;
};
