// The fixed texts of the kernel-module interceptor: log lines, error
// contexts and exception texts. Each says its level (or its use) and what
// follows it in the line. The texts of the "nx" category's codes stay in its
// table (monitor/monitor_error.cpp), indexed by code.
#pragma once

#include "log/log.hpp"

// Packets: building a request.

// Error, nothing follows: the request's object cannot be opened in the packet.
inline constexpr const char* TS_TEXT_LKM_NO_REQUEST_OBJECT = "Couldn't create object for request";

// Packets: reading a response. Each is an Error line with nothing after it;
// the packet is then refused.

// The body holds no value, or its value is no object.
inline constexpr const char* TS_TEXT_LKM_NO_VALUES = "parser has no values!";
inline constexpr const char* TS_TEXT_LKM_NOT_OBJECT = "the value is not object!";
// A pair's key cannot be read, or is no 'I' value; a pair's value cannot be read.
inline constexpr const char* TS_TEXT_LKM_NO_FIELD_NAME = "Couldn't retrieve object's field name";
inline constexpr const char* TS_TEXT_LKM_BAD_FIELD_NAME = "Couldn't retrieve object's field value";
inline constexpr const char* TS_TEXT_LKM_NO_FIELD_VALUE = "Couldn't parse packet";
// The packet-type field is absent or no 'I' value.
inline constexpr const char* TS_TEXT_LKM_NO_PACKET_TYPE = "Couldn't parse packet : packet type field is absent";
inline constexpr const char* TS_TEXT_LKM_BAD_PACKET_TYPE = "Couldn't parse packet : unable to retrieve field type";
// The error field of an ADD_DIR or DEL_DIR response is absent or no 'I' value.
inline constexpr const char* TS_TEXT_LKM_NO_ERROR_FIELD = "Couldn't parse packet : error field is absent";
inline constexpr const char* TS_TEXT_LKM_BAD_ERROR_FIELD = "Couldn't parse packet: error while retrieving error value";
// After a packet-type line: the response named cannot be read.
inline constexpr const char* TS_TEXT_LKM_ADD_DIR_PARSE = "Error in parse ADD_DIR_RESPONSE packet";
inline constexpr const char* TS_TEXT_LKM_DEL_DIR_PARSE = "Error in parse DEL_DIR_RESPONSE packet";
inline constexpr const char* TS_TEXT_LKM_EVENT_PATH_PARSE = "Error in parse EVENT_PATH packet";
// An EVENT_PATH packet without a path field, or whose path or pid cannot be read.
inline constexpr const char* TS_TEXT_LKM_EVENT_NO_PATH =
    "Error in parse EVENT_PATH packet, couldn't find NOXEL_FT_PATH field";
inline constexpr const char* TS_TEXT_LKM_EVENT_BAD_PATH = "Error in parse EVENT_PATH packet, couldn't read path";
inline constexpr const char* TS_TEXT_LKM_EVENT_BAD_PID = "Error in parse EVENT_PATH packet, couldn't read pid";
// Error, a packet of another type than expected: TS_TEXT_LKM_WRONG_TYPE, the
// type received, TS_TEXT_LKM_EXPECTED, then the expected type's name (one of
// the three names below).
inline constexpr const char* TS_TEXT_LKM_WRONG_TYPE = "Wrong packet_type: ";
inline constexpr const char* TS_TEXT_LKM_EXPECTED = ", expected: ";
inline constexpr const char* TS_TEXT_LKM_ADD_DIR_RESP_NAME = "NOXEL_PT_ADD_DIR_RESP";
inline constexpr const char* TS_TEXT_LKM_DEL_DIR_RESP_NAME = "NOXEL_PT_DEL_DIR_RESP";
inline constexpr const char* TS_TEXT_LKM_EVENT_PATH_NAME = "NOXEL_PT_EVENT_PATH";

// Device nodes and the control channel.

// Exception text (boost::system::system_error with the errno, so ": " and
// its text follow) when mknod fails for a node.
inline constexpr const char* TS_TEXT_LKM_MKNOD_FAILED = "Couldn't make char device";
// Warning: TS_TEXT_LKM_NODE_NOT_REMOVED, the node's path, ": " and the reason.
inline constexpr const char* TS_TEXT_LKM_NODE_NOT_REMOVED = "Couldn't remove char device ";
// Exception text (system_error with the errno) when the control node cannot be opened.
inline constexpr const char* TS_TEXT_LKM_OPEN_CONTROL_FAILED = "Couldn't open control char device";
// Debug, before an ADD_DIR or DEL_DIR exchange: followed by the directory in
// double quotes.
inline constexpr const char* TS_TEXT_LKM_ADDING = "Adding mountpoint on ";
inline constexpr const char* TS_TEXT_LKM_DELETING = "Deleting mountpoint on ";
// Error, when the module has not answered in time: TS_TEXT_LKM_EXCHANGE_TIMED_OUT,
// the timeout in milliseconds, TS_TEXT_LKM_MILLISECONDS.
inline constexpr const char* TS_TEXT_LKM_EXCHANGE_TIMED_OUT = "No answer from the LKM control device within ";
inline constexpr const char* TS_TEXT_LKM_MILLISECONDS = " ms";
// Error, nothing follows: SIGTERM or SIGINT arrived during an exchange.
inline constexpr const char* TS_TEXT_LKM_EXCHANGE_TERMINATED =
    "LKM control exchange abandoned: termination signal received";

// Module loading.

// Info, before the module is loaded.
inline constexpr const char* TS_TEXT_LKM_TRYING = "Trying to use LKM interceptor";
// Debug, once modprobe succeeded.
inline constexpr const char* TS_TEXT_LKM_LOADED = "LKM has been loaded";
// Debug, followed by the module's device major.
inline constexpr const char* TS_TEXT_LKM_MAJOR = "Device major: ";
// Info, followed by the directory where the nodes are made.
inline constexpr const char* TS_TEXT_LKM_DEVICE_DIR = "Char device directory: ";
// Debug, followed by modprobe's output (less one final newline).
inline constexpr const char* TS_TEXT_LKM_MODPROBE_OUTPUT = "modprobe: ";
// Debug, nothing follows: modprobe was ended by a signal (the "LKM" error 206 follows).
inline constexpr const char* TS_TEXT_LKM_MODPROBE_SIGNAL = "modprobe: terminated by signal";
// Debug, followed by modprobe's exit status (the "LKM" error 206 follows).
inline constexpr const char* TS_TEXT_LKM_MODPROBE_STATUS = "modprobe: exited with status ";
// Error, before the "modprobe: terminated by signal" of the run it stopped:
// TS_TEXT_LKM_MODPROBE_TIMED_OUT, the bound in milliseconds,
// TS_TEXT_LKM_MILLISECONDS.
inline constexpr const char* TS_TEXT_LKM_MODPROBE_TIMED_OUT = "modprobe has not ended within ";
// Error, nothing follows: SIGTERM or SIGINT arrived while modprobe ran; it
// was stopped, and the daemon ends with the termination status.
inline constexpr const char* TS_TEXT_LKM_MODPROBE_TERMINATED = "modprobe abandoned: termination signal received";
// Debug, followed by strerror's text: reading a child's output failed.
inline constexpr const char* TS_TEXT_LKM_READ_FAILED = "read: ";

// Interceptor and event reader.

// Exception text (system_error with the errno) when the monitor node cannot be opened.
inline constexpr const char* TS_TEXT_LKM_OPEN_MONITOR_FAILED = "Couldn't open monitor char device";
// Exception text (std::runtime_error) when the stream assembler fails.
inline constexpr const char* TS_TEXT_LKM_STREAM_FAILED = "cannot parse stream";
// Warning, nothing follows: an EVENT_PATH packet that does not deserialize,
// or one with an empty path; either is skipped.
inline constexpr const char* TS_TEXT_LKM_EVENT_NOT_DESERIALIZED = "Couldn't deserialize EVENT_PATH response";
inline constexpr const char* TS_TEXT_LKM_EVENT_EMPTY_PATH = "Dropped EVENT_PATH packet with an empty path";
// Error, when the read loop ended on a failure: followed by the failure's
// text, or TS_TEXT_LKM_UNKNOWN_FAILURE when it is no standard exception.
inline constexpr const char* TS_TEXT_LKM_READER_FAILED = "LKM event reader stopped: ";
inline constexpr const char* TS_TEXT_LKM_UNKNOWN_FAILURE = "unknown failure";

// Error contexts.

// Paired with the "nx" codes of the kernel-module interceptor (206 to 209).
inline constexpr const char* TS_TEXT_CONTEXT_LKM = "LKM";
// Of boost::system::system_error with an errno: the control channel's write
// and read (ETIMEDOUT too), the monitor device's read (Boost.Asio's end of
// file too), and the calls that make the child, the wake-up descriptor and
// the thread's alarm, and the wait for the child.
inline constexpr const char* TS_TEXT_CONTEXT_LKM_WRITE = "write";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_READ = "read";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_READ_SOME = "read_some";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_PIPE = "pipe";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_FORK = "fork";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_WAITPID = "waitpid";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_POLL = "poll";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_EVENTFD = "eventfd";
inline constexpr const char* TS_TEXT_CONTEXT_LKM_TIMER_CREATE = "timer_create";
