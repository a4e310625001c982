#include "monitor/scan_set.hpp"

#include <ostream>
#include <string>
#include <vector>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/path.hpp>
#include <gtest/gtest.h>

#include "error.pb.h"
#include "error/proto_error.hpp"
#include "monitor/monitor_texts.hpp"

namespace {

typedef std::vector<std::string> paths_t;

struct query_t
{
    const char* path;
    int expected;
};

struct config_case_t
{
    const char* name;
    paths_t included;
    paths_t excluded;
    std::vector<query_t> queries;
};

void PrintTo(const config_case_t& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<std::string> elements_of(const std::string& path)
{
    std::vector<std::string> out;
    std::size_t pos = 0;
    std::string_view element;
    while (ScanSet::next_element(path, pos, element))
        out.emplace_back(element);
    return out;
}

std::vector<std::string> boost_elements_of(const std::string& path)
{
    std::vector<std::string> out;
    for (const boost::filesystem::path& element : boost::filesystem::path(path))
        out.push_back(element.native());
    return out;
}

} // namespace

class scan_set_test : public ::testing::TestWithParam<config_case_t>
{
protected:
    static void expect_not_absolute(const boost::filesystem::filesystem_error& e, const std::string& context,
                                    const std::string& path)
    {
        EXPECT_EQ(nx::make_error_code(nx::EC_NOT_ABSOLUTE_PATH), e.code());
        EXPECT_STREQ("nx.Error", e.code().category().name());
        EXPECT_EQ(path, e.path1().native());
        EXPECT_EQ(0u, std::string(e.what()).rfind(context + ":", 0)) << e.what();
    }
};

TEST_P(scan_set_test, answers_every_query)
{
    const config_case_t& c = GetParam();
    const ScanSet set(c.included, c.excluded);
    for (const query_t& q : c.queries) {
        EXPECT_EQ(q.expected, set.state(std::string(q.path))) << q.path;
        // The Boost.Filesystem form that the queue passes answers alike.
        EXPECT_EQ(q.expected, set.state(boost::filesystem::path(q.path))) << q.path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    configurations, scan_set_test,
    ::testing::Values(
        config_case_t{"worked_example",
                      {"/home", "/srv/data"},
                      {"/home/user/.cache", "/srv/data/tmp"},
                      {{"/home/user/notes.txt", 0},
                       {"/home", 0},
                       {"/home/user/.cache/x", 1},
                       {"/home/user/.cache", 1},
                       {"/srv/data/tmp2/a", 0},
                       {"/srv/data/tmp/a", 1},
                       {"/srv/www/index.html", 1},
                       {"/srv", 2},
                       {"/", 2},
                       {"/etc/passwd", 1},
                       {"/home/./user/x", 0}}},
        config_case_t{"root_with_holes",
                      {"/"},
                      {"/proc", "/sys"},
                      {{"/", 0},
                       {"/etc/passwd", 0},
                       {"/proc", 1},
                       {"/proc/1/exe", 1},
                       {"/sys/kernel", 1},
                       {"/procfs", 0},
                       {"/pro", 0}}},
        config_case_t{"include_nested_in_exclude",
                      {"/a/b"},
                      {"/a"},
                      {{"/a/b/c", 0}, {"/a/b", 0}, {"/a/c", 1}, {"/a", 1}, {"/", 2}, {"/b", 1}}},
        config_case_t{"three_levels",
                      {"/", "/home/user/docs"},
                      {"/home"},
                      {{"/home/user/docs/a", 0}, {"/home/user/x", 1}, {"/home", 1}, {"/etc", 0}}},
        config_case_t{
            "nested_includes", {"/home", "/home/user"}, {}, {{"/home/user/x", 0}, {"/home/other", 0}, {"/homes", 1}}},
        config_case_t{"same_path_in_both_lists", {"/data"}, {"/data"}, {{"/data", 0}, {"/data/x", 0}}},
        // A trailing separator names the same node but sorts one level deeper.
        config_case_t{"trailing_separator_include_deeper", {"/data/"}, {"/data"}, {{"/data/x", 0}, {"/data", 0}}},
        config_case_t{"trailing_separator_exclude_deeper", {"/data"}, {"/data/"}, {{"/data/x", 1}, {"/data", 1}}},
        config_case_t{"queried_trailing_separator_under_include", {"/data"}, {}, {{"/data/", 0}, {"/data//", 0}}},
        config_case_t{
            "queried_trailing_separator_on_the_way", {"/data/x"}, {}, {{"/data/", 1}, {"/data", 2}, {"/data/x/", 0}}},
        config_case_t{"queried_dot_stops_the_walk",
                      {"/home/user"},
                      {},
                      {{"/home/./user/x", 1}, {"/home/user/./x", 0}, {"/./home/user", 1}}},
        config_case_t{"configured_dot_is_skipped", {"/home/./user"}, {}, {{"/home/user/x", 0}, {"/home", 2}}},
        config_case_t{"dot_dot_is_literal", {"/a/../b"}, {}, {{"/a/../b/x", 0}, {"/b/x", 1}, {"/a/..", 2}, {"/a", 2}}},
        config_case_t{
            "bytes_compare_exactly", {"/home"}, {}, {{"/Home/x", 1}, {"/home2/x", 1}, {"/hom", 1}, {"/home/x", 0}}},
        config_case_t{"separator_runs_are_one", {"/a/b"}, {}, {{"///a//b///c", 0}, {"/a//b", 0}}},
        config_case_t{"path_longer_than_the_tree",
                      {"/a", "/"},
                      {"/a/b"},
                      {{"/a/x/y/z/w/v/u/t", 0}, {"/a/b/c/d/e/f/g/h", 1}, {"/q/r/s/t/u/v", 0}}},
        config_case_t{"root_only", {"/"}, {}, {{"/", 0}, {"/x", 0}, {"//srv/x", 1}}},
        config_case_t{"root_name_never_meets_a_root_directory",
                      {"//srv/data"},
                      {},
                      {{"//srv/data/x", 0}, {"/srv/data/x", 1}, {"//srv/", 2}}},
        config_case_t{"excluded_only", {}, {"/tmp"}, {{"/tmp/x", 1}, {"/etc", 1}, {"/", 2}}},
        config_case_t{"no_paths", {}, {}, {{"/", 1}, {"/etc/passwd", 1}}}),
    [](const ::testing::TestParamInfo<config_case_t>& info) { return std::string(info.param.name); });

TEST_F(scan_set_test, empty_set_forwards_nothing)
{
    const ScanSet set;
    for (const char* path : {"/", "/etc", "/home/user/x", "//srv/x"})
        EXPECT_EQ(1, set.state(path)) << path;
}

TEST_F(scan_set_test, elements_follow_boost_filesystem_iteration)
{
    // Every string of up to seven characters over '/', 'a' and '.'.
    const char alphabet[] = {'/', 'a', '.'};
    std::vector<std::string> paths{""};
    for (std::size_t begin = 0, length = 0; length < 7; ++length) {
        const std::size_t end = paths.size();
        for (std::size_t i = begin; i < end; ++i)
            for (char c : alphabet)
                paths.push_back(paths[i] + c);
        begin = end;
    }
    for (const std::string& path : paths)
        ASSERT_EQ(boost_elements_of(path), elements_of(path)) << '"' << path << '"';
}

TEST_F(scan_set_test, relative_paths_fail_construction)
{
    struct case_t
    {
        paths_t included;
        paths_t excluded;
        std::string reported;
    };
    const case_t cases[] = {
        {{"relative"}, {}, "relative"},
        {{"/ok", ""}, {}, ""},
        {{}, {"/ok", "./x"}, "./x"},
        {{"/ok", "in"}, {"ex"}, "in"},
        // A root name alone has no root directory, included or excluded.
        {{"//srv"}, {}, "//srv"},
        {{"/ok"}, {"//srv"}, "//srv"},
        {{"//"}, {}, "//"},
        {{}, {"/ok", "//"}, "//"},
    };
    for (const case_t& c : cases) {
        try {
            ScanSet set(c.included, c.excluded);
            ADD_FAILURE() << "no exception for " << c.reported;
        } catch (const boost::filesystem::filesystem_error& e) {
            expect_not_absolute(e, "ScanSet", c.reported);
        }
    }
}

TEST_F(scan_set_test, relative_query_fails_state)
{
    const ScanSet set(paths_t{"/"}, paths_t{});
    for (const std::string path : {"relative/x", "", ".", "./etc", "//srv", "//"}) {
        try {
            set.state(path);
            ADD_FAILURE() << "no exception for \"" << path << '"';
        } catch (const boost::filesystem::filesystem_error& e) {
            expect_not_absolute(e, TS_TEXT_CONTEXT_SCAN_SET_STATE, path);
        }
        EXPECT_THROW(set.state(boost::filesystem::path(path)), boost::filesystem::filesystem_error);
        EXPECT_THROW(set.state(path.c_str()), boost::filesystem::filesystem_error);
    }
}
