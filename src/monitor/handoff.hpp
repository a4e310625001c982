// How the mounts-watcher and interceptor threads hand work other than file
// accesses to the main thread (a mount change, a watcher error, a loop's
// end): work posted to the main event loop, run there only while its
// receiver is alive. File accesses cross through their own object,
// ts_event_handoff_t (monitor/event_handoff.hpp); the file monitor's header
// lists every crossing.
#pragma once

#include <utility>

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/weak_ptr.hpp>

class ts_handoff_t : private boost::noncopyable
{
public:
    // The liveness guard of these crossings: work runs on the main thread
    // only if guard has not expired by then, and the guard's object is held
    // for the length of the work. Any thread. Throws std::bad_alloc.
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
