// A log sink of the tests' own: keeps every line it is given, and puts the
// logging core back as a process starts when a test ends.
#pragma once

#include <chrono>
#include <mutex>
#include <string>
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
    log_state_restorer_t() : threshold(log_threshold) {}
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
