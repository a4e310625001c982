// The text of one log line, built piece by piece by NT_LOG (log/log.hpp):
//     line << "PID: " << pid << " Access on: " << path;
// Strings are appended as they are, integers in decimal; anything else is
// streamed through a std::ostringstream, so it reads exactly as it would in
// one (a boost::filesystem::path keeps its quotes).
#pragma once

#include <sstream>
#include <string>
#include <type_traits>

class cf_log_line_t
{
public:
    cf_log_line_t& operator<<(const std::string& piece)
    {
        text_ += piece;
        return *this;
    }
    cf_log_line_t& operator<<(const char* piece)
    {
        text_ += piece;
        return *this;
    }
    cf_log_line_t& operator<<(char piece)
    {
        text_ += piece;
        return *this;
    }
    template <typename T>
    cf_log_line_t& operator<<(const T& piece)
    {
        if constexpr (std::is_integral<T>::value && !std::is_same<T, bool>::value) {
            text_ += std::to_string(piece);
        } else {
            std::ostringstream stream;
            stream << piece;
            text_ += stream.str();
        }
        return *this;
    }

    const std::string& text() const { return text_; }

private:
    std::string text_;
};
