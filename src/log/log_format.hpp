// How the parts of a line are written, the same in every sink: the escape
// of a text and the names of the levels. Apart from the log entry
// (log/log.hpp), so the outputs that write lines need nothing of it.
#pragma once

#include <string>

// The text with every byte below 0x20, 0x7F and the backslash written as a
// backslash and three octal digits; the text itself when it has none. The
// daemon's sinks (console, file, syslog, the fallback) write every text and
// source escaped; a sink of the tests gets the text as it was logged.
std::string log_escape(const std::string& text);
// Whether log_escape would change the text.
bool log_needs_escape(const std::string& text);
// The text when it needs no escape (the usual case: no copy), else its
// escaped form, kept in `storage`.
inline const std::string& log_escaped(const std::string& text, std::string& storage)
{
    if (!log_needs_escape(text))
        return text;
    storage = log_escape(text);
    return storage;
}

// "Debug", "Info", "Notice", "Warning", "Error"; "Unknown" for anything else.
const char* log_level_name(int level);

// The exact words of log_level_name; every other word gives Error.
int log_level_from_name(const char* name);
