// Loading the kernel module with modprobe, finding its device major number,
// and building the kernel-module interceptor on them. Main thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "lkm/chardev.hpp"
#include "lkm/lkm_protocol.hpp"
#include "monitor/interceptor.hpp"

// At most this much of a child's output is kept; the rest is read and
// dropped, so a chatty child neither stalls nor fills the memory.
const std::size_t TS_LKM_OUTPUT_LIMIT = 64 * 1024;

// The longest modprobe may run. A module whose initialisation hangs, or a
// modprobe waiting for something that never comes, must not hold the main
// thread, and with it the links and the daemon's signals, for longer: past
// the bound it is killed, and the load has failed.
const std::chrono::milliseconds TS_LKM_MODPROBE_TIMEOUT(20000);
// How long a child killed at the bound or at a termination signal is given
// to be gone; one that is not (stuck in the kernel) is left behind, unreaped.
const std::chrono::milliseconds TS_LKM_CHILD_REAP_GRACE(500);
// How often a run that waits looks at the clock, for a pending SIGTERM or
// SIGINT and, where the kernel has no process descriptors, for the child's end.
const std::chrono::milliseconds TS_LKM_CHILD_TICK(100);

// Where create_lkm_interceptor finds what it uses; the defaults are the
// system's, tests point them elsewhere.
struct ts_lkm_setup_t
{
    std::string program = TS_LKM_MODPROBE;          // run with the module name
    std::string devices_list = TS_LKM_DEVICES_LIST; // the majors of the loaded drivers
    std::string device_dir = TS_LKM_DEVICE_DIR;     // where the nodes are made
    ts_device_opener_t opener = &ts_open_device;    // how the nodes are opened
    std::chrono::milliseconds modprobe_timeout = TS_LKM_MODPROBE_TIMEOUT;
};

// Info "Trying to use LKM interceptor", load_module, get_device_major, then
// a ts_lkmnotify_t in setup.device_dir offered every mount point.
// Throws what load_module and get_device_major throw,
// boost::system::system_error (207, "LKM") when the module has no major,
// and what the ts_lkmnotify_t constructor throws.
// setup.modprobe_timeout bounds the modprobe run.
ts_interceptor_ptr create_lkm_interceptor(boost::asio::io_service& loop, const std::vector<std::string>& mount_points,
                                          const ts_lkm_setup_t& setup);

// Runs program with the module name; returns when it exited with status 0,
// also when the module was loaded already. Its output is logged at Debug
// ("modprobe: " and the output less one final newline).
// Throws boost::system::system_error (206, "LKM") when it was ended by a
// signal or exited with another status (126 when it could not be run), also
// when it ran past timeout and was killed, and what run_command throws.
void load_module(const std::string& name, const std::string& program = TS_LKM_MODPROBE,
                 std::chrono::milliseconds timeout = TS_LKM_MODPROBE_TIMEOUT);

// The major number on the first line of the "Character devices:" section of
// devices_list whose driver name is name, whole; -1 when there is none or
// the list cannot be read.
// Throws boost::bad_lexical_cast when that line's first token is not an int.
int get_device_major(const std::string& name, const std::string& devices_list = TS_LKM_DEVICES_LIST);

// Runs arguments[0] (found through the search path) with the arguments,
// standard output and standard error both appended to output (up to
// TS_LKM_OUTPUT_LIMIT bytes), standard input inherited and every other
// descriptor below 1024 closed; returns the wait status once the child has
// exited. A child that cannot be run exits with 126. The child starts with
// the caller's signal mask and SIGPIPE's default action.
// The output is read while the child runs and only until it has ended: a
// process it left behind that holds the pipe keeps nothing waiting.
// A child still running after timeout is killed (SIGKILL), after an Error
// line; the status then says so (ended by SIGKILL, also when it could not be
// reaped within TS_LKM_CHILD_REAP_GRACE).
// Main thread: SIGTERM and SIGINT are held on the calling thread while the
// child runs. One that arrives kills the child, logs an Error line and
// throws nx::EC_APP_TERMINATED by value; the signal stays pending for the
// event loop.
// Throws boost::system::system_error with the errno: "pipe", "fork",
// "poll", "waitpid".
int run_command(const std::vector<const char*>& arguments, std::string& output,
                std::chrono::milliseconds timeout = TS_LKM_MODPROBE_TIMEOUT);

// Appends what can be read from fd until end of file (up to
// TS_LKM_OUTPUT_LIMIT bytes in output, the rest read and dropped). A read
// failing other than by EINTR ends it with Debug "read: " and the errno's
// text. Never throws beyond std::bad_alloc.
void read_all(int fd, std::string& output);
