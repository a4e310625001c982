#include "core/early_signals.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <initializer_list>

namespace {

// The kernel's signal set: one bit per signal, signal n at bit n - 1, in
// the 64 bits that rt_sigprocmask takes (not glibc's larger sigset_t).
typedef std::uint64_t kernel_sigset_t;

constexpr kernel_sigset_t bit(int signal)
{
    return kernel_sigset_t(1) << (signal - 1);
}

constexpr kernel_sigset_t EARLY_SIGNALS = bit(SIGHUP) | bit(SIGTERM) | bit(SIGINT);

// Static storage, zero before any code runs: no constructor of its own that
// could run after hold_early_signals and undo it.
kernel_sigset_t blocked_before = 0;
std::atomic<bool> held{false};

} // namespace

// No sanitizer instrumentation: this runs before the sanitizers' runtimes
// may have set up their shadow memory and interceptors.
__attribute__((no_sanitize("address", "thread", "undefined"))) void hold_early_signals() noexcept
{
    static kernel_sigset_t early = EARLY_SIGNALS;
    if (::syscall(SYS_rt_sigprocmask, SIG_BLOCK, &early, &blocked_before, sizeof(kernel_sigset_t)) == 0)
        held.store(true, std::memory_order_relaxed);
}

void release_early_signals() noexcept
{
    if (!held.exchange(false))
        return;
    sigset_t released;
    sigemptyset(&released);
    for (int signal : {SIGHUP, SIGTERM, SIGINT})
        if (!(blocked_before & bit(signal)))
            sigaddset(&released, signal);
    pthread_sigmask(SIG_UNBLOCK, &released, nullptr);
}
