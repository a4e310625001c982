#include "util/main_thread.hpp"
#include "core/core_texts.hpp"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>

namespace {

// Initialized before main on the thread that starts the process. A check run
// from an earlier static initializer finds the default id and passes.
const std::thread::id MAIN_ID = std::this_thread::get_id();

} // namespace

bool ts_main_thread_t::is_current() noexcept
{
    return MAIN_ID == std::thread::id() || std::this_thread::get_id() == MAIN_ID;
}

void ts_main_thread_t::fail(const char* function) noexcept
{
    std::fprintf(stderr, TS_TEXT_OFF_MAIN_THREAD, function);
    std::abort();
}
