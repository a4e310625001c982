// What every harness shares: a log that swallows its lines (the parsers log
// on bad input, and standard error would drown the fuzzer's own output), a
// file made of the input for the readers that take a path, and the
// harness's own failure.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define NT_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NT_FUZZ_ASAN 1
#endif
#endif

#if NT_FUZZ_ASAN && __has_include(<sanitizer/allocator_interface.h>)
#include <sanitizer/allocator_interface.h>
#elif NT_FUZZ_ASAN
// GCC ships the runtime without the header: the runtime's own function.
#include <cstddef>
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <boost/make_shared.hpp>

#include "log/log.hpp"
#include "log/log_sink.hpp"

namespace nt_fuzz {

class null_log_t : public cf_log_t
{
public:
    void open() override {}
    void log(int, const std::string& text) override { bytes += text.size(); }
    void log_from_process(const std::string&, int, const std::string& text) override { bytes += text.size(); }
    std::size_t bytes = 0;
};

// Every line built (Debug threshold, so the texts of the failures are
// composed too) and swallowed.
inline void quiet_log()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    set_log_sink(boost::make_shared<null_log_t>());
    log_threshold = LOG_DEBUG_LEVEL;
}

// A property of the harness does not hold: report and let libFuzzer save
// the input.
[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what)
{
    if (!condition)
        fail(what);
}

// The fields a body carries before its first cut or malformed field, found
// the slow way: the longest prefix that the library parses whole, since a
// parse that succeeds read nothing past its end (a failed one may have read
// a cut value as if zeros followed). Quadratic: for the harnesses' short
// inputs only.
template <class Message>
Message fields_before_failure(const std::uint8_t* body, std::size_t size)
{
    Message message;
    for (std::size_t kept = size + 1; kept-- > 0;)
        if (message.ParsePartialFromArray(body, static_cast<int>(kept)))
            break;
    return message;
}

// Bytes the process has allocated and not freed: the sanitizer's count under
// AddressSanitizer, else the C library's (the replay driver's plain builds).
inline std::size_t allocated_bytes()
{
#if NT_FUZZ_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    return ::mallinfo2().uordblks;
#endif
}

// Writes all bytes (send flags when a socket), repeating a call that
// libFuzzer's own timer signal interrupted. False when the peer is gone.
inline bool write_all(int fd, const void* data, std::size_t size, int flags = -1)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = flags < 0 ? ::write(fd, bytes, size) : ::send(fd, bytes, size, flags);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The bytes as a file that a path names ("/proc/self/fd/N"), without
// touching the file system; closed when the object goes.
class memory_file_t
{
public:
    memory_file_t(const std::uint8_t* data, std::size_t size)
        : fd(::memfd_create("nt-fuzz", MFD_CLOEXEC))
    {
        check(fd >= 0, "memfd_create");
        check(write_all(fd, data, size), "write to memfd");
    }
    ~memory_file_t() { ::close(fd); }
    memory_file_t(const memory_file_t&) = delete;
    memory_file_t& operator=(const memory_file_t&) = delete;
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd); }

private:
    int fd;
};

} // namespace nt_fuzz
