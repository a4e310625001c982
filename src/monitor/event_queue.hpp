// The first-in first-out set of waiting paths between the interceptors
// (through their hand-overs, monitor/event_handoff.hpp) and the file monitor, which
// takes them in batches for Kestrum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <boost/multi_index/hashed_index.hpp>
#include <boost/multi_index/mem_fun.hpp>
#include <boost/multi_index/sequenced_index.hpp>
#include <boost/multi_index_container.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/utility/string_view.hpp>
// GCC 12 with the sanitizers reports a false maybe-uninitialized inside
// signals2's connect (a boost::optional group key); the header is clean.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <boost/signals2/signal.hpp>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#include <boost/thread/mutex.hpp>

#include "monitor/event.hpp"

class ScanSet;
class ts_proc_filter_t;

// Bound on the waiting set, whichever comes first: while the flow stays
// closed and distinct paths keep coming, memory stays bounded (about 100
// bytes per waiting path beyond its text).
constexpr std::size_t TS_QUEUE_MAX_PATHS = 1000000;
constexpr std::size_t TS_QUEUE_MAX_PATH_BYTES = 256u * 1024u * 1024u;

// Main thread only: the interceptors' events reach it through their
// hand-over (monitor/event_handoff.hpp), never directly. push and the filter
// setters take the queue's mutex; pop, restore_front, empty and size take
// none, because the slot of `pushed` calls pop while push holds the
// (non-recursive) mutex.
class ts_event_queue_t : boost::noncopyable
{
public:
    // Fired by push for every event that passed both filters, also for a
    // path that was already waiting, and once by the pushes of several
    // events when any of them passed; fired while the mutex is held, so no
    // slot may call push or a setter.
    boost::signals2::signal<void()> pushed;

    // Empty; the path filter is an empty ScanSet (forwards nothing) and there
    // is no process filter (no process excluded) until one is installed.
    // The bound is TS_QUEUE_MAX_PATHS and TS_QUEUE_MAX_PATH_BYTES but in tests.
    explicit ts_event_queue_t(std::size_t path_bound = TS_QUEUE_MAX_PATHS,
                              std::size_t byte_bound = TS_QUEUE_MAX_PATH_BYTES);
    ~ts_event_queue_t();

    // Asks the process filter, then the path filter; a path that passes is
    // appended unless it is already waiting (it then keeps its place), the
    // Debug line "PID: <pid> Access on: <path>" is logged and `pushed` fires.
    // A path that is not absolute is dropped with a Warning line.
    // Throws boost::lock_error when the mutex cannot be locked, and whatever
    // a slot of `pushed` throws (the event then stays queued).
    void push(const ts_event_t& event);

    // Pushes the events in order as push does, under one lock, and fires
    // `pushed` once after the last when any passed the filters: the slot
    // then sends them in one batch instead of one batch per event. Throws as
    // push does; the events before a throw stay queued.
    void push(const std::vector<ts_event_t>& events);

    // A new path that would take the waiting set past its bound (paths or
    // path bytes) is dropped and counted instead: one Warning when dropping
    // starts, one with the number dropped once pop has brought the set down
    // to half the bound. Nothing is dropped below the bound.
    //
    // Appends the oldest waiting path texts to out (not cleared first) and
    // removes them: all of them for limit 0, else limit + 1 of them or all
    // when fewer wait. Throws only std::bad_alloc.
    void pop(std::deque<std::string>& out, std::size_t limit);

    // Puts back paths that pop took but that were never delivered, in their
    // order, ahead of everything waiting. A path that is waiting again keeps
    // one entry, moved to its restored place. No filter, log line or signal;
    // no bound either: these paths were accepted, and there are few of them
    // (what a socket holds). Throws only std::bad_alloc.
    void restore_front(const std::deque<std::string>& paths);

    bool empty() const;
    std::size_t size() const;
    // Bytes of the waiting path texts.
    std::size_t path_bytes() const { return bytes_; }
    // Pushes of new paths dropped at the bound since dropping last started
    // (a path accessed again meanwhile counts again: remembering dropped
    // paths would cost what the bound saves); 0 when not dropping.
    std::size_t dropped() const { return dropped_count_; }

    // Take ownership of the new filter and delete the one they replace, under
    // the mutex. Paths already waiting are not filtered again. A null path
    // filter installs an empty ScanSet; a null process filter excludes no
    // process. Throw boost::lock_error when the mutex cannot be locked (the
    // new filter is then deleted).
    void set_path_filter(ScanSet* filter);
    void set_process_filter(ts_proc_filter_t* filter);

private:
    // One waiting path: its text in a single block of its own (its length,
    // then its bytes), owned by the queue. A block and a node per path are
    // the two allocations a waiting path costs, where a shared string would
    // add a counted control block and a string object: the producer's string
    // is released as soon as its push returns.
    struct entry_t
    {
        char* block;
        boost::string_view text() const
        {
            std::uint32_t length;
            std::memcpy(&length, block, sizeof length);
            return boost::string_view(block + sizeof length, length);
        }
    };
    // A block holding text; throws std::bad_alloc.
    static char* make_block(boost::string_view text);
    struct by_order
    {};
    struct by_path
    {};
    // Hashed as a std::string of the same bytes is (boost::hash_range), by
    // byte-wise equality.
    typedef boost::multi_index_container<
        entry_t, boost::multi_index::indexed_by<
                     boost::multi_index::sequenced<boost::multi_index::tag<by_order>>,
                     boost::multi_index::hashed_unique<
                         boost::multi_index::tag<by_path>,
                         boost::multi_index::const_mem_fun<entry_t, boost::string_view, &entry_t::text>>>>
        events_t;

    // Under the mutex: filters, queues and logs one event; true when it
    // passed both filters.
    bool admit(const ts_event_t& event);
    // Under the mutex: counts one more dropped path.
    void drop_one();
    // Appends the path at the back or front unless it is waiting already;
    // true when it was added. Throws std::bad_alloc (the queue is then
    // unchanged).
    bool append(boost::string_view text, bool at_front);

    // Destroyed in reverse order: process filter, path filter, mutex, the
    // waiting paths (whose blocks the destructor frees first), then the
    // signal with its slots.
    events_t events_;
    std::size_t bytes_ = 0;
    const std::size_t max_paths_;
    const std::size_t max_path_bytes_;
    bool dropping_ = false;
    std::size_t dropped_count_ = 0;
    boost::mutex mutex_;
    std::unique_ptr<ScanSet> path_filter_;
    std::unique_ptr<ts_proc_filter_t> process_filter_;
};

typedef boost::shared_ptr<ts_event_queue_t> ts_event_queue_ptr;
