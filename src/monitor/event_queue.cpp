#include "monitor/event_queue.hpp"
#include "util/main_thread.hpp"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <limits>
#include <new>
#include <sstream>

#include "log/log.hpp"
#include "monitor/monitor_texts.hpp"
#include "monitor/proc_filter.hpp"
#include "monitor/scan_set.hpp"

ts_event_queue_t::ts_event_queue_t(std::size_t path_bound, std::size_t byte_bound)
    // A block records a length of 32 bits: no single path comes near it, and
    // the byte bound keeps every one below it.
    : max_paths_(path_bound)
    , max_path_bytes_(std::min<std::size_t>(byte_bound, std::numeric_limits<std::uint32_t>::max()))
    , path_filter_(new ScanSet)
{}

// Out of line: the filters' types are complete only here.
ts_event_queue_t::~ts_event_queue_t()
{
    for (const entry_t& entry : events_)
        std::free(entry.block);
}

char* ts_event_queue_t::make_block(boost::string_view text)
{
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    char* block = static_cast<char*>(std::malloc(sizeof length + text.size()));
    if (!block)
        throw std::bad_alloc();
    std::memcpy(block, &length, sizeof length);
    std::memcpy(block + sizeof length, text.data(), text.size());
    return block;
}

bool ts_event_queue_t::append(boost::string_view text, bool at_front)
{
    char* block = make_block(text);
    bool added = false;
    try {
        auto& fifo = events_.get<by_order>();
        const entry_t entry{block};
        added = (at_front ? fifo.push_front(entry) : fifo.push_back(entry)).second;
    } catch (...) {
        std::free(block);
        throw;
    }
    if (!added) {
        std::free(block);
        return false;
    }
    bytes_ += text.size();
    return true;
}

void ts_event_queue_t::push(const ts_event_t& event)
{
    NT_ASSERT_MAIN_THREAD();
    boost::mutex::scoped_lock lock(mutex_);
    if (admit(event))
        pushed();
}

void ts_event_queue_t::push(const std::vector<ts_event_t>& batch)
{
    NT_ASSERT_MAIN_THREAD();
    boost::mutex::scoped_lock lock(mutex_);
    bool any = false;
    for (const ts_event_t& event : batch)
        any |= admit(event);
    if (any)
        pushed();
}

bool ts_event_queue_t::admit(const ts_event_t& event)
{
    if (process_filter_ && !process_filter_->is_allowed(event.pid))
        return false;
    // A path that is not absolute can only come from a faulty producer; it
    // must not end the daemon, so it is dropped here before the path filter,
    // which would throw on it.
    const std::string* path = event.path.get();
    if (!path || !ScanSet::is_absolute(*path)) {
        NT_LOG_EVENT(LOG_WARNING_LEVEL, TS_TEXT_NOT_ABSOLUTE_DROPPED, (path ? *path : std::string()));
        return false;
    }
    if (path_filter_->state(*path) != ScanSet::INCLUDED)
        return false;

    // A path already waiting keeps its place. Below the bound the insertion
    // is the one hash lookup of the push; at the bound only a path not yet
    // waiting is dropped.
    const boost::string_view text(*path);
    if (events_.size() < max_paths_ && bytes_ + text.size() <= max_path_bytes_)
        append(text, false);
    else if (events_.get<by_path>().find(text) == events_.get<by_path>().end())
        drop_one();

    NT_LOG(LOG_DEBUG_LEVEL, TS_TEXT_ACCESS_PID << event.pid << TS_TEXT_ACCESS_ON << *path);
    return true;
}

void ts_event_queue_t::pop(std::deque<std::string>& out, std::size_t limit)
{
    NT_ASSERT_MAIN_THREAD();
    auto& fifo = events_.get<by_order>();
    // limit n takes n + 1 paths; the test against the size also keeps
    // limit + 1 from wrapping around.
    std::size_t count = fifo.size();
    if (limit != 0 && limit < count)
        count = limit + 1;
    for (; count != 0; --count) {
        const entry_t front = fifo.front();
        const boost::string_view text = front.text();
        out.emplace_back(text.data(), text.size());
        bytes_ -= text.size();
        fifo.pop_front();
        std::free(front.block);
    }
    // Dropping ends with room for a good share of the bound again, not at
    // the first free place: a flow that can barely keep up would otherwise
    // start and end it with every batch.
    if (dropping_ && events_.size() <= max_paths_ / 2 && bytes_ <= max_path_bytes_ / 2) {
        NT_LOG(LOG_WARNING_LEVEL, TS_TEXT_QUEUE_DROPPED << dropped_count_);
        dropping_ = false;
        dropped_count_ = 0;
    }
}

void ts_event_queue_t::drop_one()
{
    ++dropped_count_;
    if (dropping_)
        return;
    dropping_ = true;
    NT_LOG(LOG_WARNING_LEVEL, TS_TEXT_QUEUE_FULL << max_paths_ << TS_TEXT_QUEUE_BOUND_PATHS << max_path_bytes_
                                                 << TS_TEXT_QUEUE_BOUND_BYTES);
}

void ts_event_queue_t::restore_front(const std::deque<std::string>& paths)
{
    NT_ASSERT_MAIN_THREAD();
    auto& fifo = events_.get<by_order>();
    auto& by_text = events_.get<by_path>();
    // Placing each path at the front from the last to the first restores
    // their order; a path that is waiting (or named twice) moves instead, so
    // it ends at the place of its first mention.
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        const boost::string_view text(*it);
        auto found = by_text.find(text);
        if (found != by_text.end())
            fifo.relocate(fifo.begin(), events_.project<by_order>(found));
        else
            append(text, true);
    }
}

bool ts_event_queue_t::empty() const
{
    return events_.empty();
}

std::size_t ts_event_queue_t::size() const
{
    return events_.size();
}

void ts_event_queue_t::set_path_filter(ScanSet* filter)
{
    NT_ASSERT_MAIN_THREAD();
    std::unique_ptr<ScanSet> replacement(filter ? filter : new ScanSet);
    boost::mutex::scoped_lock lock(mutex_);
    path_filter_.swap(replacement);
    // The old filter goes while the mutex is held.
    replacement.reset();
}

void ts_event_queue_t::set_process_filter(ts_proc_filter_t* filter)
{
    NT_ASSERT_MAIN_THREAD();
    std::unique_ptr<ts_proc_filter_t> replacement(filter);
    boost::mutex::scoped_lock lock(mutex_);
    process_filter_.swap(replacement);
    replacement.reset();
}
