// The messages that travel between the daemon and its peers, against bytes
// worked out by hand from the schema tables: a wrong field number, wire
// type or enumeration value in a schema changes the bytes.
#include <string>

#include <google/protobuf/unknown_field_set.h>
#include <google/protobuf/util/message_differencer.h>
#include <gtest/gtest.h>

#include "application.pb.h"
#include "error.pb.h"
#include "kestrum_client_ipc.pb.h"
#include "linux_tarsel_appinfo.pb.h"
#include "linux_tarsel_config.pb.h"
#include "list.pb.h"
#include "log.pb.h"
#include "ostrand_linux_tarsel_ipc.pb.h"
#include "peers/bytes.hpp"

using nt::hex_bytes;
using nt::to_hex;

namespace {

class wire_test : public ::testing::Test
{
protected:
    // The message serialises to exactly these bytes, and the bytes parse,
    // complete, back to an equal message.
    template <typename M>
    void expect_wire(const M& built, const std::string& hex)
    {
        const std::string expected = hex_bytes(hex);
        EXPECT_EQ(to_hex(built.SerializeAsString()), to_hex(expected)) << M::descriptor()->full_name();
        M parsed;
        EXPECT_TRUE(parsed.ParseFromString(expected)) << M::descriptor()->full_name();
        EXPECT_TRUE(google::protobuf::util::MessageDifferencer::Equals(parsed, built))
            << M::descriptor()->full_name() << "\nparsed: " << parsed.ShortDebugString()
            << "\nbuilt:  " << built.ShortDebugString();
    }

    // Parses bytes the way the links do: whatever was read is kept.
    template <typename M>
    M parse_partial(const std::string& hex)
    {
        M m;
        m.ParsePartialFromString(hex_bytes(hex));
        return m;
    }
};

int unknown_field_count(const google::protobuf::Message& m)
{
    return m.GetReflection()->GetUnknownFields(m).field_count();
}

} // namespace

TEST_F(wire_test, daemon_to_ostrand)
{
    nx::LinuxTarsel2OstrandMessage m;
    m.set_tag(nx::LinuxTarsel2OstrandMessage::GET_CONTEXT_REQUEST);
    expect_wire(m, "08 01");

    m.Clear();
    m.set_tag(nx::LinuxTarsel2OstrandMessage::MY_INFO_NOTIFICATION);
    m.set_config_revision(0);
    m.mutable_info()->set_state(nx::LTS_LOADING);
    expect_wire(m, "08 02 10 00 22 02 08 00");

    m.set_config_revision(300);
    m.mutable_info()->set_state(nx::LTS_LKM);
    expect_wire(m, "08 02 10 ac 02 22 02 08 02");

    m.set_config_revision(4294967295u);
    m.mutable_info()->set_state(nx::LTS_FANOTIFY);
    expect_wire(m, "08 02 10 ff ff ff ff 0f 22 02 08 01");

    m.Clear();
    m.set_tag(nx::LinuxTarsel2OstrandMessage::GET_KESTRUM_REQUEST);
    expect_wire(m, "08 03");
}

TEST_F(wire_test, ostrand_to_daemon)
{
    nx::Ostrand2LinuxTarselMessage m;
    m.set_tag(nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE);
    m.mutable_error()->set_code(nx::EC_NO_HALVERN);
    expect_wire(m, "08 03 a2 06 02 08 77");

    m.mutable_error()->set_code(nx::EC_NO_SUCH_ENTRY);
    m.mutable_error()->set_what("gone");
    expect_wire(m, "08 03 a2 06 08 08 17 12 04 67 6f 6e 65");

    m.Clear();
    m.set_tag(nx::Ostrand2LinuxTarselMessage::GET_KESTRUM_RESPONSE);
    m.set_socket_path("/k");
    expect_wire(m, "08 03 32 02 2f 6b");
    m.set_socket_path(std::string("\0k", 2));
    expect_wire(m, "08 03 32 02 00 6b");
    m.set_socket_path("/k");
    m.mutable_error()->set_code(nx::EC_OK);
    expect_wire(m, "08 03 32 02 2f 6b a2 06 02 08 00");

    m.Clear();
    m.set_tag(nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    m.set_config_revision(5);
    m.mutable_config()->mutable_actual_log()->set_type(nx::Log::STDERR);
    m.mutable_config()->mutable_actual_log()->set_show_timestamp(true);
    expect_wire(m, "08 01 10 05 22 08 c2 3e 05 08 03 a0 01 01");

    m.Clear();
    m.set_tag(nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    m.set_config_revision(7);
    expect_wire(m, "08 01 10 07");
}

TEST_F(wire_test, configuration_with_every_field)
{
    nx::LinuxTarselConfig c;
    c.set_log_level(nx::LOG_LEVEL_INFO);
    c.mutable_log()->set_type(nx::Log::FILE);
    c.mutable_log()->set_facility(nx::Log::LOCAL3);
    c.mutable_log()->set_ident("i");
    c.mutable_log()->set_path("/l");
    c.mutable_log()->set_show_timestamp(true);
    c.set_exe_path("/e");
    c.set_start(true);
    c.mutable_included_path()->add_path("/i");
    c.mutable_excluded_path()->add_path("/x");
    c.set_mode(nx::LTM_LKM);
    c.mutable_excluded_proc()->add_path("/p");
    c.set_on_known_virus(nx::FILE_ACTION_CURE);
    c.set_on_incurable(nx::FILE_ACTION_QUARANTINE);
    c.set_on_suspicious(nx::FILE_ACTION_DELETE);
    c.set_on_adware(nx::FILE_ACTION_REPORT);
    c.set_on_dialers(nx::FILE_ACTION_IGNORE);
    c.set_on_jokes(nx::FILE_ACTION_CURE);
    c.set_on_riskware(nx::FILE_ACTION_QUARANTINE);
    c.set_on_hacktools(nx::FILE_ACTION_DELETE);
    c.set_scan_timeout(4294967295u);
    c.set_heuristic_analysis(true);
    c.set_packer_max_level(1);
    c.set_archive_max_level(2);
    c.set_mail_max_level(3);
    c.set_container_max_level(4);
    c.set_max_compression_ratio(300);
    c.mutable_actual_log()->set_type(nx::Log::STDERR);
    c.mutable_actual_log()->set_show_timestamp(true);
    c.mutable_excluded_proc_auto()->add_path("/q");
    expect_wire(c, "08 02"
                   " 12 0e 08 02 10 0d 1a 01 69 52 02 2f 6c a0 01 01"
                   " 1a 02 2f 65"
                   " 20 01"
                   " 52 04 0a 02 2f 69"
                   " 5a 04 0a 02 2f 78"
                   " 60 02"
                   " 6a 04 0a 02 2f 70"
                   " a0 01 01 a8 01 02 b0 01 03 b8 01 04 c0 01 05 c8 01 01 d0 01 02 d8 01 03"
                   " f0 01 ff ff ff ff 0f"
                   " f8 01 01"
                   " 80 02 01 88 02 02 90 02 03 98 02 04 a0 02 ac 02"
                   " c2 3e 05 08 03 a0 01 01"
                   " e2 44 04 0a 02 2f 71");
}

TEST_F(wire_test, shared_envelopes_and_lists)
{
    nx::AppConfig config;
    config.set_app(nx::APP_LINUX_TARSEL);
    config.MutableExtension(nx::linux_tarsel_config)->set_start(true);
    expect_wire(config, "ca 0c 02 20 01 c0 3e c9 01");

    nx::AppInfo info;
    info.set_app(nx::APP_LINUX_TARSEL);
    info.set_pid(7);
    info.set_config_revision(3);
    info.set_switch_off_time(1);
    info.set_exit_time(2);
    info.set_exit_code(nx::EC_NO_HALVERN);
    info.MutableExtension(nx::linux_tarsel_info)->set_state(nx::LTS_LKM);
    expect_wire(info, "ca 0c 02 08 02 c0 3e c9 01 c8 3e 07 d0 3e 03 e8 44 01 f0 44 02 f8 44 77");

    nx::AppStat stat;
    stat.set_app(nx::APP_LINUX_TARSEL);
    stat.set_pid(9);
    expect_wire(stat, "c0 3e c9 01 c8 3e 09");

    nx::Error error;
    error.set_code(nx::EC_UNEXPECTED_ERROR);
    error.set_what("x");
    expect_wire(error, "08 7d 12 01 78");

    nx::StringList strings;
    strings.add_item("a");
    strings.add_item("");
    expect_wire(strings, "0a 01 61 0a 00");
}

TEST_F(wire_test, flow_messages_of_the_client)
{
    // Flow options as built from a configuration that only names "/w".
    ks::ClientMessage open;
    open.set_tag(ks::ClientMessage::OPEN_FLOW_REQUEST);
    open.set_origin(nx::APP_LINUX_TARSEL);
    open.set_pid(1234);
    ks::FlowOptions* small = open.mutable_flow_options();
    small->add_included_path("/w");
    ks::ActionSet* cure = small->mutable_actions();
    cure->set_on_known_virus(nx::FILE_ACTION_CURE);
    cure->set_on_incurable(nx::FILE_ACTION_CURE);
    cure->set_on_suspicious(nx::FILE_ACTION_CURE);
    cure->set_on_adware(nx::FILE_ACTION_CURE);
    cure->set_on_dialers(nx::FILE_ACTION_CURE);
    cure->set_on_jokes(nx::FILE_ACTION_CURE);
    cure->set_on_riskware(nx::FILE_ACTION_CURE);
    cure->set_on_hacktools(nx::FILE_ACTION_CURE);
    small->set_scan_timeout_ms(0);
    small->set_heuristic_analysis(false);
    small->set_packer_max_level(0);
    small->set_archive_max_level(0);
    small->set_mail_max_level(0);
    small->set_container_max_level(0);
    small->set_max_compression_ratio(0);
    expect_wire(open, "08 1e f0 01 c9 01 f8 01 d2 09 82 02 2b"
                      " 0a 02 2f 77"
                      " 1a 10 08 01 10 01 18 01 20 01 28 01 30 01 38 01 40 01"
                      " f0 01 00 f8 01 00 80 02 00 88 02 00 90 02 00 98 02 00 a0 02 00");

    // Every field of the options, each with a value of its own.
    ks::ClientMessage options;
    options.set_tag(ks::ClientMessage::FLOW_OPTIONS_NOTIFICATION);
    ks::FlowOptions* full = options.mutable_flow_options();
    full->add_included_path("/a");
    full->add_included_path("/b");
    full->add_excluded_path("/c");
    ks::ActionSet* actions = full->mutable_actions();
    actions->set_on_known_virus(nx::FILE_ACTION_CURE);
    actions->set_on_incurable(nx::FILE_ACTION_QUARANTINE);
    actions->set_on_suspicious(nx::FILE_ACTION_DELETE);
    actions->set_on_adware(nx::FILE_ACTION_REPORT);
    actions->set_on_dialers(nx::FILE_ACTION_IGNORE);
    actions->set_on_jokes(nx::FILE_ACTION_CURE);
    actions->set_on_riskware(nx::FILE_ACTION_QUARANTINE);
    actions->set_on_hacktools(nx::FILE_ACTION_DELETE);
    actions->set_cure_boot(true);
    full->set_scan_timeout_ms(7);
    full->set_heuristic_analysis(true);
    full->set_packer_max_level(1);
    full->set_archive_max_level(2);
    full->set_mail_max_level(3);
    full->set_container_max_level(4);
    full->set_max_compression_ratio(300);
    expect_wire(options, "08 1f 82 02 36"
                         " 0a 02 2f 61 0a 02 2f 62 12 02 2f 63"
                         " 1a 12 08 01 10 02 18 03 20 04 28 05 30 01 38 02 40 03 48 01"
                         " f0 01 07 f8 01 01 80 02 01 88 02 02 90 02 03 98 02 04 a0 02 ac 02");

    // Paths are bytes: no UTF-8 check, no terminator, NUL kept.
    ks::ClientMessage data;
    data.set_tag(ks::ClientMessage::FLOW_DATA_NOTIFICATION);
    data.add_flow_path("/t/\xff\xfe");
    data.add_flow_path(std::string("/a\0b", 4));
    expect_wire(data, "08 20 8a 02 05 2f 74 2f ff fe 8a 02 04 2f 61 00 62");
    ks::ClientMessage parsed;
    ASSERT_TRUE(parsed.ParseFromString(hex_bytes("08 20 8a 02 05 2f 74 2f ff fe 8a 02 04 2f 61 00 62")));
    ASSERT_EQ(parsed.flow_path_size(), 2);
    EXPECT_EQ(parsed.flow_path(0), "/t/\xff\xfe");
    EXPECT_EQ(parsed.flow_path(1), std::string("/a\0b", 4));
}

TEST_F(wire_test, flow_messages_of_the_server)
{
    ks::ServerMessage m;
    m.set_tag(ks::ServerMessage::OPEN_FLOW_RESPONSE);
    expect_wire(m, "08 1e");
    m.set_tag(ks::ServerMessage::CLOSE_FLOW_RESPONSE);
    expect_wire(m, "08 20");
    m.set_tag(ks::ServerMessage::FLOW_ALARM);
    expect_wire(m, "08 21");
    m.mutable_error()->set_code(nx::EC_NO_HALVERN);
    expect_wire(m, "08 21 a2 06 02 08 77");
    m.Clear();
    m.set_tag(ks::ServerMessage::ENUMERATE_DISKS_RESPONSE);
    expect_wire(m, "08 32");
}

// Fields the daemon never reads, filled with their required parts; they must
// parse whole beside the tag.
TEST_F(wire_test, server_message_with_every_kind_of_field)
{
    const char* file_threat = "08 01 10 02 1a 03 0a 01 6f 22 04 08 05 10 06 28 c9 01 30 07";
    const std::string bytes = hex_bytes(std::string("08 0b 10 07 18 09") +
                                        " 22 04 08 01 10 02"    // info
                                        " 2a 05 0a 01 6e 10 01" // direntry
                                        " 32 14 " +
                                        file_threat +                                                     // threats
                                        " 3a 13 0a 01 65 22 01 72 28 08 32 03 0a 01 6f 3a 04 08 05 10 06" // entries
                                        " 42 01 63"                               // removed_chunks
                                        " 52 0b 0a 01 64 10 01 18 02 20 03 28 04" // disks
                                        " 5a 03 0a 01 6f"                         // scan_report
                                        " 62 14 " +
                                        file_threat +       // threat
                                        " a2 06 02 08 16"); // error
    ks::ServerMessage m;
    ASSERT_TRUE(m.ParseFromString(bytes));
    EXPECT_EQ(m.tag(), ks::ServerMessage::THREATS_OP_RESPONSE);
    EXPECT_EQ(m.serial(), 7u);
    EXPECT_EQ(m.task_id(), 9u);
    ASSERT_EQ(m.info_size(), 1);
    EXPECT_EQ(m.info(0).state(), ks::SCAN_STATE_RUNNING);
    ASSERT_EQ(m.direntry_size(), 1);
    EXPECT_TRUE(m.direntry(0).is_directory());
    ASSERT_EQ(m.threats_size(), 1);
    EXPECT_EQ(m.threats(0).stat().ino(), 6u);
    EXPECT_EQ(m.threats(0).origin(), nx::APP_LINUX_TARSEL);
    EXPECT_EQ(m.threats(0).origin_pid(), 7u);
    ASSERT_EQ(m.entries_size(), 1);
    EXPECT_EQ(m.entries(0).restore_path(), "r");
    EXPECT_EQ(m.entries(0).creation_time(), 8u);
    EXPECT_EQ(m.removed_chunks(0), "c");
    ASSERT_EQ(m.disks_size(), 1);
    EXPECT_EQ(m.disks(0).size(), 4u);
    EXPECT_EQ(m.scan_report().object(), "o");
    EXPECT_EQ(m.threat().report().object(), "o");
    EXPECT_EQ(m.error().code(), nx::EC_IO_ERROR);
    EXPECT_EQ(unknown_field_count(m), 0);
    EXPECT_EQ(to_hex(m.SerializeAsString()), to_hex(bytes));
}

TEST_F(wire_test, enumeration_numbers_outside_the_schema_read_as_the_default)
{
    nx::Log log = parse_partial<nx::Log>("08 07");
    EXPECT_FALSE(log.has_type());
    EXPECT_EQ(log.type(), nx::Log::SYSLOG);
    ASSERT_EQ(unknown_field_count(log), 1);
    EXPECT_EQ(log.GetReflection()->GetUnknownFields(log).field(0).number(), 1);
    EXPECT_EQ(log.GetReflection()->GetUnknownFields(log).field(0).varint(), 7u);
    EXPECT_EQ(to_hex(log.SerializePartialAsString()), "08 07");

    nx::Log facility = parse_partial<nx::Log>("08 03 10 04");
    EXPECT_EQ(facility.type(), nx::Log::STDERR);
    EXPECT_FALSE(facility.has_facility());
    EXPECT_EQ(facility.facility(), nx::Log::DAEMON);

    ks::ServerMessage tag31 = parse_partial<ks::ServerMessage>("08 1f");
    EXPECT_FALSE(tag31.has_tag());
    EXPECT_EQ(tag31.tag(), ks::ServerMessage::START_SCAN_RESPONSE);
    EXPECT_EQ(unknown_field_count(tag31), 1);

    ks::ServerMessage negative = parse_partial<ks::ServerMessage>("08 ff ff ff ff ff ff ff ff ff 01");
    EXPECT_EQ(negative.tag(), ks::ServerMessage::START_SCAN_RESPONSE);

    nx::Error code12 = parse_partial<nx::Error>("08 0c");
    EXPECT_FALSE(code12.has_code());
    EXPECT_EQ(code12.code(), nx::EC_OK);

    ks::ServerMessage alarm = parse_partial<ks::ServerMessage>("08 21 a2 06 02 08 0c");
    EXPECT_EQ(alarm.tag(), ks::ServerMessage::FLOW_ALARM);
    EXPECT_TRUE(alarm.has_error());
    EXPECT_EQ(alarm.error().code(), nx::EC_OK);

    nx::Ostrand2LinuxTarselMessage tag2 = parse_partial<nx::Ostrand2LinuxTarselMessage>("08 02");
    EXPECT_EQ(tag2.tag(), nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    nx::Ostrand2LinuxTarselMessage tag0 = parse_partial<nx::Ostrand2LinuxTarselMessage>("08 00 10 03");
    EXPECT_EQ(tag0.tag(), nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    EXPECT_EQ(tag0.config_revision(), 3u);

    nx::LinuxTarselConfig config = parse_partial<nx::LinuxTarselConfig>("08 09 60 03 a0 01 00");
    EXPECT_EQ(config.log_level(), nx::LOG_LEVEL_DEBUG);
    EXPECT_EQ(config.mode(), nx::LTM_AUTO);
    EXPECT_EQ(config.on_known_virus(), nx::FILE_ACTION_CURE);
    EXPECT_FALSE(config.has_log_level() || config.has_mode() || config.has_on_known_virus());

    ks::ClientMessage client = parse_partial<ks::ClientMessage>("08 22");
    EXPECT_EQ(client.tag(), ks::ClientMessage::START_SCAN_REQUEST);
}

TEST_F(wire_test, incomplete_and_malformed_bodies_keep_what_was_read)
{
    ks::ServerMessage empty;
    EXPECT_FALSE(empty.ParseFromString(std::string()));
    EXPECT_EQ(empty.tag(), ks::ServerMessage::START_SCAN_RESPONSE);

    nx::Ostrand2LinuxTarselMessage context;
    EXPECT_FALSE(context.ParseFromString(std::string()));
    EXPECT_EQ(context.tag(), nx::Ostrand2LinuxTarselMessage::GET_CONTEXT_RESPONSE);
    EXPECT_FALSE(context.has_config());
    EXPECT_EQ(context.config_revision(), 0u);

    // An undeclared field (1001) is skipped.
    ks::ServerMessage extra;
    EXPECT_TRUE(extra.ParseFromString(hex_bytes("08 1e c8 3e 05")));
    EXPECT_EQ(extra.tag(), ks::ServerMessage::OPEN_FLOW_RESPONSE);
    EXPECT_EQ(unknown_field_count(extra), 1);

    // The tag sent with the wrong wire type is no tag.
    ks::ServerMessage wrong_type = parse_partial<ks::ServerMessage>("0a 01 1e");
    EXPECT_FALSE(wrong_type.has_tag());
    EXPECT_EQ(wrong_type.tag(), ks::ServerMessage::START_SCAN_RESPONSE);

    // Cut off inside the error: the tag read before the fault stays.
    ks::ServerMessage cut;
    EXPECT_FALSE(cut.ParseFromString(hex_bytes("08 21 a2 06 05 08 77")));
    EXPECT_EQ(cut.tag(), ks::ServerMessage::FLOW_ALARM);
}
