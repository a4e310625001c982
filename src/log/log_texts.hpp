// The fixed texts of the log: the lines it writes of its own, the level
// names and the contexts of the errors of making a sink.
#pragma once

// The level names of every line, lowest first (log_level_name), and the
// name of a level out of range.
inline constexpr const char* CF_TEXT_LEVEL_DEBUG = "Debug";
inline constexpr const char* CF_TEXT_LEVEL_INFO = "Info";
inline constexpr const char* CF_TEXT_LEVEL_NOTICE = "Notice";
inline constexpr const char* CF_TEXT_LEVEL_WARNING = "Warning";
inline constexpr const char* CF_TEXT_LEVEL_ERROR = "Error";
inline constexpr const char* CF_TEXT_LEVEL_UNKNOWN = "Unknown";

// At the level of the limited line, before the first one let through after
// a limited interval: "Suppressed " <count> " messages like: " <text>.
inline constexpr const char* CF_TEXT_SUPPRESSED_PREFIX = "Suppressed ";
inline constexpr const char* CF_TEXT_SUPPRESSED_INFIX = " messages like: ";

// Warning, before the first line written after lines were lost:
// <count> " log lines were dropped: the log did not take them in time".
inline constexpr const char* CF_TEXT_DROPPED_SUFFIX = " log lines were dropped: the log did not take them in time";

// Error contexts of make_log_sink (boost::filesystem::filesystem_error, the
// path follows): a log file path that is not absolute; a log file that
// cannot be opened.
inline constexpr const char* CF_TEXT_CONTEXT_LOG_OPTION = "log option";
inline constexpr const char* CF_TEXT_CONTEXT_LOG_OPEN = "open";

// Error contexts of make_log_sink for a log file that another user than
// root could have redirected or could read (EPERM; the path follows, then
// the link when it is not the path itself): a symbolic link on the way that
// is not root's or lies in a directory others can write; a file of another
// user; a file with more names than one in a directory others can write.
inline constexpr const char* CF_TEXT_CONTEXT_LOG_LINK_REFUSED =
    "log file refused, a user other than root could have placed this symbolic link";
inline constexpr const char* CF_TEXT_CONTEXT_LOG_OWNER_REFUSED =
    "log file refused, it belongs to a user other than root";
inline constexpr const char* CF_TEXT_CONTEXT_LOG_HARD_LINK_REFUSED =
    "log file refused, it has another name and lies in a directory that a user other than root can write";
