#include "log/log_writer.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.hpp"
#include "log/log_texts.hpp"

namespace {

typedef std::chrono::steady_clock clock_type;

std::int64_t now_ns()
{
    return cf_log_output_t::steady_ns();
}

} // namespace

struct cf_log_writer_t::source_t
{
    source_t(const cf_log_output_ptr& o, const std::shared_ptr<lane_t>& l)
        : output(o)
        , lane(l)
    {}

    const cf_log_output_ptr output;
    const std::shared_ptr<lane_t> lane;
    // When a write for the source stops waiting; no end while its sink is
    // in use. Read by the lane's thread while it waits.
    cf_log_output_t::give_up_t give_up{cf_log_output_t::LOG_WAIT_FOREVER};
    // The rest is guarded by the state's mutex.
    bool retired = false;
    // In the state's list of replaced sources whose lines wait.
    bool expiring = false;
    // Its lines in the queue, and the bytes they count against the bound.
    std::size_t queued = 0;
    std::size_t queued_bytes = 0;
};

struct cf_log_writer_t::lane_t
{
    enum kind_t { LINE, DROPPED, CLOSE };

    struct entry_t
    {
        source_ptr source;
        std::string line;
        int level;
        kind_t kind;
        // DROPPED: the count reported.
        std::uint64_t count;
        // Numbers the lane's entries in order, for flush.
        std::uint64_t seq;
    };

    explicit lane_t(const std::string& d)
        : destination(d)
    {}

    const std::string destination;
    // Everything below is guarded by the state's mutex, except `torn` and
    // `failed`, which only the lane's thread touches.
    std::deque<entry_t> queue;
    std::condition_variable work;
    bool started = false;
    bool waiting = false; // the thread sleeps on `work`
    // The unit taken from the queue and being written: its source and the
    // number of its first entry.
    source_ptr in_hand;
    std::uint64_t in_hand_seq = 0;
    std::uint64_t posted = 0;
    // Sources attached and not retired.
    std::size_t sources = 0;
    // The destination ends inside a line.
    bool torn = false;
    // Lines whose write failed, reported before the lane's next line.
    std::uint64_t failed = 0;
};

struct cf_log_writer_t::state_t
{
    typedef lane_t::entry_t entry_t;

    // Guards everything below and the lanes. Never held while a line is
    // written.
    std::mutex mutex;
    // flush waits here for the lanes.
    std::condition_variable idle;
    std::map<std::string, std::shared_ptr<lane_t>> lanes;
    // Bytes queued in all lanes.
    std::size_t queued_bytes = 0;
    // Lines lost since the last report (no room, a replaced sink's lines
    // given up), reported before the next line queued for a sink in use.
    std::uint64_t dropped = 0;
    // Replaced sources with lines queued, in the order they were replaced,
    // so the first gives up first.
    std::deque<source_ptr> expiring;

    void start_locked(const std::shared_ptr<lane_t>& lane);
    void run(const std::shared_ptr<lane_t>& lane);
    void write_unit(lane_t& lane, std::vector<entry_t>& unit);
    // Drops the queued lines of a source, counting them; the entries go to
    // `doomed`, to be released off the lock.
    void drop_source_locked(source_t& source, std::vector<entry_t>& doomed);
    // Drops the lines of replaced sources whose time is up.
    void expire_locked(std::int64_t now, std::vector<entry_t>& doomed);
    // Makes room for `needed` bytes with the lines of replaced sources.
    void evict_locked(std::size_t needed, std::vector<entry_t>& doomed);
    void push_locked(lane_t& lane, entry_t entry);
    bool settled_locked(const lane_t& lane, std::uint64_t target, std::int64_t now) const;
};

namespace {

cf_log_writer_t::state_t* writer_state = nullptr;

// Bytes an entry counts against the bound: its line and its bookkeeping.
std::size_t cost(const std::string& line)
{
    return line.size() + 64;
}

// Lines of one output in a row go out in one write up to this size.
constexpr std::size_t JOINED_BYTES = 65536;

void before_fork()
{
    writer_state->mutex.lock();
}

void after_fork_in_parent()
{
    writer_state->mutex.unlock();
}

// The child has no writer threads: it starts them at its first lines.
// Lines the parent queued are its own to write; the child forgets them.
void after_fork_in_child()
{
    cf_log_writer_t::state_t& state = *writer_state;
    state.mutex.unlock();
    // Threads of the parent may have waited on these; in the child nobody
    // does.
    new (&state.idle) std::condition_variable;
    for (auto it = state.lanes.begin(); it != state.lanes.end();) {
        cf_log_writer_t::lane_t& lane = *it->second;
        new (&lane.work) std::condition_variable;
        lane.queue.clear();
        lane.started = false;
        lane.waiting = false;
        lane.in_hand.reset();
        lane.failed = 0;
        if (lane.sources == 0)
            it = state.lanes.erase(it);
        else
            ++it;
    }
    for (const cf_log_writer_t::source_ptr& source : state.expiring) {
        source->expiring = false;
        source->queued = 0;
        source->queued_bytes = 0;
    }
    state.expiring.clear();
    state.queued_bytes = 0;
    state.dropped = 0;
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

void cf_log_writer_t::state_t::start_locked(const std::shared_ptr<lane_t>& lane)
{
    // The writers take no signal: they belong to the main thread's loop,
    // and a write interrupted on these threads would serve nobody.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    try {
        std::thread(&state_t::run, this, lane).detach();
        lane->started = true;
    } catch (const std::exception&) {
        // Tried again at the next line; meanwhile lines wait in the queue.
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void cf_log_writer_t::state_t::drop_source_locked(source_t& source, std::vector<entry_t>& doomed)
{
    source.expiring = false;
    if (source.queued == 0)
        return;
    std::deque<entry_t>& queue = source.lane->queue;
    auto drop = [&](entry_t& entry) {
        dropped += entry.kind == lane_t::LINE ? 1 : entry.count;
        if (entry.kind == lane_t::LINE) {
            const std::size_t c = cost(entry.line);
            queued_bytes -= c;
            source.queued_bytes -= c;
            --source.queued;
        }
        doomed.push_back(std::move(entry));
    };
    // A replaced sink's lines come before those of the sinks after it: they
    // are usually all at the front.
    while (source.queued != 0 && !queue.empty() && queue.front().source.get() == &source &&
           queue.front().kind != lane_t::CLOSE) {
        drop(queue.front());
        queue.pop_front();
    }
    if (source.queued == 0)
        return;
    std::deque<entry_t> kept;
    for (entry_t& entry : queue) {
        if (entry.source.get() != &source || entry.kind == lane_t::CLOSE)
            kept.push_back(std::move(entry));
        else
            drop(entry);
    }
    queue.swap(kept);
}

void cf_log_writer_t::state_t::expire_locked(std::int64_t now, std::vector<entry_t>& doomed)
{
    while (!expiring.empty() && expiring.front()->give_up.load(std::memory_order_relaxed) <= now) {
        source_ptr source = std::move(expiring.front());
        expiring.pop_front();
        drop_source_locked(*source, doomed);
        // Its reference goes with the dropped entries, off the lock.
        doomed.push_back(entry_t{std::move(source), std::string(), 0, lane_t::CLOSE, 0, 0});
    }
}

void cf_log_writer_t::state_t::evict_locked(std::size_t needed, std::vector<entry_t>& doomed)
{
    while (queued_bytes + needed > LOG_QUEUE_BYTES && !expiring.empty()) {
        source_ptr source = std::move(expiring.front());
        expiring.pop_front();
        drop_source_locked(*source, doomed);
        doomed.push_back(entry_t{std::move(source), std::string(), 0, lane_t::CLOSE, 0, 0});
    }
}

void cf_log_writer_t::state_t::push_locked(lane_t& lane, entry_t entry)
{
    entry.seq = ++lane.posted;
    lane.queue.push_back(std::move(entry));
    if (lane.waiting)
        lane.work.notify_one();
}

bool cf_log_writer_t::state_t::settled_locked(const lane_t& lane, std::uint64_t target, std::int64_t now) const
{
    if (!lane.queue.empty() && lane.queue.front().seq <= target)
        return false;
    return !lane.in_hand || lane.in_hand_seq > target ||
           (lane.in_hand->retired && lane.in_hand->give_up.load(std::memory_order_relaxed) <= now);
}

void cf_log_writer_t::state_t::run(const std::shared_ptr<lane_t>& lane_ptr)
{
    lane_t& lane = *lane_ptr;
    std::vector<entry_t> unit;
    std::vector<entry_t> doomed;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        // The last reference to a replaced sink's output may go here, under
        // the lock: closing a descriptor or freeing an ident takes no lock.
        lane.in_hand.reset();
        idle.notify_all();
        if (!expiring.empty())
            expire_locked(now_ns(), doomed);
        while (lane.queue.empty()) {
            if (lane.sources == 0) {
                // Every sink of the destination is gone and its lines are
                // out: the lane ends; failures it could not report go to the
                // sink in use.
                dropped += lane.failed;
                lane.started = false;
                auto it = lanes.find(lane.destination);
                if (it != lanes.end() && it->second == lane_ptr)
                    lanes.erase(it);
                idle.notify_all();
                lock.unlock();
                doomed.clear();
                return;
            }
            if (!doomed.empty()) {
                lock.unlock();
                doomed.clear();
                lock.lock();
                continue;
            }
            lane.waiting = true;
            lane.work.wait(lock);
            lane.waiting = false;
            if (!expiring.empty())
                expire_locked(now_ns(), doomed);
        }
        // The next unit: one entry, or lines of one output in a row that go
        // out in one write.
        lane.in_hand = lane.queue.front().source;
        source_t* const source = lane.in_hand.get();
        lane.in_hand_seq = lane.queue.front().seq;
        const bool joins = lane.queue.front().kind == lane_t::LINE && source->output->joins_lines();
        std::size_t bytes = 0;
        do {
            entry_t& entry = lane.queue.front();
            if (entry.kind == lane_t::LINE) {
                const std::size_t c = cost(entry.line);
                queued_bytes -= c;
                source->queued_bytes -= c;
                --source->queued;
                bytes += entry.line.size();
            }
            unit.push_back(std::move(entry));
            lane.queue.pop_front();
        } while (joins && !lane.queue.empty() && lane.queue.front().kind == lane_t::LINE &&
                 lane.queue.front().source.get() == source && bytes + lane.queue.front().line.size() < JOINED_BYTES);
        // A replaced source with nothing more queued needs no time limit:
        // the list must not keep its output (an open log file) alive.
        if (source->expiring && source->queued == 0) {
            source->expiring = false;
            expiring.erase(std::find(expiring.begin(), expiring.end(), lane.in_hand));
        }
        // A replaced source whose time is up has its lines dropped, not
        // written; a close is always carried out.
        const bool given_up =
            source->retired && unit.front().kind != lane_t::CLOSE && source->give_up.load() <= now_ns();
        if (given_up) {
            for (const entry_t& entry : unit)
                dropped += entry.kind == lane_t::LINE ? 1 : entry.count;
        }
        lock.unlock();
        doomed.clear();
        if (!given_up)
            write_unit(lane, unit);
        // Released here, off the lock: the last reference to an output (an
        // owned log file) may go with its last line.
        unit.clear();
        lock.lock();
    }
}

void cf_log_writer_t::state_t::write_unit(lane_t& lane, std::vector<entry_t>& unit)
{
    entry_t& first = unit.front();
    cf_log_output_t& output = *first.source->output;
    const cf_log_output_t::give_up_t& give_up = first.source->give_up;
    if (first.kind == lane_t::CLOSE) {
        output.close();
        return;
    }
    const std::uint64_t reported = first.kind == lane_t::DROPPED ? first.count : 0;
    if (reported + lane.failed != 0) {
        const std::string report =
            output.line(LOG_WARNING_LEVEL, std::to_string(reported + lane.failed) + CF_TEXT_DROPPED_SUFFIX);
        if (output.write(report, LOG_WARNING_LEVEL, lane.torn, give_up) == report.size())
            lane.failed = 0;
        else
            lane.failed += reported;
    }
    if (first.kind == lane_t::DROPPED)
        return;
    std::string joined;
    const std::string* text = &first.line;
    if (unit.size() > 1) {
        for (const entry_t& entry : unit)
            joined += entry.line;
        text = &joined;
    }
    const std::size_t written = output.write(*text, first.level, lane.torn, give_up);
    if (written == text->size())
        return;
    // Every line not written whole is lost: the one cut short among them.
    const std::uint64_t lost =
        output.joins_lines() ? static_cast<std::uint64_t>(std::count(text->begin() + written, text->end(), '\n')) : 1;
    // A replaced sink's lines are reported by the sink in use.
    std::lock_guard<std::mutex> lock(mutex);
    if (first.source->retired)
        dropped += lost;
    else
        lane.failed += lost;
}

cf_log_writer_t::source_ptr cf_log_writer_t::attach(const cf_log_output_ptr& output)
{
    const std::string destination = output->destination();
    const bool torn = output->starts_torn();
    state_t& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::shared_ptr<lane_t>& lane = s.lanes[destination];
    if (!lane)
        lane = std::make_shared<lane_t>(destination);
    ++lane->sources;
    // The lane's thread may be writing; it reads the flag next time.
    if (torn && !lane->started)
        lane->torn = true;
    return std::make_shared<source_t>(output, lane);
}

void cf_log_writer_t::post(const source_ptr& source, std::string line, int level)
{
    std::vector<state_t::entry_t> doomed;
    state_t& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    lane_t& lane = *source->lane;
    if (!lane.started)
        s.start_locked(source->lane);
    if (!s.expiring.empty() || source->retired) {
        const std::int64_t now = now_ns();
        s.expire_locked(now, doomed);
        if (source->retired && source->give_up.load(std::memory_order_relaxed) <= now) {
            ++s.dropped;
            return;
        }
    }
    const std::size_t c = cost(line);
    if (s.queued_bytes + c > LOG_QUEUE_BYTES && !source->retired)
        s.evict_locked(c, doomed);
    if (s.queued_bytes + c > LOG_QUEUE_BYTES) {
        ++s.dropped;
        return;
    }
    if (s.dropped != 0 && !source->retired) {
        s.push_locked(lane, state_t::entry_t{source, std::string(), LOG_WARNING_LEVEL, lane_t::DROPPED, s.dropped, 0});
        s.dropped = 0;
    }
    s.queued_bytes += c;
    ++source->queued;
    source->queued_bytes += c;
    if (source->retired && !source->expiring) {
        source->expiring = true;
        s.expiring.push_back(source);
    }
    s.push_locked(lane, state_t::entry_t{source, std::move(line), level, lane_t::LINE, 0, 0});
}

void cf_log_writer_t::post_close(const source_ptr& source)
{
    state_t& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    lane_t& lane = *source->lane;
    if (!lane.started)
        s.start_locked(source->lane);
    s.push_locked(lane, state_t::entry_t{source, std::string(), 0, lane_t::CLOSE, 0, 0});
}

void cf_log_writer_t::retire(const source_ptr& source)
{
    state_t& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (source->retired)
        return;
    source->retired = true;
    source->give_up.store(now_ns() + std::chrono::nanoseconds(LOG_REPLACED_DRAIN).count());
    lane_t& lane = *source->lane;
    --lane.sources;
    if (source->queued != 0 && !source->expiring) {
        source->expiring = true;
        s.expiring.push_back(source);
    }
    if (lane.sources == 0 && !lane.started && lane.queue.empty()) {
        auto it = s.lanes.find(lane.destination);
        if (it != s.lanes.end() && it->second == source->lane)
            s.lanes.erase(it);
    }
    // A lane whose sinks are all gone ends once its lines are out.
    if (lane.waiting)
        lane.work.notify_one();
}

bool cf_log_writer_t::flush(std::chrono::milliseconds timeout)
{
    std::vector<state_t::entry_t> doomed;
    state_t& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    const std::int64_t end = now_ns() + std::chrono::nanoseconds(timeout).count();
    // Lines queued from now on are not waited for.
    std::vector<std::pair<std::shared_ptr<lane_t>, std::uint64_t>> targets;
    for (const auto& lane : s.lanes)
        targets.emplace_back(lane.second, lane.second->posted);
    for (;;) {
        const std::int64_t now = now_ns();
        if (!s.expiring.empty())
            s.expire_locked(now, doomed);
        bool settled = true;
        // A replaced source's write in hand gives up at its time.
        std::int64_t wake = end;
        for (const auto& target : targets) {
            const lane_t& lane = *target.first;
            if (s.settled_locked(lane, target.second, now))
                continue;
            settled = false;
            if (lane.in_hand && lane.in_hand->retired)
                wake = std::min(wake, lane.in_hand->give_up.load(std::memory_order_relaxed));
        }
        if (settled || now >= end) {
            lock.unlock();
            doomed.clear();
            return settled;
        }
        if (!s.expiring.empty())
            wake = std::min(wake, s.expiring.front()->give_up.load(std::memory_order_relaxed));
        const std::chrono::nanoseconds until(std::max(wake, now + 1000000));
        s.idle.wait_until(lock, clock_type::time_point(std::chrono::duration_cast<clock_type::duration>(until)));
    }
}
