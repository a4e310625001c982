// The fake kernel module's own kson encoder and request decoder, written
// from the format's tables and sharing no code with the daemon's codec, so
// that each checks the other.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace module_packets {

typedef std::string bytes_t;

template <class T>
bytes_t raw(T value)
{
    bytes_t out(sizeof(T), '\0');
    memcpy(&out[0], &value, sizeof(T));
    return out;
}

inline bytes_t i8(int8_t v)
{
    return "B" + raw(v);
}
inline bytes_t i16(int16_t v)
{
    return "i" + raw(v);
}
inline bytes_t i32(int32_t v)
{
    return "I" + raw(v);
}
inline bytes_t i64(int64_t v)
{
    return "L" + raw(v);
}
inline bytes_t str(const std::string& s)
{
    if (s.size() <= 255) {
        return "s" + raw(static_cast<uint8_t>(s.size())) + s;
    }
    return "S" + raw(static_cast<uint32_t>(s.size())) + s;
}

typedef std::vector<std::pair<bytes_t, bytes_t>> pairs_t;

inline bytes_t object(const pairs_t& pairs, bool large = false)
{
    bytes_t out =
        large ? "O" + raw(static_cast<uint32_t>(pairs.size())) : "o" + raw(static_cast<uint8_t>(pairs.size()));
    for (const auto& pair : pairs) {
        out += pair.first + pair.second;
    }
    return out;
}

inline bytes_t array(const std::vector<bytes_t>& items)
{
    bytes_t out = "a" + raw(static_cast<uint8_t>(items.size()));
    for (const auto& item : items) {
        out += item;
    }
    return out;
}

inline bytes_t packet(const bytes_t& body)
{
    return raw(static_cast<uint32_t>(body.size())) + body;
}

// The module's answers and events.
inline bytes_t dir_response(int32_t type, int32_t error)
{
    return packet(object({{i32(0), i32(type)}, {i32(4), i32(error)}}));
}
inline bytes_t event_path(const std::string& path, int32_t pid)
{
    return packet(object({{i32(0), i32(4)}, {i32(2), str(path)}, {i32(3), i32(pid)}}));
}

// A request body as the daemon writes it: {I 0: I type, I 1: string dir}.
// False for anything else.
inline bool decode_dir_request(const bytes_t& body, int32_t& type, std::string& dir)
{
    size_t at = 0;
    auto take = [&](void* out, size_t n) {
        if (body.size() - at < n) {
            return false;
        }
        memcpy(out, body.data() + at, n);
        at += n;
        return true;
    };
    auto take_i32 = [&](int32_t& v) {
        char marker;
        return take(&marker, 1) && marker == 'I' && take(&v, 4);
    };
    char marker;
    uint8_t pairs;
    int32_t key;
    if (!take(&marker, 1) || marker != 'o' || !take(&pairs, 1) || pairs != 2) {
        return false;
    }
    if (!take_i32(key) || key != 0 || !take_i32(type) || !take_i32(key) || key != 1 || !take(&marker, 1)) {
        return false;
    }
    uint32_t length = 0;
    if (marker == 's') {
        uint8_t narrow;
        if (!take(&narrow, 1)) {
            return false;
        }
        length = narrow;
    } else if (marker != 'S' || !take(&length, 4)) {
        return false;
    }
    if (body.size() - at != length) {
        return false;
    }
    dir = body.substr(at);
    return true;
}

} // namespace module_packets
