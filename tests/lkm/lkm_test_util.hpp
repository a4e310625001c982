// Helpers shared by the kernel-module tests: byte literals, a log sink that
// records lines, and a private temporary directory.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/mutex.hpp>

#include "log/log.hpp"

typedef std::vector<uint8_t> byte_vector;

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

// Records every line; installed for the life of a test with threshold Debug.
class recording_log_t : public cf_log_t
{
public:
    void open() override {}
    void log(int level, const std::string& text) override
    {
        boost::mutex::scoped_lock lock(mutex_);
        lines_.push_back(std::make_pair(level, text));
    }
    void log_from_process(const std::string& source, int, const std::string& text) override
    {
        log(LOG_INFO_LEVEL, source + ": " + text);
    }
    std::vector<std::pair<int, std::string>> lines() const
    {
        boost::mutex::scoped_lock lock(mutex_);
        return lines_;
    }
    // The texts only, in order.
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& line : lines()) {
            out.push_back(line.second);
        }
        return out;
    }
    void clear()
    {
        boost::mutex::scoped_lock lock(mutex_);
        lines_.clear();
    }

private:
    mutable boost::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

class scoped_log_capture_t
{
public:
    explicit scoped_log_capture_t(int threshold = LOG_DEBUG_LEVEL)
        : sink(boost::make_shared<recording_log_t>()), old_threshold_(log_threshold.load())
    {
        log_threshold = threshold;
        set_log_sink(sink);
    }
    ~scoped_log_capture_t()
    {
        set_log_sink(cf_log_ptr());
        log_threshold = old_threshold_;
    }

    boost::shared_ptr<recording_log_t> sink;

private:
    int old_threshold_;
};

// Open descriptors of this process, to see that a component closed all of
// its own.
inline size_t open_descriptor_count()
{
    size_t count = 0;
    for (boost::filesystem::directory_iterator it("/proc/self/fd"), end; it != end; ++it) {
        ++count;
    }
    return count;
}

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
class temp_dir_t
{
public:
    temp_dir_t()
    {
        std::string pattern = (boost::filesystem::temp_directory_path() / "nt-lkm-XXXXXX").string();
        char* made = mkdtemp(&pattern[0]);
        if (made != NULL) {
            path_ = made;
        }
    }
    ~temp_dir_t()
    {
        boost::system::error_code ignored;
        if (!path_.empty()) {
            boost::filesystem::remove_all(path_, ignored);
        }
    }
    const boost::filesystem::path& path() const { return path_; }

private:
    boost::filesystem::path path_;
};
