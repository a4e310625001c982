// Helpers shared by the kernel-module tests: byte literals, a recording log
// capture (tests/support), a request that cannot be written, termination
// signals held on the test's thread.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <cstdint>
#include <initializer_list>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "lkm/kson_request.hpp"
#include "log/log.hpp"
#include "support/descriptors.hpp"
#include "support/log_capture.hpp"
#include "support/temp_dir.hpp"

typedef std::vector<uint8_t> byte_vector;

// No driver answers to this device major on the test machines.
const int UNUSED_MAJOR = 240;

// A request whose serialize fails at once.
class refusing_request_t : public ts_kson_request_t
{
public:
    bool serialize(kson_writer_t*) const override { return false; }
};

inline byte_vector bytes_of(std::initializer_list<int> values)
{
    byte_vector out;
    for (int v : values) {
        out.push_back(static_cast<uint8_t>(v));
    }
    return out;
}

template <class Container>
std::string hex_of(const Container& data)
{
    std::ostringstream s;
    for (auto c : data) {
        s << std::hex << std::setw(2) << std::setfill('0') << (static_cast<unsigned>(c) & 0xFF) << ' ';
    }
    return s.str();
}

// Blocks SIGTERM and SIGINT on the test's thread for its length, so that
// one sent to it stays pending instead of ending the test process; takes
// what is still pending when it goes.
class held_termination_t
{
public:
    held_termination_t()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGINT);
        pthread_sigmask(SIG_BLOCK, &set_, &saved_);
    }
    ~held_termination_t()
    {
        const timespec none = {0, 0};
        while (sigtimedwait(&set_, nullptr, &none) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }

private:
    sigset_t set_;
    sigset_t saved_;
};

// Whether the signal is blocked on the calling thread.
inline bool blocked_now(int signal)
{
    sigset_t current;
    pthread_sigmask(SIG_BLOCK, nullptr, &current);
    return sigismember(&current, signal) == 1;
}
