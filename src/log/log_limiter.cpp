#include "log/log_limiter.hpp"

#include <type_traits>

static_assert(std::is_trivially_destructible<cf_log_limiter_t>::value,
              "a call site's limiter must outlive the threads that log through it");

bool cf_log_limiter_t::admit(std::uint64_t& suppressed)
{
    const time_point_t now = clock_ ? clock_() : std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    suppressed = 0;
    if (!started_ || now - interval_start_ >= interval_) {
        suppressed = held_back_;
        started_ = true;
        interval_start_ = now;
        written_ = 0;
        held_back_ = 0;
    }
    if (written_ < burst_) {
        ++written_;
        return true;
    }
    ++held_back_;
    return false;
}
