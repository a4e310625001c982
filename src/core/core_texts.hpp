// The fixed texts of the daemon's core (command line, configuration, signal
// handling, exit): log lines, exception texts and the configuration dump.
#pragma once

// Command line.
// The caption of the --help text and the description of each option.
inline constexpr const char* TS_TEXT_OPTIONS_CAPTION = "Command line options";
inline constexpr const char* TS_TEXT_OPTION_HELP = "print help message and exit";
inline constexpr const char* TS_TEXT_OPTION_VERSION = "print version and exit";
inline constexpr const char* TS_TEXT_OPTION_MONITOR = "monitor channel (for managed run only)";
// Exception text (std::invalid_argument) when --monitor is absent; it ends
// the daemon as an Error line.
inline constexpr const char* TS_TEXT_OPTION_MONITOR_MISSING = "Monitor channel not given";

// Signals.
// Notice: SIGHUP received; a new context request to Ostrand follows.
inline constexpr const char* TS_TEXT_SIGHUP_ARRIVED = "SIGHUP has arrived";
// Notice: SIGTERM or SIGINT received; the exit line follows.
inline constexpr const char* TS_TEXT_TERMINATION_RECEIVED = "Termination signal received, exiting...";

// Exit.
// Error: the daemon ended on something that is no standard exception.
inline constexpr const char* TS_TEXT_UNKNOWN_EXCEPTION = "Unknown exception";
// Notice, the last line: "Exit with status " <status> " (" <status's name> ")".
inline constexpr const char* TS_TEXT_EXIT_STATUS = "Exit with status ";
inline constexpr const char* TS_TEXT_EXIT_STATUS_NAME_OPEN = " (";
inline constexpr const char* TS_TEXT_EXIT_STATUS_NAME_CLOSE = ")";

// Standard error, then abort (sanitizer builds): a main-thread method ran on
// another thread. A printf format; %s is the method's name.
inline constexpr const char* TS_TEXT_OFF_MAIN_THREAD = "main-thread method %s called on another thread\n";

// The configuration dump: Debug lines, in the dump's order, each followed by
// the field's value.
inline constexpr const char* TS_TEXT_DUMP_LOG_LEVEL = "log_level = ";
inline constexpr const char* TS_TEXT_DUMP_LOG = "log = ";
inline constexpr const char* TS_TEXT_DUMP_INCLUDED_PATH = "included_path = ";
inline constexpr const char* TS_TEXT_DUMP_EXCLUDED_PATH = "excluded_path = ";
inline constexpr const char* TS_TEXT_DUMP_MODE = "mode = ";
inline constexpr const char* TS_TEXT_DUMP_EXCLUDED_PROC = "excluded_proc = ";
inline constexpr const char* TS_TEXT_DUMP_ON_KNOWN_VIRUS = "on_known_virus = ";
inline constexpr const char* TS_TEXT_DUMP_ON_INCURABLE = "on_incurable = ";
inline constexpr const char* TS_TEXT_DUMP_ON_SUSPICIOUS = "on_suspicious = ";
inline constexpr const char* TS_TEXT_DUMP_ON_ADWARE = "on_adware = ";
inline constexpr const char* TS_TEXT_DUMP_ON_DIALERS = "on_dialers = ";
inline constexpr const char* TS_TEXT_DUMP_ON_JOKES = "on_jokes = ";
inline constexpr const char* TS_TEXT_DUMP_ON_RISKWARE = "on_riskware = ";
inline constexpr const char* TS_TEXT_DUMP_ON_HACKTOOLS = "on_hacktools = ";
inline constexpr const char* TS_TEXT_DUMP_SCAN_TIMEOUT = "scan_timeout = ";
inline constexpr const char* TS_TEXT_DUMP_HEURISTIC_ANALYSIS = "heuristic_analysis = ";
inline constexpr const char* TS_TEXT_DUMP_PACKER_MAX_LEVEL = "packer_max_level = ";
inline constexpr const char* TS_TEXT_DUMP_ARCHIVE_MAX_LEVEL = "archive_max_level = ";
inline constexpr const char* TS_TEXT_DUMP_MAIL_MAX_LEVEL = "mail_max_level = ";
inline constexpr const char* TS_TEXT_DUMP_CONTAINER_MAX_LEVEL = "container_max_level = ";
inline constexpr const char* TS_TEXT_DUMP_MAX_COMPRESSION_RATIO = "max_compression_ratio = ";
// Between the paths of a list in a dump line.
inline constexpr const char* TS_TEXT_DUMP_PATH_SEPARATOR = ", ";

// A log setting as the dump shows it (log_to_string).
// Between the parts of a syslog setting ("Syslog:Daemon").
inline constexpr const char* TS_TEXT_LOG_SETTING_SEPARATOR = ":";
// After "Stderr" when the setting shows time stamps.
inline constexpr const char* TS_TEXT_LOG_SETTING_SHOW_TIMESTAMP = ":ShowTimestamp";
