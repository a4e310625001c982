// The one way from the interceptor and mounts-watcher threads into the main
// thread: work posted to the main event loop, run there only while its
// receiver is alive (held by the work, or checked through a token). Each crossing has a function of its own named for what
// it hands over; the file monitor's header lists them.
#pragma once

#include <utility>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "monitor/event.hpp"

class ts_event_queue_t;

class ts_handoff_t : private boost::noncopyable
{
public:
    // The events of one read or more, in read order, deposited with the
    // queue; the main thread is woken with a posted handler only when
    // nothing was waiting there, so reads that come while it is busy are
    // pushed together, in read order, with one wake and one batch to
    // Kestrum. The handler holds a share of the queue, so the queue it
    // pushes into is always alive. Any thread. Throws std::bad_alloc.
    static void read_events(boost::asio::io_service& loop, const boost::shared_ptr<ts_event_queue_t>& queue,
                            std::vector<ts_event_t>&& events);

    // The liveness guard every crossing goes through: work runs on the main
    // thread only if guard has not expired by then, and the guard's object
    // is held for the length of the work. Any thread. Throws std::bad_alloc.
    template <typename Work>
    static void post(boost::asio::io_service& loop, const boost::weak_ptr<void>& guard, Work&& work)
    {
        loop.post([guard, work = std::forward<Work>(work)]() mutable {
            if (const boost::shared_ptr<void> alive = guard.lock())
                work();
        });
    }

private:
    ts_handoff_t() = delete;
};
