#include "monitor/event_queue.hpp"

#include <sstream>

#include <boost/make_shared.hpp>

#include "log/log.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"

const char* const TS_TEXT_NOT_ABSOLUTE_DROPPED = "Dropped a path that is not absolute: ";

namespace {
const char* const TEXT_ACCESS_PID = "PID: ";
const char* const TEXT_ACCESS_ON = " Access on: ";
} // namespace

ts_event_queue_t::ts_event_queue_t() : path_filter(new ScanSet) {}

// Out of line: the filters' types are complete only here.
ts_event_queue_t::~ts_event_queue_t() {}

void ts_event_queue_t::push(const ts_event_t& event)
{
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

    // A path already waiting keeps its place and its first pid.
    events.get<by_order>().push_back(event);

    NT_LOG(LOG_DEBUG_LEVEL, TEXT_ACCESS_PID << event.pid << TEXT_ACCESS_ON << *path);
    pushed();
}

void ts_event_queue_t::pop(std::deque<std::string>& out, std::size_t limit)
{
    auto& fifo = events.get<by_order>();
    // limit n takes n + 1 paths; the test against the size also keeps
    // limit + 1 from wrapping around.
    std::size_t count = fifo.size();
    if (limit != 0 && limit < count)
        count = limit + 1;
    for (; count != 0; --count) {
        out.push_back(*fifo.front().path);
        fifo.pop_front();
    }
}

void ts_event_queue_t::restore_front(const std::deque<std::string>& paths)
{
    auto& fifo = events.get<by_order>();
    // Placing each path at the front from the last to the first restores
    // their order; a path that is waiting (or named twice) moves instead, so
    // it ends at the place of its first mention.
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        auto found = events.get<by_path>().find(*it);
        if (found != events.get<by_path>().end())
            fifo.relocate(fifo.begin(), events.project<by_order>(found));
        else
            fifo.push_front(ts_event_t{boost::make_shared<std::string>(*it), 0});
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
    std::unique_ptr<ScanSet> replacement(filter ? filter : new ScanSet);
    boost::mutex::scoped_lock lock(mutex);
    path_filter.swap(replacement);
    // The old filter goes while the mutex is held.
    replacement.reset();
}

void ts_event_queue_t::set_process_filter(ts_proc_filter_t* filter)
{
    std::unique_ptr<ts_proc_filter_t> replacement(filter);
    boost::mutex::scoped_lock lock(mutex);
    process_filter.swap(replacement);
    replacement.reset();
}
