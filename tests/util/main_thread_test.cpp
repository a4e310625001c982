#include "util/main_thread.hpp"

#include <thread>

#include <gtest/gtest.h>

namespace {

void main_thread_only()
{
    NT_ASSERT_MAIN_THREAD();
}

bool current_on_another_thread()
{
    bool current = true;
    std::thread other([&current] { current = ts_main_thread_t::is_current(); });
    other.join();
    return current;
}

class main_thread_test : public ::testing::Test
{};

} // namespace

TEST_F(main_thread_test, only_the_thread_that_started_the_process_is_the_main_thread)
{
    EXPECT_TRUE(ts_main_thread_t::is_current());
    EXPECT_FALSE(current_on_another_thread());
}

TEST_F(main_thread_test, the_assertion_passes_on_the_main_thread)
{
    main_thread_only();
}

#ifdef NT_CHECK_THREADS
TEST_F(main_thread_test, the_assertion_stops_a_main_thread_method_run_elsewhere)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_DEATH(
        {
            std::thread other(&main_thread_only);
            other.join();
        },
        "main-thread method main_thread_only called on another thread");
}
#endif
