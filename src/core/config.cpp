#include "core/config.hpp"

#include <sstream>
#include <utility>

#include "core/core_texts.hpp"
#include "error/enum_text.hpp"
#include "log/log.hpp"

namespace {

void append(const nx::PathList& list, std::vector<std::string>& paths)
{
    paths.insert(paths.end(), list.path().begin(), list.path().end());
}

std::string joined(const nx::PathList& list)
{
    std::string text;
    for (int i = 0; i < list.path_size(); ++i) {
        if (i > 0)
            text += TS_TEXT_DUMP_PATH_SEPARATOR;
        text += list.path(i);
    }
    return text;
}

std::string action_text(int action)
{
    return enum_text<nx::FileAction>(action);
}

std::string number_text(unsigned long value)
{
    return std::to_string(value);
}

} // namespace

void apply_config(nx::LinuxTarselConfig& current, const nx::LinuxTarselConfig& received)
{
    current = received;
    log_threshold = log_level_from_config(current.log_level());
    set_log_sink(make_log_sink(current.actual_log()));
    dump_config(current);
}

void dump_config(const nx::LinuxTarselConfig& config)
{
    if (!log_wanted(LOG_DEBUG_LEVEL))
        return;
    const std::pair<const char*, std::string> lines[] = {
        {TS_TEXT_DUMP_LOG_LEVEL, enum_text<nx::LogLevel>(config.log_level())},
        {TS_TEXT_DUMP_LOG, log_to_string(config.log())},
        {TS_TEXT_DUMP_INCLUDED_PATH, joined(config.included_path())},
        {TS_TEXT_DUMP_EXCLUDED_PATH, joined(config.excluded_path())},
        {TS_TEXT_DUMP_MODE, enum_text<nx::LinuxTarselMode>(config.mode())},
        {TS_TEXT_DUMP_EXCLUDED_PROC, joined(config.excluded_proc())},
        {TS_TEXT_DUMP_ON_KNOWN_VIRUS, action_text(config.on_known_virus())},
        {TS_TEXT_DUMP_ON_INCURABLE, action_text(config.on_incurable())},
        {TS_TEXT_DUMP_ON_SUSPICIOUS, action_text(config.on_suspicious())},
        {TS_TEXT_DUMP_ON_ADWARE, action_text(config.on_adware())},
        {TS_TEXT_DUMP_ON_DIALERS, action_text(config.on_dialers())},
        {TS_TEXT_DUMP_ON_JOKES, action_text(config.on_jokes())},
        {TS_TEXT_DUMP_ON_RISKWARE, action_text(config.on_riskware())},
        {TS_TEXT_DUMP_ON_HACKTOOLS, action_text(config.on_hacktools())},
        {TS_TEXT_DUMP_SCAN_TIMEOUT, number_text(config.scan_timeout())},
        {TS_TEXT_DUMP_HEURISTIC_ANALYSIS, config.heuristic_analysis() ? "1" : "0"},
        {TS_TEXT_DUMP_PACKER_MAX_LEVEL, number_text(config.packer_max_level())},
        {TS_TEXT_DUMP_ARCHIVE_MAX_LEVEL, number_text(config.archive_max_level())},
        {TS_TEXT_DUMP_MAIL_MAX_LEVEL, number_text(config.mail_max_level())},
        {TS_TEXT_DUMP_CONTAINER_MAX_LEVEL, number_text(config.container_max_level())},
        {TS_TEXT_DUMP_MAX_COMPRESSION_RATIO, number_text(config.max_compression_ratio())},
    };
    for (const auto& line : lines) {
        // The threshold may change meanwhile: NT_LOG tests it for every line.
        NT_LOG(LOG_DEBUG_LEVEL, line.first << line.second);
    }
}

std::string log_to_string(const nx::Log& setting)
{
    switch (setting.type()) {
    case nx::Log::SYSLOG:
        return enum_text<nx::Log::LogType>(setting.type()) + TS_TEXT_LOG_SETTING_SEPARATOR +
               enum_text<nx::Log::LogFacility>(setting.facility());
    case nx::Log::FILE: return setting.path();
    case nx::Log::STDERR:
        return enum_text<nx::Log::LogType>(setting.type()) +
               (setting.show_timestamp() ? TS_TEXT_LOG_SETTING_SHOW_TIMESTAMP : "");
    case nx::Log::AUTO: return enum_text<nx::Log::LogType>(setting.type());
    }
    return std::string();
}

void included_paths(const nx::LinuxTarselConfig& config, std::vector<std::string>& paths)
{
    append(config.included_path(), paths);
}

void excluded_paths(const nx::LinuxTarselConfig& config, std::vector<std::string>& paths)
{
    append(config.excluded_path(), paths);
}

void excluded_processes(const nx::LinuxTarselConfig& config, std::vector<std::string>& paths)
{
    append(config.excluded_proc(), paths);
    append(config.excluded_proc_auto(), paths);
}

void make_flow_options(const nx::LinuxTarselConfig& config, ks::FlowOptions* options)
{
    for (const std::string& path : config.included_path().path())
        options->add_included_path(path);
    for (const std::string& path : config.excluded_path().path())
        options->add_excluded_path(path);
    ks::ActionSet* actions = options->mutable_actions();
    actions->set_on_known_virus(config.on_known_virus());
    actions->set_on_incurable(config.on_incurable());
    actions->set_on_suspicious(config.on_suspicious());
    actions->set_on_adware(config.on_adware());
    actions->set_on_dialers(config.on_dialers());
    actions->set_on_jokes(config.on_jokes());
    actions->set_on_riskware(config.on_riskware());
    actions->set_on_hacktools(config.on_hacktools());
    options->set_scan_timeout_ms(config.scan_timeout());
    options->set_heuristic_analysis(config.heuristic_analysis());
    options->set_packer_max_level(config.packer_max_level());
    options->set_archive_max_level(config.archive_max_level());
    options->set_mail_max_level(config.mail_max_level());
    options->set_container_max_level(config.container_max_level());
    options->set_max_compression_ratio(config.max_compression_ratio());
}
