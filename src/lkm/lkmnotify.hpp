// The interceptor that takes file-access events from the kernel module: it
// registers mount points through the control device and reads EVENT_PATH
// packets from the monitor device on the interceptor thread.
#pragma once

#include <atomic>
#include <boost/thread/mutex.hpp>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/noncopyable.hpp>

#include "lkm/chardev.hpp"
#include "lkm/lkm_control.hpp"
#include "monitor/interceptor.hpp"
#include "util/thread_alarm.hpp"
#include "util/unique_fd.hpp"
#include "util/wake_fd.hpp"

// How often stop signals a reader that has not yet left run.
const std::chrono::milliseconds TS_LKM_WAKE_INTERVAL(50);

class ts_lkmnotify_t : public ts_interceptor_if, private boost::noncopyable
{
public:
    // Makes the control node ("noxel.control", minor 1) and opens the
    // control channel, makes the monitor node ("noxel.tarsel", minor 0) in
    // device_dir and opens it read-only, then offers every mount point to
    // the module with ADD_DIR (a Debug line for each, accepted or not). loop
    // is the main event loop that run hands events over to; it must outlive
    // run. opener
    // opens both nodes (tests hand in a stand-in for the module).
    // Throws what ts_lkm_control_t and ts_chardev_t throw,
    // boost::system::system_error (errno, "Couldn't open monitor char
    // device") when the monitor node cannot be opened, (errno, "eventfd")
    // when the wake-up descriptor cannot be made, and what add_dir throws.
    // Nothing made is left behind then.
    ts_lkmnotify_t(boost::asio::io_service& loop, const std::string& device_dir, int major,
                   const std::vector<std::string>& mount_points, const ts_device_opener_t& opener = &ts_open_device);
    // Closes the monitor descriptor, removes the monitor node, then closes
    // the control channel and removes its node. Sends no DEL_DIR.
    ~ts_lkmnotify_t() override;

    // Reads the monitor device until stop. The events of each read are
    // handed over at once, in stream order. A failure of
    // the device (its end, a failed read, a corrupt stream) ends the loop
    // with an Error line "LKM event reader stopped: " and the failure's
    // text; the thread then ends normally. Never throws.
    void run(boost::shared_ptr<ts_event_queue_t> queue) override;
    // Sets the stop flag and wakes run, also out of a read that a device
    // without poll lets block: the thread in run is signalled every
    // TS_LKM_WAKE_INTERVAL until it has left. Any thread; never throws.
    void stop() override;
    int kind() const override;
    // ADD_DIR or DEL_DIR for dir: true when the module answered with error
    // 0, false for any other error. Throws what ts_lkm_control_t throws
    // when the exchange fails. Main thread.
    bool add_path(std::string dir) override;
    bool remove_path(std::string dir) override;

private:
    boost::asio::io_service& loop_;
    ts_lkm_control_t control_;
    ts_chardev_t monitor_node_;
    ts_unique_fd_t monitor_fd_;
    ts_wake_fd_t wake_;
    std::atomic<bool> stop_flag_;
    // The alarm of the thread in run, none outside it: a device that cannot
    // poll reports itself readable and then blocks in read, where only a
    // signal reaches the thread.
    boost::mutex alarm_mutex_;
    ts_thread_alarm_t* alarm_ = nullptr;
};
