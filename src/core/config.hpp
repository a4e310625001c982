// Application of the configuration that Ostrand sends, its debug dump, and
// what the other components read of it. Main thread only.
#pragma once

#include <string>
#include <vector>

#include "kestrum_client_ipc.pb.h"
#include "linux_tarsel_config.pb.h"
#include "log.pb.h"

// Replaces current by a copy of received, sets the log threshold from its
// log_level (absent: Debug), installs a new sink built from its actual_log
// (absent: syslog, facility DAEMON, no ident) and dumps it at Debug level.
// Throws boost::filesystem::filesystem_error as make_log_sink does (a log
// file path that is not absolute, a log file that cannot be opened); the copy
// and the threshold are then in force already, the previous sink stays
// installed and nothing is dumped.
void apply_config(nx::LinuxTarselConfig& current, const nx::LinuxTarselConfig& received);

// One Debug line per shown field (the TS_TEXT_DUMP_ texts of
// core/core_texts.hpp), while the threshold is Debug. Shows `log`, never
// `actual_log`, and `excluded_proc` without `excluded_proc_auto`. Throws what
// log_message throws.
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
