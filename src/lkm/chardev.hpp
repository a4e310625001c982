// A character-device node of the kernel module that exists for as long as
// the object does.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>

class ts_chardev_t : private boost::noncopyable
{
public:
    // Replaces whatever stands at path (a stale node, a file, a symbolic
    // link, an empty directory) with a node of mode 0400 for (major, minor).
    // Throws boost::filesystem::filesystem_error when the old entry cannot be
    // removed, boost::system::system_error (errno, "Couldn't make char
    // device") when mknod fails; no node is left behind then.
    ts_chardev_t(const boost::filesystem::path& path, unsigned major, unsigned minor);
    // Removes the node; a failure is logged at Warning, never thrown.
    ~ts_chardev_t();

    boost::filesystem::path path() const { return path_; }

private:
    boost::filesystem::path path_;
};

// How the interceptor opens its nodes: open(2) semantics, a descriptor or -1
// with errno set. Tests hand in a stand-in for the module's devices.
typedef boost::function<int(const std::string& path, int flags)> ts_device_opener_t;

// open(2) with the flags and O_CLOEXEC, repeated when interrupted.
int ts_open_device(const std::string& path, int flags);
