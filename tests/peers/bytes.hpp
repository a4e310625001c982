// Byte-string helpers shared by the tests and the peers.
#pragma once

#include <string>

namespace nt {

// "08 02 10 00" (hex pairs, blanks anywhere) to the bytes it names. Throws
// std::invalid_argument on an odd digit count or a character that is neither
// a hex digit nor a blank.
std::string hex_bytes(const std::string& spaced_hex);

// The bytes as lower-case hex pairs separated by blanks, for failure messages.
std::string to_hex(const std::string& bytes);

// The bytes with every byte outside printable ASCII written as \xHH and the
// backslash doubled, so that any path prints on one line and reads back
// unambiguously.
std::string escape_bytes(const std::string& bytes);

} // namespace nt
