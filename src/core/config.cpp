#include "core/config.hpp"

#include <sstream>
#include <utility>

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
            text += config_dump::path_separator;
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
        {config_dump::log_level, enum_text<nx::LogLevel>(config.log_level())},
        {config_dump::log, log_to_string(config.log())},
        {config_dump::included_path, joined(config.included_path())},
        {config_dump::excluded_path, joined(config.excluded_path())},
        {config_dump::mode, enum_text<nx::LinuxTarselMode>(config.mode())},
        {config_dump::excluded_proc, joined(config.excluded_proc())},
        {config_dump::on_known_virus, action_text(config.on_known_virus())},
        {config_dump::on_incurable, action_text(config.on_incurable())},
        {config_dump::on_suspicious, action_text(config.on_suspicious())},
        {config_dump::on_adware, action_text(config.on_adware())},
        {config_dump::on_dialers, action_text(config.on_dialers())},
        {config_dump::on_jokes, action_text(config.on_jokes())},
        {config_dump::on_riskware, action_text(config.on_riskware())},
        {config_dump::on_hacktools, action_text(config.on_hacktools())},
        {config_dump::scan_timeout, number_text(config.scan_timeout())},
        {config_dump::heuristic_analysis, config.heuristic_analysis() ? "1" : "0"},
        {config_dump::packer_max_level, number_text(config.packer_max_level())},
        {config_dump::archive_max_level, number_text(config.archive_max_level())},
        {config_dump::mail_max_level, number_text(config.mail_max_level())},
        {config_dump::container_max_level, number_text(config.container_max_level())},
        {config_dump::max_compression_ratio, number_text(config.max_compression_ratio())},
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
        return enum_text<nx::Log::LogType>(setting.type()) + LOG_TEXT_SEPARATOR + enum_text<nx::Log::LogFacility>(setting.facility());
    case nx::Log::FILE:
        return setting.path();
    case nx::Log::STDERR:
        return enum_text<nx::Log::LogType>(setting.type()) + (setting.show_timestamp() ? LOG_TEXT_SHOW_TIMESTAMP : "");
    case nx::Log::AUTO:
        return enum_text<nx::Log::LogType>(setting.type());
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
