#include "monitor/handoff.hpp"

#include "monitor/event_queue.hpp"

void ts_handoff_t::read_events(boost::asio::io_service& loop, const boost::shared_ptr<ts_event_queue_t>& queue,
                               std::vector<ts_event_t>&& events)
{
    // The handler owns a share of the queue, which is its liveness guard:
    // events a loop has read reach a live queue even when the file monitor
    // let it go in the meantime.
    if (!queue->deposit(std::move(events)))
        return;
    try {
        loop.post([queue]() { queue->push_deposited(); });
    } catch (...) {
        // What was deposited stays, for the wake of the next read.
        queue->wake_not_posted();
        throw;
    }
}
