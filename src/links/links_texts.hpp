// The fixed texts of the links to Ostrand and Kestrum: log lines, error
// contexts and exception texts.
#pragma once

// Ostrand.
// Error context of every failure of the Ostrand link (and of a --monitor
// descriptor that was not inherited); the error's message follows.
inline constexpr const char* TS_TEXT_CONTEXT_OSTRAND = "Ostrand connection";
// Debug: the link object was built.
inline constexpr const char* TS_TEXT_OSTRAND_CONSTRUCTED = "ts_ostrand_tie_t was constructed";
// Debug: the link adopted its descriptor and reads.
inline constexpr const char* TS_TEXT_OSTRAND_STARTED = "ts_ostrand_tie_t: ipc was started";
// Debug: a configuration arrived; the dump follows.
inline constexpr const char* TS_TEXT_OSTRAND_CONTEXT_RESPONSE = "TarselMessage::GET_CONTEXT_RESPONSE has been received";
// Debug: Kestrum's socket path arrived; the connection attempt follows.
inline constexpr const char* TS_TEXT_OSTRAND_KESTRUM_RESPONSE = "TarselMessage::GET_KESTRUM_RESPONSE has been received";
// Notice, once the flow is open after a configuration:
// "LinuxTarsel " <version> ": Ready for service" [", mode Fanotify" | ", mode LKM"].
inline constexpr const char* TS_TEXT_OSTRAND_READY_PREFIX = "LinuxTarsel ";
inline constexpr const char* TS_TEXT_OSTRAND_READY_SUFFIX = ": Ready for service";
inline constexpr const char* TS_TEXT_OSTRAND_READY_MODE_FANOTIFY = ", mode Fanotify";
inline constexpr const char* TS_TEXT_OSTRAND_READY_MODE_LKM = ", mode LKM";
// Error, before the daemon ends with ENOBUFS: Ostrand reads nothing.
// Followed by the link's high watermark and " bytes".
inline constexpr const char* TS_TEXT_OSTRAND_NOT_READING = "Ostrand stopped reading: its messages not written passed ";
inline constexpr const char* TS_TEXT_OSTRAND_NOT_READING_BYTES = " bytes";

// Kestrum.
// Error context of a failure of the Kestrum link that is no lost connection.
inline constexpr const char* TS_TEXT_CONTEXT_KESTRUM = "Kestrum connection";
// Error context of a failed connection attempt (refused, no such socket).
inline constexpr const char* TS_TEXT_CONTEXT_KESTRUM_CONNECT = "connect";
// Info: the connection is made; OPEN_FLOW_REQUEST follows.
inline constexpr const char* TS_TEXT_KESTRUM_ESTABLISHED = "Kestrum connection has been established";
// Debug: OPEN_FLOW_REQUEST sent.
inline constexpr const char* TS_TEXT_KESTRUM_SESSION_SENT = "Kestrum open session message has been sent";
// Debug: the flow options sent.
inline constexpr const char* TS_TEXT_KESTRUM_OPTIONS_SENT = "Kestrum flow options message has been sent";
// Debug: the flow is open.
inline constexpr const char* TS_TEXT_KESTRUM_OPENED = "ServerMessage::OPEN_FLOW_RESPONSE has been received";
// Error: Kestrum reported an error; the code's message follows.
inline constexpr const char* TS_TEXT_KESTRUM_ERROR_PREFIX = "Kestrum error: ";
// Error, before the daemon ends: a message of unknown tag; the tag follows.
inline constexpr const char* TS_TEXT_KESTRUM_UNKNOWN_PREFIX = "unknown message: ";
// Error, the lost connection: "Kestrum connection is closed: " <reason>
// ". Reconnecting."; Ostrand is asked for the socket path again.
inline constexpr const char* TS_TEXT_KESTRUM_CLOSED_PREFIX = "Kestrum connection is closed: ";
inline constexpr const char* TS_TEXT_KESTRUM_CLOSED_SUFFIX = ". Reconnecting.";
// Reasons of the lost-connection line besides an error's message: Kestrum
// read nothing past the link's watermark; the attempt passed the connect
// limit.
inline constexpr const char* TS_TEXT_KESTRUM_NOT_READING = "Kestrum stopped reading";
inline constexpr const char* TS_TEXT_KESTRUM_CONNECT_TIMED_OUT = "Connection timed out";

// The framed protobuf link under both.
// Exception text (std::invalid_argument): start was given no socket.
inline constexpr const char* TS_TEXT_LINK_NO_SOCKET = "ts_protobuf_link_t::start: no socket";
// Exception text (std::length_error): a message over INT_MAX bytes.
inline constexpr const char* TS_TEXT_LINK_TOO_LARGE = "ts_protobuf_link_t::send: message too large to encode";
