// The fixed texts of the kernel-module interceptor: log lines, error
// contexts and exception texts.
#pragma once

#include "log/log.hpp"

// Messages: Error lines.
inline constexpr const char* TS_LKM_NO_REQUEST_OBJECT = "Couldn't create object for request";
inline constexpr const char* TS_LKM_NO_VALUES = "parser has no values!";
inline constexpr const char* TS_LKM_NOT_OBJECT = "the value is not object!";
inline constexpr const char* TS_LKM_NO_FIELD_NAME = "Couldn't retrieve object's field name";
inline constexpr const char* TS_LKM_BAD_FIELD_NAME = "Couldn't retrieve object's field value";
inline constexpr const char* TS_LKM_NO_FIELD_VALUE = "Couldn't parse packet";
inline constexpr const char* TS_LKM_NO_PACKET_TYPE = "Couldn't parse packet : packet type field is absent";
inline constexpr const char* TS_LKM_BAD_PACKET_TYPE = "Couldn't parse packet : unable to retrieve field type";
inline constexpr const char* TS_LKM_NO_ERROR_FIELD = "Couldn't parse packet : error field is absent";
inline constexpr const char* TS_LKM_BAD_ERROR_FIELD = "Couldn't parse packet: error while retrieving error value";
inline constexpr const char* TS_LKM_ADD_DIR_PARSE = "Error in parse ADD_DIR_RESPONSE packet";
inline constexpr const char* TS_LKM_DEL_DIR_PARSE = "Error in parse DEL_DIR_RESPONSE packet";
inline constexpr const char* TS_LKM_EVENT_PATH_PARSE = "Error in parse EVENT_PATH packet";
inline constexpr const char* TS_LKM_EVENT_NO_PATH = "Error in parse EVENT_PATH packet, couldn't find NOXEL_FT_PATH field";
inline constexpr const char* TS_LKM_EVENT_BAD_PATH = "Error in parse EVENT_PATH packet, couldn't read path";
inline constexpr const char* TS_LKM_EVENT_BAD_PID = "Error in parse EVENT_PATH packet, couldn't read pid";
// "Wrong packet_type: " <type> ", expected: " <name>
inline constexpr const char* TS_LKM_WRONG_TYPE = "Wrong packet_type: ";
inline constexpr const char* TS_LKM_EXPECTED = ", expected: ";
inline constexpr const char* TS_LKM_ADD_DIR_RESP_NAME = "NOXEL_PT_ADD_DIR_RESP";
inline constexpr const char* TS_LKM_DEL_DIR_RESP_NAME = "NOXEL_PT_DEL_DIR_RESP";
inline constexpr const char* TS_LKM_EVENT_PATH_NAME = "NOXEL_PT_EVENT_PATH";

// Device nodes and control channel.
inline constexpr const char* TS_LKM_MKNOD_FAILED = "Couldn't make char device";
inline constexpr const char* TS_LKM_NODE_NOT_REMOVED = "Couldn't remove char device "; // + path ": " + reason (Warning)
inline constexpr const char* TS_LKM_OPEN_CONTROL_FAILED = "Couldn't open control char device";
inline constexpr const char* TS_LKM_WRITE = "write";
inline constexpr const char* TS_LKM_READ = "read";
inline constexpr const char* TS_LKM_ADDING = "Adding mountpoint on ";    // + quoted dir (Debug)
inline constexpr const char* TS_LKM_DELETING = "Deleting mountpoint on "; // + quoted dir (Debug)
// Error: + the timeout in milliseconds + " ms".
inline constexpr const char* TS_LKM_EXCHANGE_TIMED_OUT = "No answer from the LKM control device within ";
inline constexpr const char* TS_LKM_EXCHANGE_TERMINATED = "LKM control exchange abandoned: termination signal received"; // Error

// Module loading.
inline constexpr const char* TS_LKM_TRYING = "Trying to use LKM interceptor";       // Info
inline constexpr const char* TS_LKM_LOADED = "LKM has been loaded";                 // Debug
inline constexpr const char* TS_LKM_MAJOR = "Device major: ";                       // + major (Debug)
inline constexpr const char* TS_LKM_DEVICE_DIR_LINE = "Char device directory: ";    // + dir (Info)
inline constexpr const char* TS_LKM_MODPROBE_OUTPUT = "modprobe: ";                 // + output (Debug)
inline constexpr const char* TS_LKM_MODPROBE_SIGNAL = "modprobe: terminated by signal";
inline constexpr const char* TS_LKM_MODPROBE_STATUS = "modprobe: exited with status "; // + code
inline constexpr const char* TS_LKM_READ_FAILED = "read: ";                         // + strerror (Debug)
inline constexpr const char* TS_LKM_PIPE = "pipe";
inline constexpr const char* TS_LKM_FORK = "fork";
inline constexpr const char* TS_LKM_WAITPID = "waitpid";

// Interceptor and event reader.
inline constexpr const char* TS_LKM_OPEN_MONITOR_FAILED = "Couldn't open monitor char device";
inline constexpr const char* TS_LKM_EVENTFD = "eventfd";
inline constexpr const char* TS_LKM_TIMER_CREATE = "timer_create";
inline constexpr const char* TS_LKM_PATH_ADDED = "The path: ";               // + dir + ...
inline constexpr const char* TS_LKM_PATH_ADDED_END = " has been added for monitoring";
inline constexpr const char* TS_LKM_PATH_NOT_ADDED = "Couldn't add monitor path: "; // + dir (Debug)
inline constexpr const char* TS_LKM_READ_SOME = "read_some";
inline constexpr const char* TS_LKM_STREAM_FAILED = "cannot parse stream";
inline constexpr const char* TS_LKM_EVENT_NOT_DESERIALIZED = "Couldn't deserialize EVENT_PATH response"; // Warning
inline constexpr const char* TS_LKM_EVENT_EMPTY_PATH = "Dropped EVENT_PATH packet with an empty path"; // Warning
// The read loop ended on a failure: + the failure's text (Error).
inline constexpr const char* TS_LKM_READER_FAILED = "LKM event reader stopped: ";
// ... when the failure is no standard exception.
inline constexpr const char* TS_LKM_UNKNOWN_FAILURE = "unknown failure";

