// Sends standard error (descriptor 2) into a temporary file for the lifetime
// of the object; text() waits for the log writer first.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "log/log.hpp"

class cerr_capture_t
{
public:
    cerr_capture_t() : file(std::tmpfile()), saved(::dup(STDERR_FILENO))
    {
        log_flush(std::chrono::seconds(10));
        ::dup2(::fileno(file), STDERR_FILENO);
    }
    ~cerr_capture_t()
    {
        log_flush(std::chrono::seconds(10));
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
        std::fclose(file);
    }

    cerr_capture_t(const cerr_capture_t&) = delete;
    cerr_capture_t& operator=(const cerr_capture_t&) = delete;

    std::string text() const
    {
        log_flush(std::chrono::seconds(10));
        std::string content;
        char buffer[4096];
        for (off_t offset = 0;;) {
            const ssize_t n = ::pread(::fileno(file), buffer, sizeof buffer, offset);
            if (n <= 0)
                break;
            content.append(buffer, static_cast<std::size_t>(n));
            offset += n;
        }
        return content;
    }

private:
    std::FILE* file;
    int saved;
};
