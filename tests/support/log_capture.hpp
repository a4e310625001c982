// Log capture for tests: a sink of the tests' own that keeps every line it is
// given, a capture that installs one for a test and puts the logging core back
// as a process starts, and a capture of standard error for the console sink.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/make_shared.hpp>

#include "log/log.hpp"
#include "log/log_sink.hpp"

class recording_log_t : public cf_log_t
{
public:
    struct line_t
    {
        int level;
        std::string text;
    };

    void open() override
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++opens;
    }

    void log(int level, const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.push_back({level, text});
    }

    // Recorded with the level -1 and the text "<source>-<pid>: <text>".
    void log_from_process(const std::string& source, int pid, const std::string& text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.push_back({-1, source + "-" + std::to_string(pid) + ": " + text});
    }

    std::vector<line_t> lines() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> result;
        for (const line_t& line : lines())
            result.push_back(line.text);
        return result;
    }

    int open_count() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return opens;
    }

private:
    mutable std::mutex mutex;
    std::vector<line_t> recorded;
    int opens = 0;
};

typedef boost::shared_ptr<recording_log_t> recording_log_ptr;

// Waits until the log writer has written every line logged so far (the
// daemon's own sinks only queue their lines).
inline bool log_written()
{
    return log_flush(std::chrono::seconds(10));
}

// Saves the threshold; at destruction restores it and removes any sink, the
// state the logging core starts in.
class log_state_restorer_t
{
public:
    log_state_restorer_t()
        : threshold(log_threshold)
    {}
    ~log_state_restorer_t()
    {
        log_written();
        set_log_sink(cf_log_ptr());
        log_threshold = threshold;
    }

    log_state_restorer_t(const log_state_restorer_t&) = delete;
    log_state_restorer_t& operator=(const log_state_restorer_t&) = delete;

private:
    int threshold;
};

// Installs a recording sink at the threshold given (Debug by default) for the
// lifetime of the object; puts back the state the logging core starts in.
class log_capture_t
{
public:
    explicit log_capture_t(int threshold = LOG_DEBUG_LEVEL)
    {
        reset();
        log_threshold = threshold;
    }

    log_capture_t(const log_capture_t&) = delete;
    log_capture_t& operator=(const log_capture_t&) = delete;

    // Starts again with a sink that has recorded nothing.
    void reset()
    {
        sink_ = boost::make_shared<recording_log_t>();
        set_log_sink(sink_);
    }

    // Every line as (level, text), in order.
    std::vector<std::pair<int, std::string>> lines() const
    {
        std::vector<std::pair<int, std::string>> result;
        for (const recording_log_t::line_t& line : sink_->lines())
            result.push_back(std::make_pair(line.level, line.text));
        return result;
    }

    // Every text, in order.
    std::vector<std::string> texts() const { return sink_->texts(); }

    // Lines with that level and exactly that text.
    std::size_t count(int level, const std::string& text) const
    {
        std::size_t n = 0;
        for (const recording_log_t::line_t& line : sink_->lines())
            if (line.level == level && line.text == text)
                ++n;
        return n;
    }

private:
    log_state_restorer_t restorer_; // first in, last out
    recording_log_ptr sink_;
};

// Sends standard error (descriptor 2) into a temporary file for the lifetime
// of the object; text() waits for the log writer first.
class cerr_capture_t
{
public:
    cerr_capture_t()
        : file(std::tmpfile())
        , saved(::dup(STDERR_FILENO))
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
