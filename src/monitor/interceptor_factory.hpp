// Builds the interceptor that the configured mode asks for.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>

#include "monitor/interceptor.hpp"
#include "monitor/mntent.hpp"

// The mount directory of every line of the mount table at mounts_path, in
// file order, nothing filtered (a directory with several mounts comes once
// per mount).
// Throws boost::system::system_error (202, "File monitor") after a Debug
// line when the table cannot be opened.
std::vector<std::string> get_mount_points(const std::string& mounts_path = TS_MOUNTS_PATH);

// Reads the mount points first, whatever the mode, then builds the
// interceptor for mode (an nx::LinuxTarselMode value): 1 fanotify, 2 kernel
// module, 0 fanotify falling back to the kernel module. Any other mode gives
// an empty pointer and logs nothing. io is the main event loop, handed on to
// the interceptor. Main thread.
// Throws what get_mount_points and the chosen builder throw (all derived
// from std::exception), unchanged.
ts_interceptor_ptr create_interceptor(boost::asio::io_service& io, int mode,
                                      const std::string& mounts_path = TS_MOUNTS_PATH);

// A ts_fanotify_t marking every mount point, after the Info line.
// Throws what the ts_fanotify_t constructor throws.
ts_interceptor_ptr create_fanotify_interceptor(boost::asio::io_service& io,
                                               const std::vector<std::string>& mount_points);

// A fanotify interceptor when one can be built; otherwise (after a Debug
// line with the failure's short_what text) the kernel-module interceptor.
// Throws what create_lkm_interceptor throws.
ts_interceptor_ptr create_auto_interceptor(boost::asio::io_service& io, const std::vector<std::string>& mount_points);

// Loads the kernel module, creates its device nodes and returns its
// interceptor with every mount point handed to the module. Declared here,
// beside the other ways the factory builds an interceptor, and defined in
// lkm/create_lkm_interceptor.cpp: the factory so needs no header of the
// kernel-module interceptor, whose own variant takes the setup the tests
// replace (lkm/lkm_loader.hpp).
// Throws boost::system::system_error (206 to 209, "LKM") or another
// std::exception when any of this fails.
ts_interceptor_ptr create_lkm_interceptor(boost::asio::io_service& io, const std::vector<std::string>& mount_points);
