#include "log/log_writer.hpp"

#include <pthread.h>
#include <signal.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "log/log.hpp"
#include "log/log_texts.hpp"

struct cf_log_writer_t::state_t
{
    enum kind_t { LINE, DROPPED, CLOSE };

    struct entry_t
    {
        cf_log_output_ptr output;
        std::string line;
        int level;
        kind_t kind;
        std::uint64_t dropped;
    };

    // Guards everything below. Never held while a line is written.
    std::mutex mutex;
    // The writer waits here for lines; flush waits on `idle` for the end.
    std::condition_variable work;
    std::condition_variable idle;
    std::deque<entry_t> queue;
    std::size_t queued_bytes = 0;
    // Lines not queued for want of room since the last report.
    std::uint64_t dropped = 0;
    bool started = false;
    bool waiting = false; // the writer sleeps on `work`
    bool writing = false; // the writer holds a batch taken from the queue
    // Counts batches taken, so that flush knows its lines were among them.
    std::uint64_t taken = 0;
    std::uint64_t done = 0;

    void start_locked();
    void run();
    void write_batch(std::deque<entry_t>& batch);
};

namespace {

cf_log_writer_t::state_t* writer_state = nullptr;

// Bytes an entry counts against the bound: its line and its bookkeeping.
std::size_t cost(const std::string& line)
{
    return line.size() + 64;
}

void before_fork()
{
    writer_state->mutex.lock();
}

void after_fork_in_parent()
{
    writer_state->mutex.unlock();
}

// The child has no writer thread: it starts one at its first line. Lines
// the parent queued are its own to write; the child forgets them.
void after_fork_in_child()
{
    cf_log_writer_t::state_t& state = *writer_state;
    state.mutex.unlock();
    // Threads of the parent may have waited on these; in the child nobody
    // does.
    new (&state.work) std::condition_variable;
    new (&state.idle) std::condition_variable;
    state.queue.clear();
    state.queued_bytes = 0;
    state.dropped = 0;
    state.started = false;
    state.waiting = false;
    state.writing = false;
    state.done = state.taken;
}

cf_log_writer_t::state_t& state()
{
    static cf_log_writer_t::state_t* created = [] {
        writer_state = new cf_log_writer_t::state_t;
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return writer_state;
    }();
    return *created;
}

} // namespace

cf_log_writer_t& cf_log_writer_t::instance()
{
    static cf_log_writer_t* writer = new cf_log_writer_t;
    state();
    return *writer;
}

void cf_log_writer_t::state_t::start_locked()
{
    // The writer takes no signal: they belong to the main thread's loop,
    // and a write interrupted on this thread would serve nobody.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        std::thread(&state_t::run, this).detach();
        started = true;
    } catch (const std::exception&) {
        // Tried again at the next line; meanwhile lines wait in the queue.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void cf_log_writer_t::state_t::run()
{
    std::deque<entry_t> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            writing = false;
            done = taken;
            idle.notify_all();
            while (queue.empty()) {
                waiting = true;
                work.wait(lock);
                waiting = false;
            }
            batch.swap(queue);
            queued_bytes = 0;
            writing = true;
            ++taken;
        }
        write_batch(batch);
        // Released here, off the lock: the last reference to an output (an
        // owned log file) may go with its last line.
        batch.clear();
    }
}

void cf_log_writer_t::state_t::write_batch(std::deque<entry_t>& batch)
{
    // Lines whose write failed, reported with the next line that an output
    // takes. Only this thread touches it.
    static std::uint64_t failed = 0;
    std::string joined;
    std::size_t i = 0;
    while (i < batch.size()) {
        entry_t& entry = batch[i];
        if (entry.kind == CLOSE) {
            entry.output->close();
            ++i;
            continue;
        }
        const std::uint64_t lost = entry.kind == DROPPED ? entry.dropped : 0;
        if (lost + failed != 0) {
            const std::string report =
                entry.output->line(LOG_WARNING_LEVEL, std::to_string(lost + failed) + CF_TEXT_DROPPED_SUFFIX);
            if (entry.output->write(report, LOG_WARNING_LEVEL))
                failed = 0;
            else
                failed += lost;
        }
        if (entry.kind == DROPPED) {
            ++i;
            continue;
        }
        // Whole lines of one output in a row go out in one write.
        std::size_t end = i + 1;
        std::size_t lines = 1;
        const std::string* text = &entry.line;
        if (entry.output->joins_lines()) {
            while (end < batch.size() && batch[end].kind == LINE && batch[end].output == entry.output &&
                   joined.size() + batch[end].line.size() < 65536) {
                if (end == i + 1)
                    joined = entry.line;
                joined += batch[end].line;
                ++end;
                ++lines;
            }
            if (lines > 1)
                text = &joined;
        }
        if (!entry.output->write(*text, entry.level))
            failed += lines;
        joined.clear();
        i = end;
    }
}

void cf_log_writer_t::post(const cf_log_output_ptr& output, std::string line, int level)
{
    state_t& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.started)
        s.start_locked();
    if (s.queued_bytes + cost(line) > LOG_QUEUE_BYTES) {
        ++s.dropped;
        return;
    }
    if (s.dropped != 0) {
        s.queue.push_back(state_t::entry_t{output, std::string(), LOG_WARNING_LEVEL, state_t::DROPPED, s.dropped});
        s.dropped = 0;
    }
    s.queued_bytes += cost(line);
    s.queue.push_back(state_t::entry_t{output, std::move(line), level, state_t::LINE, 0});
    if (s.waiting)
        s.work.notify_one();
}

void cf_log_writer_t::post_close(const cf_log_output_ptr& output)
{
    state_t& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.started)
        s.start_locked();
    s.queue.push_back(state_t::entry_t{output, std::string(), 0, state_t::CLOSE, 0});
    if (s.waiting)
        s.work.notify_one();
}

bool cf_log_writer_t::flush(std::chrono::milliseconds timeout)
{
    state_t& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.started)
        return s.queue.empty();
    // Lines queued now are written in the batch after the one in hand.
    const std::uint64_t target = s.queue.empty() ? s.taken : s.taken + 1;
    return s.idle.wait_for(lock, timeout, [&] { return s.done >= target; });
}
