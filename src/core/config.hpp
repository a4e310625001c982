// Application of the configuration that Ostrand sends, its debug dump, and
// what the other components read of it. Main thread only.
#pragma once

#include <string>
#include <vector>

#include "kestrum_client_ipc.pb.h"
#include "linux_tarsel_config.pb.h"
#include "log.pb.h"

// The texts of the dump lines, in the dump's order; each is followed by the
// value.
namespace config_dump {
constexpr const char* log_level = "log_level = ";
constexpr const char* log = "log = ";
constexpr const char* included_path = "included_path = ";
constexpr const char* excluded_path = "excluded_path = ";
constexpr const char* mode = "mode = ";
constexpr const char* excluded_proc = "excluded_proc = ";
constexpr const char* on_known_virus = "on_known_virus = ";
constexpr const char* on_incurable = "on_incurable = ";
constexpr const char* on_suspicious = "on_suspicious = ";
constexpr const char* on_adware = "on_adware = ";
constexpr const char* on_dialers = "on_dialers = ";
constexpr const char* on_jokes = "on_jokes = ";
constexpr const char* on_riskware = "on_riskware = ";
constexpr const char* on_hacktools = "on_hacktools = ";
constexpr const char* scan_timeout = "scan_timeout = ";
constexpr const char* heuristic_analysis = "heuristic_analysis = ";
constexpr const char* packer_max_level = "packer_max_level = ";
constexpr const char* archive_max_level = "archive_max_level = ";
constexpr const char* mail_max_level = "mail_max_level = ";
constexpr const char* container_max_level = "container_max_level = ";
constexpr const char* max_compression_ratio = "max_compression_ratio = ";
// Between the paths of a list.
constexpr const char* path_separator = ", ";
} // namespace config_dump

// Between the parts of a log setting's text ("Syslog:Daemon").
constexpr const char* LOG_TEXT_SEPARATOR = ":";
// After "Stderr" when the setting shows time stamps.
constexpr const char* LOG_TEXT_SHOW_TIMESTAMP = ":ShowTimestamp";

// Replaces current by a copy of received, sets the log threshold from its
// log_level (absent: Debug), installs a new sink built from its actual_log
// (absent: syslog, facility DAEMON, no ident) and dumps it at Debug level.
// Throws boost::filesystem::filesystem_error as make_log_sink does (a log
// file path that is not absolute, a log file that cannot be opened); the copy
// and the threshold are then in force already, the previous sink stays
// installed and nothing is dumped.
void apply_config(nx::LinuxTarselConfig& current, const nx::LinuxTarselConfig& received);

// One Debug line per shown field (config_dump), while the threshold is Debug.
// Shows `log`, never `actual_log`, and `excluded_proc` without
// `excluded_proc_auto`. Throws what log_message throws.
void dump_config(const nx::LinuxTarselConfig& config);

// "Syslog:<facility>", the file's path, "Stderr" (with ":ShowTimestamp") or
// "Auto"; the ident is not shown.
std::string log_to_string(const nx::Log& setting);

// Append the paths (the vector is not cleared): included_path, excluded_path,
// and excluded_proc followed by excluded_proc_auto, each in order.
void included_paths(const nx::LinuxTarselConfig& config, std::vector<std::string>& paths);
void excluded_paths(const nx::LinuxTarselConfig& config, std::vector<std::string>& paths);
void excluded_processes(const nx::LinuxTarselConfig& config, std::vector<std::string>& paths);

// Fills the flow options: the path lists appended, the eight actions, the
// timeout and the limits always set, so the defaults of ks::FlowOptions and
// ks::ActionSet never take effect (an absent action goes out as
// FILE_ACTION_CURE, an absent number as 0). cure_boot is never set.
void make_flow_options(const nx::LinuxTarselConfig& config, ks::FlowOptions* options);
