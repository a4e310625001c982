// A userspace fake of the kernel module's two devices. Opening
// "noxel.control" or "noxel.tarsel" through opener() hands the daemon one
// end of a socket pair (the daemon owns and closes it); the fake keeps
// the other end and speaks the module's side of the protocol: it answers
// each control request with one response packet and writes monitor events
// when a test asks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include "lkm/chardev.hpp"

class fake_module_t
{
public:
    // The bytes written back for one request (type, dir); the default is
    // the matching response with error 0. An empty answer closes the
    // control device instead.
    typedef std::function<std::string(int32_t type, const std::string& dir)> answer_t;

    fake_module_t();
    ~fake_module_t();

    ts_device_opener_t opener();
    // Opening the named node fails with this errno.
    void fail_open(const std::string& node_name, int error);
    void set_answer(const answer_t& answer);
    // Closes the control device right after the next answer.
    void close_after_answer();
    // Reads requests but never answers, keeping the device open for 30
    // seconds after the last request.
    void stay_silent();
    // Waits this long before reading each request's body and again before
    // each answer, which it writes one byte at a time: the daemon's writes
    // and reads wait, and take the packets in pieces.
    void answer_slowly(std::chrono::milliseconds pause);
    // Shuts the control device down from the module's side.
    void close_control();
    // Every open as (node path, flags), in order.
    std::vector<std::pair<std::string, int>> opens() const;
    // Every request decoded, in order; a body that is no request is
    // recorded as type -1 with its raw bytes.
    std::vector<std::pair<int32_t, std::string>> requests() const;
    // Waits until the fake has read n requests in all.
    bool wait_requests(size_t n);
    // Waits until the daemon has closed its end of the control device.
    bool wait_control_closed();

    // Monitor device.
    void write_monitor(const std::string& bytes);
    void close_monitor();
    // True once the daemon has closed its end of the monitor device.
    bool monitor_closed_by_daemon() const;

private:
    int open_node(const std::string& path, int flags);
    void serve_control(int fd);
    bool read_fully(int fd, void* buffer, size_t size);

    mutable boost::mutex mutex_;
    boost::condition_variable changed_;
    answer_t answer_;
    std::map<std::string, int> open_errors_;
    std::vector<std::pair<std::string, int>> opens_;
    std::vector<std::pair<int32_t, std::string>> requests_;
    bool control_closed_ = false;
    bool close_after_answer_ = false;
    bool silent_ = false;
    std::chrono::milliseconds pause_{0};
    int control_module_end_ = -1;
    int monitor_module_end_ = -1;
    boost::thread control_thread_;
};
