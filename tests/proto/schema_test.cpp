// The schemas as the generated descriptors hold them, compared with the
// shared schema tables of the suite: file names, packages, imports, every
// field's number, label, type and effective default, every enumeration's
// values in order with their display texts, and the custom options.
#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include "action.pb.h"
#include "annotation.pb.h"
#include "application.pb.h"
#include "disk.pb.h"
#include "error.pb.h"
#include "file.pb.h"
#include "kestrum_client_ipc.pb.h"
#include "linux_tarsel_appinfo.pb.h"
#include "linux_tarsel_config.pb.h"
#include "list.pb.h"
#include "log.pb.h"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "quarantine.pb.h"
#include "remote_user.pb.h"
#include "scan_report.pb.h"
#include "threat.pb.h"

namespace pb = google::protobuf;

namespace {

class schema_test : public ::testing::Test
{};

std::string join(const std::vector<std::string>& parts)
{
    std::string out;
    for (const std::string& p : parts) {
        if (!out.empty())
            out += "; ";
        out += p;
    }
    return out;
}

std::string type_text(const pb::FieldDescriptor& f)
{
    if (f.type() == pb::FieldDescriptor::TYPE_MESSAGE || f.type() == pb::FieldDescriptor::TYPE_GROUP)
        return f.message_type()->full_name();
    if (f.type() == pb::FieldDescriptor::TYPE_ENUM)
        return f.enum_type()->full_name();
    return f.type_name();
}

const char* label_text(const pb::FieldDescriptor& f)
{
    switch (f.label()) {
    case pb::FieldDescriptor::LABEL_REQUIRED: return "required";
    case pb::FieldDescriptor::LABEL_REPEATED: return "repeated";
    default: return "optional";
    }
}

// The value an absent field reads as, when it is not the type's zero: an
// enumeration always shows it (its first value unless one is declared).
std::string default_text(const pb::FieldDescriptor& f)
{
    if (f.is_repeated())
        return "";
    switch (f.cpp_type()) {
    case pb::FieldDescriptor::CPPTYPE_ENUM: return " (" + f.default_value_enum()->name() + ")";
    case pb::FieldDescriptor::CPPTYPE_BOOL: return f.default_value_bool() ? " (true)" : "";
    case pb::FieldDescriptor::CPPTYPE_UINT32:
        return f.default_value_uint32() ? " (" + std::to_string(f.default_value_uint32()) + ")" : "";
    case pb::FieldDescriptor::CPPTYPE_UINT64:
        return f.default_value_uint64() ? " (" + std::to_string(f.default_value_uint64()) + ")" : "";
    case pb::FieldDescriptor::CPPTYPE_INT32:
        return f.default_value_int32() ? " (" + std::to_string(f.default_value_int32()) + ")" : "";
    case pb::FieldDescriptor::CPPTYPE_INT64:
        return f.default_value_int64() ? " (" + std::to_string(f.default_value_int64()) + ")" : "";
    case pb::FieldDescriptor::CPPTYPE_STRING:
        return f.default_value_string().empty() ? "" : " (\"" + f.default_value_string() + "\")";
    default: return "";
    }
}

std::string field_text(const pb::FieldDescriptor& f)
{
    std::string out =
        std::to_string(f.number()) + " " + label_text(f) + " " + type_text(f) + " " + f.name() + default_text(f);
    if (f.options().HasExtension(nx::hint))
        out += " [hint " + nx::LexHint_Name(f.options().GetExtension(nx::hint)) + "]";
    return out;
}

// "number label type name (default)" for every field in number order, then
// the extension ranges.
std::string message_text(const pb::Descriptor& d)
{
    std::vector<const pb::FieldDescriptor*> fields;
    for (int i = 0; i < d.field_count(); ++i)
        fields.push_back(d.field(i));
    std::sort(fields.begin(), fields.end(),
              [](const pb::FieldDescriptor* a, const pb::FieldDescriptor* b) { return a->number() < b->number(); });
    std::vector<std::string> parts;
    for (const pb::FieldDescriptor* f : fields)
        parts.push_back(field_text(*f));
    for (int i = 0; i < d.extension_range_count(); ++i) {
        const pb::Descriptor::ExtensionRange* r = d.extension_range(i);
        parts.push_back("extensions " + std::to_string(r->start) + " to " + std::to_string(r->end - 1));
    }
    return join(parts);
}

// "number NAME "lex"" for every value in declaration order.
std::string enum_text_of(const pb::EnumDescriptor& e)
{
    std::vector<std::string> parts;
    for (int i = 0; i < e.value_count(); ++i) {
        const pb::EnumValueDescriptor* v = e.value(i);
        std::string part = std::to_string(v->number()) + " " + v->name();
        if (v->options().HasExtension(nx::lex))
            part += " \"" + v->options().GetExtension(nx::lex) + "\"";
        parts.push_back(part);
    }
    return join(parts);
}

std::string extension_text(const pb::FieldDescriptor& f)
{
    return f.name() + " " + std::to_string(f.number()) + " extends " + f.containing_type()->full_name() + " " +
           label_text(f) + " " + type_text(f);
}

struct file_row
{
    const char* name;
    const char* package;
    std::set<std::string> imports;
    std::set<std::string> messages;
    std::set<std::string> enums;
    std::set<std::string> extensions;
    std::function<const pb::FileDescriptor*()> generated;
};

const std::vector<file_row>& file_table()
{
    static const std::vector<file_row> table = {
        {"annotation.proto",
         "nx",
         {"google/protobuf/descriptor.proto"},
         {},
         {"LexHint"},
         {"app 50001 extends google.protobuf.MessageOptions optional int32",
          "ini_section 50002 extends google.protobuf.MessageOptions optional string",
          "hint 50001 extends google.protobuf.FieldOptions optional nx.LexHint",
          "lex 50001 extends google.protobuf.EnumValueOptions optional string"},
         [] { return nx::LexHint_descriptor()->file(); }},
        {"error.proto",
         "nx",
         {"annotation.proto"},
         {"Error"},
         {"ErrorCode"},
         {},
         [] { return nx::Error::descriptor()->file(); }},
        {"log.proto",
         "nx",
         {"annotation.proto"},
         {"Log"},
         {"LogLevel"},
         {},
         [] { return nx::Log::descriptor()->file(); }},
        {"action.proto",
         "nx",
         {"annotation.proto"},
         {},
         {"FileAction", "QEntryAction"},
         {},
         [] { return nx::FileAction_descriptor()->file(); }},
        {"list.proto", "nx", {}, {"StringList", "PathList"}, {}, {}, [] { return nx::PathList::descriptor()->file(); }},
        {"application.proto",
         "nx",
         {"annotation.proto", "error.proto"},
         {"AppInfo", "AppStat", "AppConfig"},
         {"Application"},
         {},
         [] { return nx::AppInfo::descriptor()->file(); }},
        {"linux_tarsel_config.proto",
         "nx",
         {"action.proto", "annotation.proto", "application.proto", "list.proto", "log.proto"},
         {"LinuxTarselConfig"},
         {"LinuxTarselMode"},
         {"linux_tarsel_config 201 extends nx.AppConfig optional nx.LinuxTarselConfig"},
         [] { return nx::LinuxTarselConfig::descriptor()->file(); }},
        {"linux_tarsel_appinfo.proto",
         "nx",
         {"annotation.proto", "application.proto"},
         {"LinuxTarselAppInfo"},
         {"LinuxTarselState"},
         {"linux_tarsel_info 201 extends nx.AppInfo optional nx.LinuxTarselAppInfo"},
         [] { return nx::LinuxTarselAppInfo::descriptor()->file(); }},
        {"ostrand_linux_tarsel_ipc.proto",
         "nx",
         {"error.proto", "linux_tarsel_appinfo.proto", "linux_tarsel_config.proto"},
         {"LinuxTarsel2OstrandMessage", "Ostrand2LinuxTarselMessage"},
         {},
         {},
         [] { return nx::LinuxTarsel2OstrandMessage::descriptor()->file(); }},
        {"kestrum_client_ipc.proto",
         "ks",
         {"action.proto", "application.proto", "disk.proto", "error.proto", "quarantine.proto", "scan_report.proto",
          "threat.proto", "remote_user.proto"},
         {"ClientMessage", "ServerMessage", "FlowOptions", "ActionSet", "ScanRequest", "ScanInfoOptions", "ScanDetails",
          "ScanProgress", "ScanResult", "ScanInfo", "ProxyOptions", "DirEntry"},
         {"ScanState"},
         {},
         [] { return ks::ClientMessage::descriptor()->file(); }},
        {"disk.proto", "nx", {}, {"Partition", "Disk"}, {}, {}, [] { return nx::Disk::descriptor()->file(); }},
        {"remote_user.proto", "nx", {}, {"RemoteUser"}, {}, {}, [] { return nx::RemoteUser::descriptor()->file(); }},
        {"file.proto", "nx", {}, {"XAttr", "FileStat"}, {}, {}, [] { return nx::FileStat::descriptor()->file(); }},
        {"scan_report.proto",
         "nx",
         {"annotation.proto"},
         {"Archive", "Virus", "ScanReport"},
         {"ArchiveType", "VirusType", "ScanError"},
         {},
         [] { return nx::ScanReport::descriptor()->file(); }},
        {"threat.proto",
         "nx",
         {"action.proto", "application.proto", "error.proto", "file.proto", "scan_report.proto", "remote_user.proto"},
         {"FileOperation", "FileThreat"},
         {},
         {},
         [] { return nx::FileThreat::descriptor()->file(); }},
        {"quarantine.proto",
         "nx",
         {"action.proto", "error.proto", "file.proto", "scan_report.proto", "remote_user.proto"},
         {"QEntryOperation", "QEntry"},
         {},
         {},
         [] { return nx::QEntry::descriptor()->file(); }},
    };
    return table;
}

const std::map<std::string, std::string>& message_table()
{
    static const std::map<std::string, std::string> table = {
        {"nx.Error", "1 required nx.ErrorCode code (EC_OK); 2 optional string what"},
        {"nx.Log", "1 required nx.Log.LogType type (SYSLOG); 2 optional nx.Log.LogFacility facility (DAEMON); "
                   "3 optional string ident; 10 optional string path; 20 optional bool show_timestamp"},
        {"nx.StringList", "1 repeated string item"},
        {"nx.PathList", "1 repeated string path"},
        {"nx.AppInfo",
         "1000 required nx.Application app (APP_LINUX_TARSEL); 1001 required uint32 pid; "
         "1002 optional uint32 config_revision; 1101 optional uint64 switch_off_time; "
         "1102 optional uint64 exit_time; 1103 optional nx.ErrorCode exit_code (EC_OK); extensions 1 to 999"},
        {"nx.AppStat",
         "1000 required nx.Application app (APP_LINUX_TARSEL); 1001 required uint32 pid; extensions 1 to 999"},
        {"nx.AppConfig", "1000 required nx.Application app (APP_LINUX_TARSEL); extensions 1 to 999"},
        {"nx.LinuxTarselConfig",
         "1 optional nx.LogLevel log_level (LOG_LEVEL_DEBUG); 2 optional nx.Log log; "
         "3 optional string exe_path [hint ABSPATH]; 4 optional bool start; "
         "10 optional nx.PathList included_path; 11 optional nx.PathList excluded_path; "
         "12 optional nx.LinuxTarselMode mode (LTM_AUTO); 13 optional nx.PathList excluded_proc; "
         "20 optional nx.FileAction on_known_virus (FILE_ACTION_CURE); "
         "21 optional nx.FileAction on_incurable (FILE_ACTION_CURE); "
         "22 optional nx.FileAction on_suspicious (FILE_ACTION_CURE); "
         "23 optional nx.FileAction on_adware (FILE_ACTION_CURE); "
         "24 optional nx.FileAction on_dialers (FILE_ACTION_CURE); "
         "25 optional nx.FileAction on_jokes (FILE_ACTION_CURE); "
         "26 optional nx.FileAction on_riskware (FILE_ACTION_CURE); "
         "27 optional nx.FileAction on_hacktools (FILE_ACTION_CURE); "
         "30 optional uint32 scan_timeout [hint TIME]; 31 optional bool heuristic_analysis; "
         "32 optional uint32 packer_max_level; 33 optional uint32 archive_max_level; "
         "34 optional uint32 mail_max_level; 35 optional uint32 container_max_level; "
         "36 optional uint32 max_compression_ratio; 1000 optional nx.Log actual_log; "
         "1100 optional nx.PathList excluded_proc_auto"},
        {"nx.LinuxTarselAppInfo", "1 optional nx.LinuxTarselState state (LTS_LOADING)"},
        {"nx.LinuxTarsel2OstrandMessage",
         "1 required nx.LinuxTarsel2OstrandMessage.MessageTag tag (GET_CONTEXT_REQUEST); "
         "2 optional uint32 config_revision; 4 optional nx.LinuxTarselAppInfo info"},
        {"nx.Ostrand2LinuxTarselMessage",
         "1 required nx.Ostrand2LinuxTarselMessage.MessageTag tag (GET_CONTEXT_RESPONSE); "
         "2 optional uint32 config_revision; 4 optional nx.LinuxTarselConfig config; "
         "6 optional string socket_path; 100 optional nx.Error error"},
        {"ks.ClientMessage",
         "1 required ks.ClientMessage.ClientMessageTag tag (START_SCAN_REQUEST); 2 optional uint32 serial; "
         "3 optional ks.ScanRequest scan_request; 4 optional uint32 task_id; "
         "5 optional ks.ScanInfoOptions info_options; 6 optional bytes path; 10 optional uint32 threat_id; "
         "11 optional bytes chunk_id; 20 optional string entry_id; 21 optional bytes restore_path; "
         "22 optional ks.ActionSet actions; 30 optional nx.Application origin (APP_LINUX_TARSEL); "
         "31 optional uint32 pid; 32 optional ks.FlowOptions flow_options; 33 repeated bytes flow_path; "
         "40 optional ks.ProxyOptions proxy_options; 41 optional nx.RemoteUser who"},
        {"ks.ServerMessage",
         "1 required ks.ServerMessage.ServerMessageTag tag (START_SCAN_RESPONSE); 2 optional uint32 serial; "
         "3 optional uint32 task_id; 4 repeated ks.ScanInfo info; 5 repeated ks.DirEntry direntry; "
         "6 repeated nx.FileThreat threats; 7 repeated nx.QEntry entries; 8 repeated bytes removed_chunks; "
         "10 repeated nx.Disk disks; 11 optional nx.ScanReport scan_report; 12 optional nx.FileThreat threat; "
         "100 optional nx.Error error"},
        {"ks.FlowOptions",
         "1 repeated bytes included_path; 2 repeated bytes excluded_path; 3 optional ks.ActionSet actions; "
         "30 optional uint32 scan_timeout_ms (30000); 31 optional bool heuristic_analysis (true); "
         "32 optional uint32 packer_max_level (8); 33 optional uint32 archive_max_level; "
         "34 optional uint32 mail_max_level (8); 35 optional uint32 container_max_level (8); "
         "36 optional uint32 max_compression_ratio (500)"},
        {"ks.ActionSet", "1 optional nx.FileAction on_known_virus (FILE_ACTION_REPORT); "
                         "2 optional nx.FileAction on_incurable (FILE_ACTION_REPORT); "
                         "3 optional nx.FileAction on_suspicious (FILE_ACTION_REPORT); "
                         "4 optional nx.FileAction on_adware (FILE_ACTION_REPORT); "
                         "5 optional nx.FileAction on_dialers (FILE_ACTION_REPORT); "
                         "6 optional nx.FileAction on_jokes (FILE_ACTION_REPORT); "
                         "7 optional nx.FileAction on_riskware (FILE_ACTION_REPORT); "
                         "8 optional nx.FileAction on_hacktools (FILE_ACTION_REPORT); 9 optional bool cure_boot"},
        {"ks.ScanRequest",
         "1 repeated bytes included_path; 2 repeated bytes excluded_path; 3 repeated bytes boot_dev_path; "
         "4 optional bool scan_processes; 10 required nx.Application origin (APP_LINUX_TARSEL); "
         "11 required uint32 origin_pid; 12 optional string comment; 20 optional ks.ActionSet actions; "
         "30 optional uint32 scan_timeout_ms; 31 optional bool heuristic_analysis (true); "
         "32 optional bool shell_trace; 40 optional uint32 packer_max_level (8); "
         "41 optional uint32 archive_max_level (8); 42 optional uint32 mail_max_level (8); "
         "43 optional uint32 container_max_level (8); 44 optional uint32 max_compression_ratio (500)"},
        {"ks.ScanInfoOptions",
         "1 optional uint32 progress_interval_ms; 3 optional bool report_clean; 4 optional bool report_errors; "
         "5 optional bool report_threats"},
        {"ks.ScanDetails", "1 required nx.Application origin (APP_LINUX_TARSEL); 2 required uint32 origin_pid; "
                           "3 required uint32 origin_uid; 4 required uint64 enqueue_time; 5 optional string comment"},
        {"ks.ScanProgress",
         "1 required bool traverse_done; 2 required uint64 files_to_scan; 3 required uint64 files_scanned; "
         "4 optional bytes scanning_now"},
        {"ks.ScanResult", "1 required uint64 stop_time; 2 required nx.ErrorCode final_status (EC_OK)"},
        {"ks.ScanInfo",
         "1 required uint32 task_id; 2 required ks.ScanState state (SCAN_STATE_PENDING); "
         "3 optional ks.ScanDetails details; 4 optional ks.ScanResult result; "
         "5 optional ks.ScanProgress progress; 6 repeated nx.ScanReport clean; 7 repeated nx.ScanReport error; "
         "8 repeated nx.FileThreat threat"},
        {"ks.ProxyOptions",
         "1 optional bool report_clean; 30 optional uint32 scan_timeout_ms (30000); "
         "31 optional bool heuristic_analysis (true); 32 optional uint32 packer_max_level (8); "
         "33 optional uint32 archive_max_level; 34 optional uint32 mail_max_level (8); "
         "35 optional uint32 container_max_level (8); 36 optional uint32 max_compression_ratio (500)"},
        {"ks.DirEntry", "1 required bytes name; 2 required bool is_directory"},
        {"nx.Partition", "1 required string dev_path; 2 required uint32 offset; 3 optional bytes mount_point; "
                         "4 optional bytes label"},
        {"nx.Disk", "1 required string dev_path; 2 required uint32 cylinders; 3 required uint32 heads; "
                    "4 required uint32 sectors; 5 required uint32 size; 6 optional bytes mount_point; "
                    "7 optional bytes label; 8 repeated nx.Partition partitions"},
        {"nx.RemoteUser", "1 optional string ip; 2 optional string user; 3 optional string domain"},
        {"nx.XAttr", "1 required string name; 2 required bytes value"},
        {"nx.FileStat",
         "1 required uint64 dev; 2 required uint64 ino; 3 optional uint64 size; 4 optional uint32 uid; "
         "5 optional uint32 gid; 6 optional uint32 mode; 7 optional uint64 mtime; 8 optional uint64 ctime; "
         "20 optional uint64 rsrc_size; 21 optional bytes finder_info; 22 optional bytes ext_finder_info; "
         "23 optional bool uchg; 24 optional string volume_name; 25 optional string volume_root; "
         "100 repeated nx.XAttr xattr"},
        {"nx.Archive", "1 required nx.ArchiveType type (HV_ARCHIVE); 2 required string name"},
        {"nx.Virus", "1 required nx.VirusType type (HV_KNOWN_VIRUS); 2 required string name"},
        {"nx.ScanReport",
         "1 required bytes object; 2 optional uint64 size; 3 repeated string packer; "
         "4 optional nx.Archive archive; 5 optional uint64 compressed_size; 6 repeated nx.Virus virus; "
         "7 optional nx.ScanError error (HV_PATH_NOT_ABSOLUTE); 8 optional bool cured; "
         "9 optional bool cured_by_deletion; 10 optional bool boot; 11 optional bool heuristic_analysis; "
         "12 optional uint32 scan_timeout_ms; 20 repeated nx.ScanReport item; 21 repeated bytes log"},
        {"nx.FileOperation", "1 required nx.FileAction action (FILE_ACTION_CURE); 2 required uint64 action_time; "
                             "3 required nx.ErrorCode result (EC_OK); 4 optional nx.ScanReport cure_report"},
        {"nx.FileThreat",
         "1 required uint32 threat_id; 2 required uint64 detection_time; 3 required nx.ScanReport report; "
         "4 required nx.FileStat stat; 5 required nx.Application origin (APP_LINUX_TARSEL); "
         "6 required uint32 origin_pid; 7 optional uint32 task_id; 8 optional nx.RemoteUser who; "
         "20 repeated nx.FileOperation history"},
        {"nx.QEntryOperation",
         "1 required nx.QEntryAction action (QENTRY_ACTION_DELETE); 2 required uint64 action_time; "
         "3 required nx.ErrorCode result (EC_OK); 5 optional string restore_path; "
         "6 optional nx.ScanReport rescan_report"},
        {"nx.QEntry",
         "1 required string entry_id; 2 optional bytes chunk_id; 3 optional bytes quarantine_dir; "
         "4 required bytes restore_path; 5 required uint64 creation_time; 6 required nx.ScanReport report; "
         "7 required nx.FileStat stat; 8 repeated nx.QEntryOperation history; 9 optional nx.RemoteUser who"},
    };
    return table;
}

// nx.ErrorCode has its own table test beside the error category.
const std::map<std::string, std::string>& enum_table()
{
    static const std::map<std::string, std::string> table = {
        {"nx.LexHint", "0 NONE; 1 MAP; 2 MAPS; 3 MAP_TAG; 10 ABSPATH; 11 TIME; 12 SIZE"},
        {"nx.LogLevel", R"(1 LOG_LEVEL_DEBUG "Debug"; 2 LOG_LEVEL_INFO "Info"; 3 LOG_LEVEL_NOTICE "Notice"; )"
                        R"(4 LOG_LEVEL_WARNING "Warning"; 5 LOG_LEVEL_ERROR "Error")"},
        {"nx.Log.LogType", R"(1 SYSLOG "Syslog"; 2 FILE "File"; 3 STDERR "Stderr"; 4 AUTO "Auto")"},
        {"nx.Log.LogFacility",
         R"(1 DAEMON "Daemon"; 2 USER "User"; 3 MAIL "Mail"; 10 LOCAL0 "Local0"; 11 LOCAL1 "Local1"; )"
         R"(12 LOCAL2 "Local2"; 13 LOCAL3 "Local3"; 14 LOCAL4 "Local4"; 15 LOCAL5 "Local5"; )"
         R"(16 LOCAL6 "Local6"; 17 LOCAL7 "Local7")"},
        {"nx.FileAction",
         R"(1 FILE_ACTION_CURE "Cure"; 2 FILE_ACTION_QUARANTINE "Quarantine"; 3 FILE_ACTION_DELETE "Delete"; )"
         R"(4 FILE_ACTION_REPORT "Report"; 5 FILE_ACTION_IGNORE "Ignore")"},
        {"nx.QEntryAction", R"(1 QENTRY_ACTION_DELETE "Delete"; 2 QENTRY_ACTION_RESTORE "Restore"; )"
                            R"(3 QENTRY_ACTION_RESCAN "Rescan"; 4 QENTRY_ACTION_CURE "Cure")"},
        {"nx.Application", R"(201 APP_LINUX_TARSEL "LinuxTarsel")"},
        {"nx.LinuxTarselMode", R"(0 LTM_AUTO "Auto"; 1 LTM_FANOTIFY "Fanotify"; 2 LTM_LKM "LKM")"},
        {"nx.LinuxTarselState", R"(0 LTS_LOADING "Loading"; 1 LTS_FANOTIFY "Fanotify"; 2 LTS_LKM "LKM")"},
        {"nx.LinuxTarsel2OstrandMessage.MessageTag",
         "1 GET_CONTEXT_REQUEST; 2 MY_INFO_NOTIFICATION; 3 GET_KESTRUM_REQUEST"},
        {"nx.Ostrand2LinuxTarselMessage.MessageTag", "1 GET_CONTEXT_RESPONSE; 3 GET_KESTRUM_RESPONSE"},
        {"ks.ClientMessage.ClientMessageTag",
         "1 START_SCAN_REQUEST; 2 INTERRUPT_SCAN_REQUEST; 3 SUBSCRIBE_TO_SCAN_INFO; "
         "4 UNSUBSCRIBE_FROM_SCAN_INFO; 5 LIST_DIR_REQUEST; 10 SUBSCRIBE_TO_THREATS; "
         "11 UNSUBSCRIBE_FROM_THREATS; 12 QUARANTINE_THREAT_REQUEST; 13 DELETE_THREAT_REQUEST; "
         "14 CURE_THREAT_REQUEST; 15 IGNORE_THREAT_REQUEST; 16 NEUTRALIZE_THREAT_REQUEST; "
         "20 SUBSCRIBE_TO_QUARANTINE; 21 UNSUBSCRIBE_FROM_QUARANTINE; 22 LIST_QUARANTINE_REQUEST; "
         "23 DELETE_QENTRY_REQUEST; 24 RESTORE_QENTRY_REQUEST; 30 OPEN_FLOW_REQUEST; "
         "31 FLOW_OPTIONS_NOTIFICATION; 32 FLOW_DATA_NOTIFICATION; 33 CLOSE_FLOW_REQUEST; "
         "40 OPEN_PROXY_REQUEST; 41 PROXY_OPTIONS_NOTIFICATION; 44 PROXY_SCAN_REQUEST; "
         "45 CLOSE_PROXY_REQUEST; 50 ENUMERATE_DISKS_REQUEST"},
        {"ks.ServerMessage.ServerMessageTag",
         "1 START_SCAN_RESPONSE; 2 INTERRUPT_SCAN_RESPONSE; 3 SCAN_INFO_NOTIFICATION; 4 LIST_DIR_RESPONSE; "
         "10 THREATS_NOTIFICATION; 11 THREATS_OP_RESPONSE; 20 QUARANTINE_NOTIFICATION; "
         "21 LIST_QUARANTINE_DATA; 22 LIST_QUARANTINE_RESPONSE; 23 QUARANTINE_OP_RESPONSE; "
         "30 OPEN_FLOW_RESPONSE; 32 CLOSE_FLOW_RESPONSE; 33 FLOW_ALARM; 40 OPEN_PROXY_RESPONSE; "
         "41 PROXY_SCAN_RESPONSE; 43 CLOSE_PROXY_RESPONSE; 50 ENUMERATE_DISKS_RESPONSE"},
        {"ks.ScanState", "1 SCAN_STATE_PENDING; 2 SCAN_STATE_RUNNING; 3 SCAN_STATE_FINISHED"},
        {"nx.ArchiveType", "1 HV_ARCHIVE; 2 HV_MAIL; 3 HV_CONTAINER"},
        {"nx.VirusType", R"(1 HV_KNOWN_VIRUS "Known virus"; 2 HV_VIRUS_MODIFICATION "Virus modification"; )"
                         R"(3 HV_UNKNOWN_VIRUS "Unknown virus"; 4 HV_ADWARE "Adware"; 5 HV_DIALER "Dialer"; )"
                         R"(6 HV_JOKE "Joke program"; 7 HV_RISKWARE "Riskware"; 8 HV_HACKTOOL "Hacktool")"},
        {"nx.ScanError",
         R"(1 HV_PATH_NOT_ABSOLUTE "Path is not absolute"; 2 HV_FILE_NOT_FOUND "File not found"; )"
         R"(3 HV_FILE_NOT_REGULAR "File is not regular"; 4 HV_FILE_NOT_BLOCK_DEVICE "File is not a block device"; )"
         R"(5 HV_NAME_TOO_LONG "Path or filename is too long"; 6 HV_NO_ACCESS "Permission denied"; )"
         R"(7 HV_READ_ERROR "Read error"; 8 HV_WRITE_ERROR "Write error"; 9 HV_FILE_TOO_LARGE "File size too big"; )"
         R"(10 HV_FILE_BUSY "File is busy"; 20 HV_UNPACKING_ERROR "Unpacking error"; )"
         R"(21 HV_PASSWORD_PROTECTED "Password protected"; 22 HV_ARCH_CRC_ERROR "Archive CRC error"; )"
         R"(23 HV_ARCH_INVALID_HEADER "Invalid archive header"; )"
         R"(24 HV_ARCH_NO_MEMORY "Not enough memory to process archive"; 25 HV_ARCH_INCOMPLETE "Incomplete archive"; )"
         R"(26 HV_CAN_NOT_BE_CURED "Cannot be cured"; 30 HV_PACKER_LEVEL_LIMIT "Packer nesting level limit reached"; )"
         R"(31 HV_ARCHIVE_LEVEL_LIMIT "Archive nesting level limit reached"; )"
         R"(32 HV_MAIL_LEVEL_LIMIT "Mail nesting level limit reached"; )"
         R"(33 HV_CONTAINER_LEVEL_LIMIT "Container nesting level limit reached"; )"
         R"(34 HV_COMPRESSION_LIMIT "Compression ratio limit reached"; )"
         R"(35 HV_REPORT_SIZE_LIMIT "Report size limit reached"; 40 HV_SCAN_TIMEOUT "Scan timeout expired"; )"
         R"(41 HV_ENGINE_CRASH "Engine crash detected"; 42 HV_ENGINE_HANGUP "Engine hang-up detected"; )"
         R"(43 HV_ENGINE_NOT_READY "Engine not available"; 44 HV_ENGINE_ERROR "Engine internal error"; )"
         R"(50 HV_NON_SUPPORTED_DISK "Non-supported disk"; 100 HV_UNEXPECTED_ERROR "Unexpected error")"},
    };
    return table;
}

template <typename Visit>
void for_each_message(const pb::Descriptor& d, Visit visit)
{
    visit(d);
    for (int i = 0; i < d.nested_type_count(); ++i)
        for_each_message(*d.nested_type(i), visit);
}

} // namespace

TEST_F(schema_test, files_are_registered_under_their_names)
{
    const pb::DescriptorPool* pool = pb::DescriptorPool::generated_pool();
    for (const file_row& row : file_table()) {
        SCOPED_TRACE(row.name);
        const pb::FileDescriptor* generated = row.generated();
        ASSERT_NE(generated, nullptr);
        EXPECT_EQ(generated->name(), row.name);
        const pb::FileDescriptor* file = pool->FindFileByName(row.name);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file, generated);
        EXPECT_EQ(file->package(), row.package);
        EXPECT_EQ(file->syntax(), pb::FileDescriptor::SYNTAX_PROTO2);

        std::set<std::string> imports, messages, enums, extensions;
        for (int i = 0; i < file->dependency_count(); ++i)
            imports.insert(file->dependency(i)->name());
        for (int i = 0; i < file->message_type_count(); ++i)
            messages.insert(file->message_type(i)->name());
        for (int i = 0; i < file->enum_type_count(); ++i)
            enums.insert(file->enum_type(i)->name());
        for (int i = 0; i < file->extension_count(); ++i)
            extensions.insert(extension_text(*file->extension(i)));
        EXPECT_EQ(imports, row.imports);
        EXPECT_EQ(messages, row.messages);
        EXPECT_EQ(enums, row.enums);
        EXPECT_EQ(extensions, row.extensions);
    }
}

TEST_F(schema_test, every_message_has_the_fields_of_the_tables)
{
    std::set<std::string> seen;
    for (const file_row& row : file_table()) {
        const pb::FileDescriptor* file = row.generated();
        for (int i = 0; i < file->message_type_count(); ++i) {
            for_each_message(*file->message_type(i), [&](const pb::Descriptor& d) {
                seen.insert(d.full_name());
                auto expected = message_table().find(d.full_name());
                if (expected == message_table().end()) {
                    ADD_FAILURE() << "message without a table entry: " << d.full_name() << ": " << message_text(d);
                    return;
                }
                EXPECT_EQ(message_text(d), expected->second) << d.full_name();
            });
        }
    }
    for (const auto& entry : message_table())
        EXPECT_EQ(seen.count(entry.first), 1u) << "no such message: " << entry.first;
}

TEST_F(schema_test, every_enumeration_has_the_values_of_the_tables)
{
    std::set<std::string> seen;
    auto check = [&](const pb::EnumDescriptor& e) {
        if (e.full_name() == "nx.ErrorCode")
            return;
        seen.insert(e.full_name());
        auto expected = enum_table().find(e.full_name());
        if (expected == enum_table().end()) {
            ADD_FAILURE() << "enumeration without a table entry: " << e.full_name() << ": " << enum_text_of(e);
            return;
        }
        EXPECT_EQ(enum_text_of(e), expected->second) << e.full_name();
    };
    for (const file_row& row : file_table()) {
        const pb::FileDescriptor* file = row.generated();
        for (int i = 0; i < file->enum_type_count(); ++i)
            check(*file->enum_type(i));
        for (int i = 0; i < file->message_type_count(); ++i)
            for_each_message(*file->message_type(i), [&](const pb::Descriptor& d) {
                for (int j = 0; j < d.enum_type_count(); ++j)
                    check(*d.enum_type(j));
            });
    }
    for (const auto& entry : enum_table())
        EXPECT_EQ(seen.count(entry.first), 1u) << "no such enumeration: " << entry.first;
}

TEST_F(schema_test, configuration_message_carries_its_options)
{
    const pb::MessageOptions& options = nx::LinuxTarselConfig::descriptor()->options();
    ASSERT_TRUE(options.HasExtension(nx::app));
    EXPECT_EQ(options.GetExtension(nx::app), 201);
    EXPECT_EQ(options.GetExtension(nx::app), nx::APP_LINUX_TARSEL);
    ASSERT_TRUE(options.HasExtension(nx::ini_section));
    EXPECT_EQ(options.GetExtension(nx::ini_section), "LinuxTarsel");
    EXPECT_EQ(nx::linux_tarsel_config.number(), 201);
    EXPECT_EQ(nx::linux_tarsel_info.number(), 201);
}

// What an absent field reads as on a fresh message, as the peers and the
// daemon rely on it.
TEST_F(schema_test, absent_fields_read_as_their_defaults)
{
    EXPECT_EQ(nx::LinuxTarsel2OstrandMessage().tag(), nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST);
    EXPECT_EQ(nx::Ostrand2LinuxTarselMessage().tag(), nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    EXPECT_EQ(ks::ServerMessage().tag(), ks::ServerMessage::START_SCAN_RESPONSE);
    EXPECT_EQ(ks::ClientMessage().tag(), ks::ClientMessage::START_SCAN_REQUEST);
    EXPECT_EQ(nx::Error().code(), nx::EC_OK);
    nx::Log log;
    EXPECT_EQ(log.type(), nx::Log::SYSLOG);
    EXPECT_EQ(log.facility(), nx::Log::DAEMON);
    EXPECT_FALSE(log.show_timestamp());
    nx::LinuxTarselConfig config;
    EXPECT_EQ(config.log_level(), nx::LOG_LEVEL_DEBUG);
    EXPECT_EQ(config.mode(), nx::LTM_AUTO);
    EXPECT_EQ(config.on_hacktools(), nx::FILE_ACTION_CURE);
    EXPECT_EQ(config.actual_log().type(), nx::Log::SYSLOG);
    ks::FlowOptions flow;
    EXPECT_EQ(flow.scan_timeout_ms(), 30000u);
    EXPECT_TRUE(flow.heuristic_analysis());
    EXPECT_EQ(flow.archive_max_level(), 0u);
    EXPECT_EQ(flow.max_compression_ratio(), 500u);
    EXPECT_EQ(flow.actions().on_known_virus(), nx::FILE_ACTION_REPORT);
    EXPECT_FALSE(flow.actions().cure_boot());
    EXPECT_EQ(nx::LinuxTarselAppInfo().state(), nx::LTS_LOADING);
}
