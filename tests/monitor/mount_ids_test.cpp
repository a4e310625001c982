#include "monitor/mount_ids.hpp"

#include <cstring>

#include <gtest/gtest.h>

namespace {

struct holds_case_t
{
    const char* name;
    std::uint64_t id;
    const char* path;
    bool held;
};

// Mount 1 on "/", 7 on "/mnt/a" (and, stacked, also reached by "/other/"),
// 9 twice over.
const holds_case_t holds_cases[] = {
    {"the root mount holds every absolute name", 1, "/anything/at/all", true},
    {"a mount holds its directory's own name", 7, "/mnt/a", true},
    {"a mount holds names below its directory", 7, "/mnt/a/file", true},
    {"a longer directory name is not below", 7, "/mnt/ab/file", false},
    {"a name inside a detached mount starts at its root", 7, "/file", false},
    {"another directory of the same mount", 7, "/other/file", true},
    {"a directory given with a trailing slash", 7, "/other", true},
    {"a mount not in the set", 8, "/mnt/a/file", false},
    {"a mount given twice", 9, "/twice/x", true},
    {"the name of another mount's directory", 1, "/mnt/a/file", true},
};

} // namespace

TEST(mount_ids_test, a_mount_holds_the_names_in_the_directories_it_was_given_with)
{
    const ts_mount_ids_t mounts(
        std::vector<ts_mount_ids_t::mount_t>{{9, "/twice"}, {7, "/mnt/a"}, {1, "/"}, {7, "/other/"}, {9, "/twice"}});
    for (const holds_case_t& c : holds_cases)
        EXPECT_EQ(c.held, mounts.holds(c.id, c.path, std::strlen(c.path))) << c.name;
    EXPECT_FALSE(ts_mount_ids_t().holds(1, "/", 1));
}
