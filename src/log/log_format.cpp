#include "log/log_format.hpp"

#include <cstring>

#include "log/log.hpp"
#include "log/log_texts.hpp"

namespace {

bool needs_escape(unsigned char byte)
{
    return byte < 0x20 || byte == 0x7F || byte == '\\';
}

} // namespace

bool log_needs_escape(const std::string& text)
{
    for (const char c : text)
        if (needs_escape(static_cast<unsigned char>(c)))
            return true;
    return false;
}

std::string log_escape(const std::string& text)
{
    std::string escaped;
    escaped.reserve(text.size() + 16);
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (!needs_escape(byte)) {
            escaped += c;
            continue;
        }
        const char octal[] = {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
                              static_cast<char>('0' + (byte & 7))};
        escaped.append(octal, sizeof octal);
    }
    return escaped;
}

const char* log_level_name(int level)
{
    static const char* const names[] = {CF_TEXT_LEVEL_DEBUG, CF_TEXT_LEVEL_INFO, CF_TEXT_LEVEL_NOTICE,
                                        CF_TEXT_LEVEL_WARNING, CF_TEXT_LEVEL_ERROR};
    if (level < 0 || level > 4)
        return CF_TEXT_LEVEL_UNKNOWN;
    return names[level];
}

int log_level_from_name(const char* name)
{
    for (int level = LOG_DEBUG_LEVEL; level < LOG_ERROR_LEVEL; ++level)
        if (std::strcmp(name, log_level_name(level)) == 0)
            return level;
    return LOG_ERROR_LEVEL;
}
