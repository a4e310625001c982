// The crossing of file accesses from an interceptor's thread into the main
// thread, one object per interceptor run: the interceptor adds the events it
// reads and hands them over; the main thread pushes them into the event
// queue. The other crossings (mount changes, a loop's end) post their work
// through ts_handoff_t::post.
#pragma once

#include <cstddef>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/enable_shared_from_this.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "monitor/event.hpp"

class ts_event_queue_t;

// The paths of one batch: what the file monitor sends to Kestrum in one
// FLOW_DATA_NOTIFICATION, and what an interceptor gathers before it hands
// them over, so that a full hand-over makes a full batch.
constexpr std::size_t TS_BATCH_PATHS = 101;

class ts_event_handoff_t : public boost::enable_shared_from_this<ts_event_handoff_t>, private boost::noncopyable
{
public:
    // For one run of an interceptor reading into queue on the loop. room:
    // the events reserved for gathering, so that adding never allocates
    // between hand-overs. Throws std::bad_alloc.
    static boost::shared_ptr<ts_event_handoff_t> create(boost::asio::io_service& loop,
                                                        const boost::shared_ptr<ts_event_queue_t>& queue,
                                                        std::size_t room = TS_BATCH_PATHS);

    // Interceptor thread: gathers the events of one read, in order, for the
    // next hand-over, and leaves events empty. The first read after a
    // hand-over is taken by a swap, so its events are not moved one by one.
    // Throws std::bad_alloc (events then stays as it was).
    void add(std::vector<ts_event_t>& events);
    // Interceptor thread: a batch's worth is gathered.
    bool full() const { return gathered_.size() >= TS_BATCH_PATHS; }

    // Interceptor thread: hands over what is gathered, in the order added,
    // into the mailbox; the main thread is woken by one post only when no
    // wake is pending, so hand-overs that come while it is busy are pushed
    // together, with one wake and one batch to Kestrum. Nothing gathered
    // hands over nothing. The post holds a share of this object, which
    // holds the queue, so events a loop has read reach a live queue even
    // when the file monitor let it go meanwhile. Throws std::bad_alloc (what
    // reached the mailbox stays there, for the wake of the next flush).
    void flush();

private:
    ts_event_handoff_t(boost::asio::io_service& loop, const boost::shared_ptr<ts_event_queue_t>& queue,
                       std::size_t room);

    // Main thread: pushes everything in the mailbox, with one `pushed`.
    // Events handed over while it runs wait for the next wake. Throws as
    // ts_event_queue_t::push does.
    void push_mailbox();

    boost::asio::io_service& loop_;
    const boost::shared_ptr<ts_event_queue_t> queue_;
    const std::size_t room_;
    // The interceptor thread's alone.
    std::vector<ts_event_t> gathered_;
    // Handed over and not yet pushed, under mutex_.
    boost::mutex mutex_;
    std::vector<ts_event_t> mailbox_;
    bool wake_pending_ = false;
};

typedef boost::shared_ptr<ts_event_handoff_t> ts_event_handoff_ptr;
