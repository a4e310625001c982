// What the file monitor sees of an interceptor: the component that receives
// file-access events from the kernel and feeds them into the event queue.
#pragma once

#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

class ts_event_queue_t;

// Results of ts_interceptor_if::kind.
enum ts_interceptor_kind_t { TS_KIND_LKM = 0, TS_KIND_FANOTIFY = 1 };

class ts_interceptor_if
{
public:
    // Body of the interceptor thread. Reads kernel events until stop is seen
    // and hands every event it accepts, as a ts_event_t in event order, to
    // the queue through a hand-over of its own (ts_event_handoff_t) on the
    // main event loop it was constructed with; the hand-over holds the queue
    // by shared ownership. Returns soon after stop, without waiting for the
    // next kernel event.
    virtual void run(boost::shared_ptr<ts_event_queue_t> queue) = 0;
    // Asks run to return and wakes it; returns at once. Main thread, while
    // run executes on the interceptor thread. Never throws.
    virtual void stop() = 0;
    // TS_KIND_FANOTIFY or TS_KIND_LKM.
    virtual int kind() const = 0;
    // Starts monitoring the mount point dir: true when it is monitored
    // afterwards, false when the kernel side refused it. Main thread.
    virtual bool add_path(std::string dir) = 0;
    // Stops monitoring the mount point dir: true on success, false when the
    // kernel side reported a failure. Main thread.
    virtual bool remove_path(std::string dir) = 0;
    // Releases the interceptor's kernel resources; runs on whichever thread
    // drops the last reference, never while run executes.
    virtual ~ts_interceptor_if() {}

protected:
    // Offers every mount point to add_path in list order, with a Debug line
    // for each, accepted or not: what each interceptor's constructor does
    // with the factory's list. Throws what add_path throws.
    void offer_mount_points(const std::vector<std::string>& mount_points);
};

typedef boost::shared_ptr<ts_interceptor_if> ts_interceptor_ptr;
