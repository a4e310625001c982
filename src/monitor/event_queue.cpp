#include "monitor/event_queue.hpp"
#include "core/main_thread.hpp"

#include <sstream>

#include <boost/make_shared.hpp>

#include "log/log.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"

ts_event_queue_t::ts_event_queue_t(std::size_t max_paths_, std::size_t max_path_bytes_)
    : max_paths(max_paths_), max_path_bytes(max_path_bytes_), path_filter(new ScanSet)
{
}

// Out of line: the filters' types are complete only here.
ts_event_queue_t::~ts_event_queue_t() {}

void ts_event_queue_t::push(const ts_event_t& event)
{
    NT_ASSERT_MAIN_THREAD();
    boost::mutex::scoped_lock lock(mutex);

    if (process_filter && !process_filter->is_allowed(event.pid))
        return;
    // A path that is not absolute can only come from a faulty producer; it
    // must not end the daemon, so it is dropped here before the path filter,
    // which would throw on it.
    const std::string* path = event.path.get();
    if (!path || !ScanSet::is_absolute(*path)) {
        NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_NOT_ABSOLUTE_DROPPED, (path ? *path : std::string()));
        return;
    }
    if (path_filter->state(*path) != ScanSet::INCLUDED)
        return;

    // A path already waiting keeps its place and its first pid. Below the
    // bound this is the one hash lookup of the push; at the bound only a
    // path not yet waiting is dropped.
    if (events.size() < max_paths && bytes + path->size() <= max_path_bytes) {
        if (events.get<by_order>().push_back(event).second)
            bytes += path->size();
    } else if (events.get<by_path>().find(*path) == events.get<by_path>().end()) {
        drop_one();
    }

    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_ACCESS_PID << event.pid << TS_TEXT_ACCESS_ON << *path);
    pushed();
}

void ts_event_queue_t::pop(std::deque<std::string>& out, std::size_t limit)
{
    NT_ASSERT_MAIN_THREAD();
    auto& fifo = events.get<by_order>();
    // limit n takes n + 1 paths; the test against the size also keeps
    // limit + 1 from wrapping around.
    std::size_t count = fifo.size();
    if (limit != 0 && limit < count)
        count = limit + 1;
    for (; count != 0; --count) {
        bytes -= fifo.front().path->size();
        out.push_back(*fifo.front().path);
        fifo.pop_front();
    }
    // Dropping ends with room for a good share of the bound again, not at
    // the first free place: a flow that can barely keep up would otherwise
    // start and end it with every batch.
    if (dropping && events.size() <= max_paths / 2 && bytes <= max_path_bytes / 2) {
        NT_LOG(LOG_WARNING_LEVEL, TS_TEXT_QUEUE_DROPPED << dropped_count);
        dropping = false;
        dropped_count = 0;
    }
}

void ts_event_queue_t::drop_one()
{
    ++dropped_count;
    if (dropping)
        return;
    dropping = true;
    NT_LOG(LOG_WARNING_LEVEL, TS_TEXT_QUEUE_FULL << max_paths << TS_TEXT_QUEUE_BOUND_PATHS << max_path_bytes << TS_TEXT_QUEUE_BOUND_BYTES);
}

void ts_event_queue_t::restore_front(const std::deque<std::string>& paths)
{
    NT_ASSERT_MAIN_THREAD();
    auto& fifo = events.get<by_order>();
    // Placing each path at the front from the last to the first restores
    // their order; a path that is waiting (or named twice) moves instead, so
    // it ends at the place of its first mention.
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        auto found = events.get<by_path>().find(*it);
        if (found != events.get<by_path>().end())
            fifo.relocate(fifo.begin(), events.project<by_order>(found));
        else if (fifo.push_front(ts_event_t{boost::make_shared<std::string>(*it), 0}).second)
            bytes += it->size();
    }
}

bool ts_event_queue_t::empty() const
{
    return events.empty();
}

std::size_t ts_event_queue_t::size() const
{
    return events.size();
}

void ts_event_queue_t::set_path_filter(ScanSet* filter)
{
    NT_ASSERT_MAIN_THREAD();
    std::unique_ptr<ScanSet> replacement(filter ? filter : new ScanSet);
    boost::mutex::scoped_lock lock(mutex);
    path_filter.swap(replacement);
    // The old filter goes while the mutex is held.
    replacement.reset();
}

void ts_event_queue_t::set_process_filter(ts_proc_filter_t* filter)
{
    NT_ASSERT_MAIN_THREAD();
    std::unique_ptr<ts_proc_filter_t> replacement(filter);
    boost::mutex::scoped_lock lock(mutex);
    process_filter.swap(replacement);
    replacement.reset();
}
