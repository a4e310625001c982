// The fixed texts of the monitoring pipeline: log lines, error contexts and
// exception texts of the file monitor, the interceptor factory, the fanotify
// interceptor, the event queue, the mounts watcher and the path filter. Each
// says its level (or its use) and what follows it in the line. The kernel
// module's texts are in lkm/lkm_texts.hpp; the texts of the "nx" category's
// codes stay in its table (monitor_error.cpp), indexed by code.
#pragma once

// File monitor: configure.

// Error, after a Debug line with the failure's text, when no interceptor can
// be used for the configured mode (fanotify, the kernel module, automatic).
inline constexpr const char* TS_TEXT_COULDNT_INIT_FANOTIFY = "Couldn't init Fanotify interceptor";
inline constexpr const char* TS_TEXT_COULDNT_INIT_LKM = "Couldn't init LKM interceptor";
inline constexpr const char* TS_TEXT_COULDNT_INIT_ANY = "Couldn't init any filesystem interceptors";
// Info, after a Debug line with the failure's text, when the automatic mode
// cannot switch from the kernel module to fanotify and keeps the module.
inline constexpr const char* TS_TEXT_REMAIN_LKM = "Cannot use fanotify. Remain use LKM";
// Exception text (std::runtime_error) when the factory builds nothing for a mode.
inline constexpr const char* TS_TEXT_NO_INTERCEPTOR = "no interceptor for this mode";

// File monitor: the interceptor's loop thread.

// Debug, once the loop thread of a new interceptor has started.
inline constexpr const char* TS_TEXT_LOOP_STARTED = "file monitor's event loop has been started";
// Debug, followed by the failure's text, when the loop thread cannot be
// started (the "File monitor" error 201 follows).
inline constexpr const char* TS_TEXT_CANNOT_START = "Cannot start monitoring, error occured: ";
// Error, when the current interceptor's loop ended without being stopped
// (the daemon then ends).
inline constexpr const char* TS_TEXT_LOOP_ENDED = "The interceptor's event loop has ended unexpectedly";

// File monitor: the start-up process scan.

// Debug: TS_TEXT_EXE_PREFIX, the pid, TS_TEXT_EXE_INFIX and the executable in
// double quotes; or TS_TEXT_EXE_PREFIX, the pid and TS_TEXT_KERNEL_THREAD.
inline constexpr const char* TS_TEXT_EXE_PREFIX = "produce_exe_list: pid=";
inline constexpr const char* TS_TEXT_EXE_INFIX = " exe=";
inline constexpr const char* TS_TEXT_KERNEL_THREAD = " is a kernel thread";

// File monitor: a change of the mount table, handed to the interceptor.

// Debug: TS_TEXT_MOUNT_PREFIX, the directory in double quotes, then
// TS_TEXT_MOUNT_ADDED_SUFFIX (mounted, accepted) or
// TS_TEXT_MOUNT_DELETED_SUFFIX (unmounted, accepted).
inline constexpr const char* TS_TEXT_MOUNT_PREFIX = "Mountpoint ";
inline constexpr const char* TS_TEXT_MOUNT_ADDED_SUFFIX = " has been added for monitoring successfully";
inline constexpr const char* TS_TEXT_MOUNT_DELETED_SUFFIX = " has been deleted from monitoring paths successfully";
// Debug (mounted, refused): the prefix, the directory in double quotes, the suffix.
inline constexpr const char* TS_TEXT_MOUNT_NOT_ADDED_PREFIX = "Couldn't add ";
inline constexpr const char* TS_TEXT_MOUNT_NOT_ADDED_SUFFIX = " mountpoint for monitoring";
// Warning (unmounted, refused): the prefix, the directory in double quotes,
// the suffix.
inline constexpr const char* TS_TEXT_MOUNT_NOT_DELETED_PREFIX = "Couldn't delete ";
inline constexpr const char* TS_TEXT_MOUNT_NOT_DELETED_SUFFIX = " mountpoint from monitoring paths";

// Interceptor factory.

// Debug, followed by the reason (strerror text), when the mount table cannot
// be read (the "File monitor" error 202 follows).
inline constexpr const char* TS_TEXT_NO_MOUNTPOINTS = "Couldn't get mountpoints: ";
// Info, before a fanotify interceptor is built.
inline constexpr const char* TS_TEXT_FANOTIFY_TRYING = "Trying to use Fanotify interceptor";

// Both interceptors.

// Debug, one per mount point offered at construction: TS_TEXT_PATH_ADDED,
// the directory, TS_TEXT_PATH_ADDED_END; or TS_TEXT_PATH_NOT_ADDED and the
// directory.
inline constexpr const char* TS_TEXT_PATH_ADDED = "The path: ";
inline constexpr const char* TS_TEXT_PATH_ADDED_END = " has been added for monitoring";
inline constexpr const char* TS_TEXT_PATH_NOT_ADDED = "Couldn't add monitor path: ";

// Fanotify interceptor.

// Debug, followed by dlerror's text, when fanotify_init or fanotify_mark is
// not found (the "Fanotify" error 203 follows).
inline constexpr const char* TS_TEXT_FANOTIFY_DLSYM = "dlsym: ";
// Exception text (std::runtime_error), followed by dlerror's text, when the
// program's own symbol scope cannot be opened.
inline constexpr const char* TS_TEXT_FANOTIFY_DLOPEN = "dlopen: ";
// Warning, nothing follows: the kernel's queue overflowed and events were lost.
inline constexpr const char* TS_TEXT_FANOTIFY_OVERFLOW = "Kernel queue overflow";
// Warning, followed by strerror's text: an event's descriptor cannot be stat'ed.
inline constexpr const char* TS_TEXT_FANOTIFY_STAT_FAILED = "stat failed: ";
// Warning, followed by the event's descriptor: its link cannot be read.
inline constexpr const char* TS_TEXT_FANOTIFY_READLINK_FAILED = "Readlink failed on fd=";
// Warning, followed by the event's descriptor: its path does not fit and is dropped.
inline constexpr const char* TS_TEXT_FANOTIFY_PATH_TOO_LONG = "Path too long, dropped: fd=";
// Warning, nothing follows: a record too short or running past the read.
inline constexpr const char* TS_TEXT_FANOTIFY_BAD_RECORD = "Malformed fanotify event record, rest of the read dropped";
// Warning, nothing follows: a record of another metadata version.
inline constexpr const char* TS_TEXT_FANOTIFY_BAD_VERSION = "Unknown fanotify metadata version, record skipped";
// Warning, once per run of failing reads, followed by strerror's text or,
// for a read that returned nothing, TS_TEXT_FANOTIFY_END_OF_FILE.
inline constexpr const char* TS_TEXT_FANOTIFY_READ_FAILED = "Fanotify read failed: ";
inline constexpr const char* TS_TEXT_FANOTIFY_END_OF_FILE = "end of file";
// Warning, for every such read (rate-limited), followed by strerror's text:
// the kernel had no descriptor to give for an event and dropped it.
inline constexpr const char* TS_TEXT_FANOTIFY_NO_DESCRIPTOR =
    "Fanotify event lost, the daemon is out of file descriptors: ";
// Debug, followed by the name: an event dropped since its name no longer
// names the accessed file in the daemon's namespace.
inline constexpr const char* TS_TEXT_FANOTIFY_NOT_NAMED = "Dropped, the name no longer names the accessed file: ";

// Event queue.

// Debug, for every pushed event that passed both filters: TS_TEXT_ACCESS_PID,
// the pid, TS_TEXT_ACCESS_ON, the path.
inline constexpr const char* TS_TEXT_ACCESS_PID = "PID: ";
inline constexpr const char* TS_TEXT_ACCESS_ON = " Access on: ";
// Warning, followed by the path, when a pushed path is not absolute.
inline constexpr const char* TS_TEXT_NOT_ABSOLUTE_DROPPED = "Dropped a path that is not absolute: ";
// Warning when new paths start being dropped at the bound: TS_TEXT_QUEUE_FULL,
// the bound in paths, TS_TEXT_QUEUE_BOUND_PATHS, the bound in bytes,
// TS_TEXT_QUEUE_BOUND_BYTES.
inline constexpr const char* TS_TEXT_QUEUE_FULL =
    "Too many paths waiting for Kestrum, new paths are dropped; the bound is ";
inline constexpr const char* TS_TEXT_QUEUE_BOUND_PATHS = " paths or ";
inline constexpr const char* TS_TEXT_QUEUE_BOUND_BYTES = " bytes";
// Warning, followed by the number of paths dropped meanwhile, when the
// waiting set has fallen to half the bound again.
inline constexpr const char* TS_TEXT_QUEUE_DROPPED = "Paths dropped while too many were waiting for Kestrum: ";

// Mounts watcher: failure texts emitted on its error signal, each followed by
// strerror's text (TS_TEXT_WATCHER_OPEN_FAILED by the table's path and ": "
// first). The file monitor logs the text at Debug, then ends the daemon with
// the "File monitor" error 200.
inline constexpr const char* TS_TEXT_WATCHER_OPEN_FAILED = "Couldn't open ";
inline constexpr const char* TS_TEXT_WATCHER_EPOLL_FAILED = "Couldn't create epoll fd: ";
inline constexpr const char* TS_TEXT_WATCHER_EPOLL_ADD_FAILED = "Couldn't fd to epoll: ";
inline constexpr const char* TS_TEXT_WATCHER_WAIT_FAILED = "epoll_wait error: ";
inline constexpr const char* TS_TEXT_WATCHER_WAKE_FAILED = "Couldn't create eventfd: ";

// Error contexts.

// Paired with the "nx" codes of the file monitor (200, 201, 202; and with
// EC_IO_ERROR when the loop ended) and of the fanotify interceptor (203, 204,
// 205). The kernel module's ("LKM") is in lkm/lkm_texts.hpp.
inline constexpr const char* TS_TEXT_CONTEXT_FILE_MONITOR = "File monitor";
inline constexpr const char* TS_TEXT_CONTEXT_FANOTIFY = "Fanotify";
// Of the filesystem_error (EC_NOT_ABSOLUTE_PATH) for a path that is not
// absolute: when the path filter is built, and when a path is looked up.
inline constexpr const char* TS_TEXT_CONTEXT_SCAN_SET = "ScanSet";
inline constexpr const char* TS_TEXT_CONTEXT_SCAN_SET_STATE = "ScanSet state";
