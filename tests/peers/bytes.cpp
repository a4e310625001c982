#include "peers/bytes.hpp"

#include <stdexcept>

namespace nt {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const char digits[] = "0123456789abcdef";

} // namespace

std::string hex_bytes(const std::string& spaced_hex)
{
    std::string out;
    int high = -1;
    for (char c : spaced_hex) {
        if (c == ' ' || c == '\n' || c == '\t')
            continue;
        int d = hex_digit(c);
        if (d < 0)
            throw std::invalid_argument("hex_bytes: not a hex digit in \"" + spaced_hex + "\"");
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<char>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("hex_bytes: odd number of digits in \"" + spaced_hex + "\"");
    return out;
}

std::string to_hex(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (!out.empty())
            out.push_back(' ');
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

std::string escape_bytes(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

} // namespace nt
