#include <cerrno>
#include <climits>
#include <new>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <boost/asio/error.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "error/enum_text.hpp"
#include "error/proto_error.hpp"
#include "monitor/monitor_error.hpp"
#include "monitor/monitor_texts.hpp"

namespace {

struct error_code_row
{
    int value;
    const char* name;
    const char* text;
};

// The whole enumeration: every value, its enumerator name and its display
// text, misspellings included, since peers and logs compare them verbatim.
const error_code_row error_code_table[] = {
    {0, "EC_OK", "Success"},
    {1, "EC_MONITOR_IPC_ERROR", "Error on monitor channel"},
    {2, "EC_ALREADY_IN_PROGRESS", "Operation is already in progress"},
    {3, "EC_IN_PENDING_STATE", "Operation is in pending state"},
    {4, "EC_INTERRUPTED_BY_USER", "Interrupted by user"},
    {5, "EC_CANCELED", "Operation canceled"},
    {6, "EC_LINK_DISCONNECTED", "Link disconnected"},
    {7, "EC_BAD_MESSAGE_SIZE", "Invalid IPC message size"},
    {8, "EC_BAD_MESSAGE_FORMAT", "Invalid IPC message format"},
    {9, "EC_NOT_READY", "Not ready"},
    {10, "EC_NOT_INSTALLED", "Component is not installed"},
    {11, "EC_UNEXPECTED_MESSAGE", "Unexpected IPC message"},
    {20, "EC_NOT_ABSOLUTE_PATH", "Path must be absolute"},
    {21, "EC_NO_MEMORY", "Not enough memory to compelete operation"},
    {22, "EC_IO_ERROR", "IO error"},
    {23, "EC_NO_SUCH_ENTRY", "No such file or directory"},
    {24, "EC_PERMISSION_DENIED", "Permission denied"},
    {25, "EC_NOT_A_DIRECTORY", "Not a directrory"},
    {26, "EC_DATA_CORRUPTED", "Data file corrupted"},
    {27, "EC_FILE_EXISTS", "File already exists"},
    {28, "EC_READ_ONLY_FS", "Read-only file system"},
    {29, "EC_NETWORK_ERROR", "Network error"},
    {30, "EC_NOT_A_DRIVE", "Not a drive"},
    {31, "EC_UNEXPECTED_EOF", "Unexpected EOF"},
    {32, "EC_FILE_WAS_CHANGED", "File was changed"},
    {40, "EC_BASE_CORRUPTED", "Virus base corrupted"},
    {41, "EC_OLD_BASE_VERSION", "Non-supported virus base version"},
    {42, "EC_EMPTY_BASE", "Empty virus base"},
    {43, "EC_CAN_NOT_BE_CURED", "Object cannot be cured"},
    {44, "EC_INVALID_BASE_SET", "Non-supported virus base combination"},
    {45, "EC_SCAN_LIMIT_REACHED", "Scan limit reached"},
    {60, "EC_INVALID_ARGUMENT", "Invalid argument"},
    {61, "EC_INVALID_OPERATION", "Invalid operation"},
    {62, "EC_ROOT_ONLY", "Superuser privileges required"},
    {64, "EC_NON_SUPPORTED_OS", "Non-supported OS"},
    {65, "EC_NOT_IMPLEMENTED", "Feature not implemented"},
    {66, "EC_UNKNOWN_OPTION", "Unknown option"},
    {67, "EC_UNKNOWN_SECTION", "Unknown section"},
    {68, "EC_INVALID_OPTION_VALUE", "Invalid option value"},
    {69, "EC_INVALID_STATE", "Invalid state"},
    {70, "EC_NOT_LIST_OPTION", "Only one value allowed"},
    {80, "EC_RECORD_NOT_FOUND", "Record not found"},
    {81, "EC_RECORD_BUSY", "Record is in process now"},
    {82, "EC_QUARANTINED_FILE", "File has already been quarantined"},
    {92, "EC_BAD_LZMA_FILE", "Invalid compressed file"},
    {93, "EC_PROXY_AUTH_ERROR", "Proxy authentication error"},
    {94, "EC_NO_UPDATE_SERVERS", "No update servers available"},
    {97, "EC_NETWORK_TIMEDOUT", "Network operation timed out"},
    {98, "EC_BAD_CHECKSUM", "Invalid checksum"},
    {102, "EC_BAD_CONFIG", "Invalid configuration"},
    {103, "EC_APP_IDLE", "Idle state"},
    {104, "EC_BAD_EXECUTABLE", "Invalid executable file"},
    {105, "EC_BAD_CORE_ENGINE", "Invalid core engine file"},
    {106, "EC_NO_VIRUS_BASES", "No virus bases"},
    {107, "EC_APP_TERMINATED", "Process terminated by signal"},
    {108, "EC_APP_CRASHED", "Unexpected process termination"},
    {119, "EC_NO_HALVERN", "Halvern is not available"},
    {125, "EC_UNEXPECTED_ERROR", "Unexpected error"},
};

void PrintTo(const error_code_row& row, std::ostream* os)
{
    *os << row.value << ' ' << row.name;
}

// A category that is not the daemon's although it carries the same name.
class impostor_category_t : public boost::system::error_category
{
public:
    const char* name() const noexcept override { return "nx.Error"; }
    std::string message(int value) const override { return "impostor " + std::to_string(value); }
};

// A category whose value 7 declares itself equivalent to ENOENT, as a
// library's own category may do.
class enoent_like_category_t : public boost::system::error_category
{
public:
    const char* name() const noexcept override { return "enoent-like"; }
    std::string message(int value) const override { return "enoent-like " + std::to_string(value); }
    boost::system::error_condition default_error_condition(int value) const noexcept override
    {
        if (value == 7)
            return boost::system::error_condition(ENOENT, boost::system::generic_category());
        return boost::system::error_condition(value, *this);
    }
};

const impostor_category_t& impostor_category()
{
    static const impostor_category_t category;
    return category;
}

const enoent_like_category_t& enoent_like_category()
{
    static const enoent_like_category_t category;
    return category;
}

boost::system::error_code sys(int value)
{
    return boost::system::error_code(value, boost::system::system_category());
}

boost::system::error_code gen(int value)
{
    return boost::system::error_code(value, boost::system::generic_category());
}

class proto_error_test : public ::testing::Test
{};

class error_code_value_test : public ::testing::TestWithParam<error_code_row>
{};

} // namespace

TEST_P(error_code_value_test, every_value_has_its_name_text_and_passes_unchanged)
{
    const error_code_row& row = GetParam();
    EXPECT_TRUE(nx::ErrorCode_IsValid(row.value));
    EXPECT_EQ(nx::ErrorCode_Name(static_cast<nx::ErrorCode>(row.value)), row.name);
    EXPECT_EQ(nx::proto_error_category().message(row.value), row.text);
    EXPECT_EQ(nx::make_error_code(row.value).message(), row.text);
    EXPECT_EQ(enum_text<nx::ErrorCode>(row.value), row.text);
    EXPECT_EQ(error_code_to_proto(nx::make_error_code(row.value)), row.value);
    // A thrown failure carrying the code ends the daemon with it, except
    // that a failure never ends it as a success.
    boost::system::system_error failure(nx::make_error_code(row.value), "");
    EXPECT_EQ(exception_to_proto_code(failure), row.value == 0 ? 125 : row.value);
}

INSTANTIATE_TEST_SUITE_P(error_codes, error_code_value_test, ::testing::ValuesIn(error_code_table),
                         [](const ::testing::TestParamInfo<error_code_row>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(proto_error_test, exactly_the_table_values_are_defined)
{
    std::set<int> table;
    for (const error_code_row& row : error_code_table)
        table.insert(row.value);
    ASSERT_EQ(table.size(), 58u);
    EXPECT_EQ(nx::ErrorCode_descriptor()->value_count(), 58);
    for (int value = -300; value <= 300; ++value)
        EXPECT_EQ(nx::ErrorCode_IsValid(value), table.count(value) == 1) << value;
    EXPECT_FALSE(nx::ErrorCode_IsValid(INT_MIN));
    EXPECT_FALSE(nx::ErrorCode_IsValid(INT_MAX));
}

TEST_F(proto_error_test, undefined_values_get_the_category_prefix)
{
    const boost::system::error_category& category = nx::proto_error_category();
    EXPECT_EQ(category.message(12), "nx.Error 12");
    EXPECT_EQ(category.message(-5), "nx.Error -5");
    EXPECT_EQ(category.message(63), "nx.Error 63");
    EXPECT_EQ(category.message(126), "nx.Error 126");
    EXPECT_EQ(category.message(INT_MIN), "nx.Error -2147483648");
    EXPECT_EQ(category.message(INT_MAX), "nx.Error 2147483647");
}

TEST_F(proto_error_test, one_category_object_named_nx_error)
{
    const boost::system::error_category* first = &nx::proto_error_category();
    EXPECT_EQ(first, &nx::proto_error_category());
    for (int value : {0, 12, -5, 125, 200}) {
        boost::system::error_code code = nx::make_error_code(value);
        EXPECT_EQ(code.value(), value);
        EXPECT_EQ(&code.category(), first);
        EXPECT_STREQ(code.category().name(), "nx.Error");
    }
    EXPECT_EQ(nx::make_error_code(102), nx::make_error_code(102));
    EXPECT_NE(nx::make_error_code(102), nx::make_error_code(103));
}

TEST_F(proto_error_test, codes_are_equivalent_only_within_the_category)
{
    // Value 2 is ENOENT's number and 13 EACCES's: neither may pass for them.
    EXPECT_NE(nx::make_error_code(2), boost::system::error_condition(ENOENT, boost::system::generic_category()));
    EXPECT_NE(nx::make_error_code(13), boost::system::errc::permission_denied);
    EXPECT_NE(nx::make_error_code(0), boost::system::error_condition(0, boost::system::generic_category()));
    EXPECT_EQ(nx::make_error_code(24), boost::system::error_condition(24, nx::proto_error_category()));
    EXPECT_EQ(&nx::make_error_code(24).default_error_condition().category(), &nx::proto_error_category());
    // The monitoring category is another object with another name.
    EXPECT_NE(nx::make_error_code(205), make_monitor_error_code(205));
}

TEST_F(proto_error_test, error_codes_map_to_exit_statuses)
{
    struct row
    {
        const char* what;
        boost::system::error_code code;
        int expected;
    };
    const std::vector<row> cases = {
        {"nx.Error 102", nx::make_error_code(102), 102},
        {"nx.Error 0", nx::make_error_code(0), 0},
        {"nx.Error 2 (a defined value, not ENOENT)", nx::make_error_code(2), 2},
        {"nx.Error 12 (undefined)", nx::make_error_code(12), 125},
        {"nx.Error 13 (undefined, EACCES's number)", nx::make_error_code(13), 125},
        {"nx.Error -1", nx::make_error_code(-1), 125},
        {"impostor nx.Error 102", boost::system::error_code(102, impostor_category()), 125},
        {"impostor nx.Error 23", boost::system::error_code(23, impostor_category()), 125},
        {"system 0", sys(0), 0},
        {"system ENOENT", sys(ENOENT), 23},
        {"system EACCES", sys(EACCES), 24},
        {"system EPERM", sys(EPERM), 24},
        {"system ENOTDIR", sys(ENOTDIR), 25},
        {"system EROFS", sys(EROFS), 28},
        {"system ENOSPC", sys(ENOSPC), 125},
        {"system EEXIST", sys(EEXIST), 125},
        {"system ECONNRESET", sys(ECONNRESET), 125},
        {"generic 0", gen(0), 0},
        {"generic ENOENT", gen(ENOENT), 23},
        {"generic EACCES", gen(EACCES), 24},
        {"generic EPERM", gen(EPERM), 24},
        {"generic ENOTDIR", gen(ENOTDIR), 25},
        {"generic EROFS", gen(EROFS), 28},
        {"generic ENOSPC", gen(ENOSPC), 125},
        {"errc no_such_file_or_directory",
         boost::system::errc::make_error_code(boost::system::errc::no_such_file_or_directory), 23},
        {"asio eof (misc 2)", boost::asio::error::eof, 125},
        {"asio already_open (misc 1)", boost::asio::error::already_open, 125},
        {"asio not_found (misc 3)", boost::asio::error::not_found, 125},
        {"asio host_not_found (netdb 1)", boost::asio::error::host_not_found, 125},
        {"asio access_denied (system EACCES)", boost::asio::error::access_denied, 24},
        {"asio connection_reset", boost::asio::error::connection_reset, 125},
        {"asio operation_aborted", boost::asio::error::operation_aborted, 125},
        {"monitoring 200", make_monitor_error_code(200), 125},
        {"monitoring 2 (ENOENT's number)", make_monitor_error_code(2), 125},
        {"monitoring 13 (EACCES's number)", make_monitor_error_code(13), 125},
        {"monitoring 0", make_monitor_error_code(0), 125},
        {"own category equivalent to ENOENT", boost::system::error_code(7, enoent_like_category()), 23},
        {"own category, other value", boost::system::error_code(2, enoent_like_category()), 125},
    };
    for (const row& c : cases)
        EXPECT_EQ(error_code_to_proto(c.code), c.expected) << c.what;
}

TEST_F(proto_error_test, exceptions_map_to_exit_statuses_and_never_to_success)
{
    namespace fs = boost::filesystem;
    EXPECT_EQ(exception_to_proto_code(std::runtime_error("x")), 125);
    EXPECT_EQ(exception_to_proto_code(std::logic_error("x")), 125);
    EXPECT_EQ(exception_to_proto_code(std::bad_alloc()), 125);
    EXPECT_EQ(exception_to_proto_code(std::system_error(ENOENT, std::generic_category())), 125);

    EXPECT_EQ(exception_to_proto_code(fs::filesystem_error("log option", nx::make_error_code(20))), 20);
    EXPECT_EQ(exception_to_proto_code(fs::filesystem_error("open", fs::path("/x"), sys(ENOENT))), 23);
    EXPECT_EQ(exception_to_proto_code(fs::filesystem_error("open", fs::path("/x"), sys(EACCES))), 24);
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(sys(ENOENT))), 23);
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(gen(EROFS), "x")), 28);
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(nx::make_error_code(119), "")), 119);
    EXPECT_EQ(exception_to_proto_code(
                  boost::system::system_error(make_monitor_error_code(200), TS_TEXT_CONTEXT_FILE_MONITOR)),
              125);
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(boost::asio::error::eof, "Ostrand connection")), 125);

    // A caught failure whose code stands for success still ends the daemon
    // as a failure.
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(sys(0), "connect")), 125);
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(gen(0))), 125);
    EXPECT_EQ(exception_to_proto_code(boost::system::system_error(nx::make_error_code(0), "")), 125);
    EXPECT_EQ(exception_to_proto_code(fs::filesystem_error("x", sys(0))), 125);
    EXPECT_EQ(error_code_to_proto(sys(0)), 0);

    // Reached through the std::exception base, as main catches it.
    struct own_failure_t : boost::system::system_error
    {
        own_failure_t()
            : boost::system::system_error(sys(EPERM), "own")
        {}
    };
    const std::exception& caught = own_failure_t();
    EXPECT_EQ(exception_to_proto_code(caught), 24);
}

TEST_F(proto_error_test, received_error_without_a_valid_code_reads_as_success)
{
    nx::Error error;
    EXPECT_FALSE(error.ParseFromString(std::string()));
    EXPECT_EQ(error.code(), nx::EC_OK);
    error.ParsePartialFromString(std::string("\x08\x0c", 2));
    EXPECT_FALSE(error.has_code());
    EXPECT_EQ(error.code(), nx::EC_OK);
    EXPECT_EQ(nx::make_error_code(error.code()).message(), "Success");
}

TEST_F(proto_error_test, short_what_strips_the_boost_qualification_only)
{
    struct row
    {
        const char* text;
        const char* expected;
    };
    const row cases[] = {
        {"boost::filesystem::directory_iterator::operator++", "operator++"},
        {"boost::filesystem::read_symlink: No such file or directory", "read_symlink: No such file or directory"},
        {"boost::", ""},
        {"boost::::x", "::x"},
        {"boost::asio::ip", "ip"},
        {"boost::a::b::", ""},
        {"boost::a:::b", ":b"},
        {"boost::a:b", "a:b"},
        {"boost::Word_9::x", "x"},
        {"boost::a-b::c", "a-b::c"},
        {"boost::x\xc3\xa9::y", "x\xc3\xa9::y"},
        {"boost::system::system_error: boost::x::y", "system_error: boost::x::y"},
        {"boost: mutex lock failed in pthread_mutex_lock", "boost: mutex lock failed in pthread_mutex_lock"},
        {"Boost::filesystem::x", "Boost::filesystem::x"},
        {"BOOST::x", "BOOST::x"},
        {" boost::x::y", " boost::x::y"},
        {"boost:", "boost:"},
        {"boost", "boost"},
        {"std::boost::x", "std::boost::x"},
        {"", ""},
    };
    for (const row& c : cases) {
        std::runtime_error e(c.text);
        const char* result = short_what(e);
        EXPECT_STREQ(result, c.expected) << '"' << c.text << '"';
        // A pointer into the exception's own text, never a copy.
        const char* own = e.what();
        EXPECT_EQ(result, own + (std::string(own).size() - std::string(c.expected).size())) << '"' << c.text << '"';
    }
}

TEST_F(proto_error_test, short_what_filesystem_error_keeps_the_operation_name)
{
    boost::filesystem::filesystem_error e("boost::filesystem::read_symlink", boost::filesystem::path("/x"),
                                          sys(ENOENT));
    EXPECT_EQ(std::string(short_what(e)).rfind("read_symlink: ", 0), 0u) << e.what();
}
