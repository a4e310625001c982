#include <climits>
#include <functional>
#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <gtest/gtest.h>

#include "action.pb.h"
#include "annotation.pb.h"
#include "application.pb.h"
#include "error.pb.h"
#include "error/enum_text.hpp"
#include "linux_tarsel_config.pb.h"
#include "log.pb.h"

namespace {

class enum_text_test : public ::testing::Test
{};

} // namespace

TEST_F(enum_text_test, value_text_number_or_decimal)
{
    struct row
    {
        const char* what;
        std::function<std::string()> text;
        const char* expected;
    };
    const row cases[] = {
        {"ErrorCode 107", [] { return enum_text<nx::ErrorCode>(107); }, "Process terminated by signal"},
        {"ErrorCode 12 (no value)", [] { return enum_text<nx::ErrorCode>(12); }, "12"},
        {"ErrorCode -7", [] { return enum_text<nx::ErrorCode>(-7); }, "-7"},
        {"FileAction 0 (no value)", [] { return enum_text<nx::FileAction>(0); }, "0"},
        {"FileAction 4", [] { return enum_text<nx::FileAction>(4); }, "Report"},
        {"FileAction 6", [] { return enum_text<nx::FileAction>(6); }, "6"},
        {"LogFacility 13", [] { return enum_text<nx::Log::LogFacility>(13); }, "Local3"},
        {"LogFacility 5 (gap)", [] { return enum_text<nx::Log::LogFacility>(5); }, "5"},
        {"LogType 3", [] { return enum_text<nx::Log::LogType>(3); }, "Stderr"},
        {"LogType 0", [] { return enum_text<nx::Log::LogType>(0); }, "0"},
        {"LogLevel 2", [] { return enum_text<nx::LogLevel>(2); }, "Info"},
        {"LogLevel -1", [] { return enum_text<nx::LogLevel>(-1); }, "-1"},
        {"LogLevel INT_MIN", [] { return enum_text<nx::LogLevel>(INT_MIN); }, "-2147483648"},
        {"LogLevel INT_MAX", [] { return enum_text<nx::LogLevel>(INT_MAX); }, "2147483647"},
        {"LinuxTarselMode 0", [] { return enum_text<nx::LinuxTarselMode>(0); }, "Auto"},
        {"LinuxTarselMode 2", [] { return enum_text<nx::LinuxTarselMode>(2); }, "LKM"},
        {"LinuxTarselMode 3", [] { return enum_text<nx::LinuxTarselMode>(3); }, "3"},
        {"LexHint 10 (no lex)", [] { return enum_text<nx::LexHint>(10); }, "ABSPATH"},
    };
    for (const row& c : cases)
        EXPECT_EQ(c.text(), c.expected) << c.what;
}

TEST_F(enum_text_test, lex_option_else_bare_name)
{
    EXPECT_EQ(enum_value_text(*nx::LexHint_descriptor()->FindValueByName("ABSPATH")), "ABSPATH");
    EXPECT_EQ(enum_value_text(*nx::LexHint_descriptor()->FindValueByNumber(0)), "NONE");
    EXPECT_EQ(enum_value_text(*nx::Application_descriptor()->FindValueByNumber(201)), "LinuxTarsel");
    // A nested enumeration's value gives its bare name, never "Log.SYSLOG".
    EXPECT_EQ(enum_value_text(*nx::Log::LogType_descriptor()->FindValueByNumber(1)), "Syslog");
}

// An enumeration built at run time: its values' options are what decides.
TEST_F(enum_text_test, empty_lex_is_a_text_and_other_options_are_no_lex)
{
    google::protobuf::FileDescriptorProto file;
    file.set_name("enum_text_probe.proto");
    file.set_package("probe");
    file.set_syntax("proto2");
    file.add_dependency("annotation.proto");
    google::protobuf::EnumDescriptorProto* type = file.add_enum_type();
    type->set_name("Probe");
    google::protobuf::EnumValueDescriptorProto* empty = type->add_value();
    empty->set_name("EMPTY_LEX");
    empty->set_number(1);
    empty->mutable_options()->SetExtension(nx::lex, "");
    google::protobuf::EnumValueDescriptorProto* other = type->add_value();
    other->set_name("OTHER_OPTION");
    other->set_number(2);
    other->mutable_options()->set_deprecated(true);

    google::protobuf::DescriptorPool pool(google::protobuf::DescriptorPool::generated_pool());
    const google::protobuf::FileDescriptor* built = pool.BuildFile(file);
    ASSERT_NE(built, nullptr);
    const google::protobuf::EnumDescriptor* probe = built->FindEnumTypeByName("Probe");
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(enum_value_text(*probe->FindValueByNumber(1)), "");
    EXPECT_EQ(enum_value_text(*probe->FindValueByNumber(2)), "OTHER_OPTION");
}
