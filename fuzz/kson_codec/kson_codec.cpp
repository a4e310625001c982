// The kernel module's byte stream as the control channel and the event
// reader take it: packets cut by the stream assembler, each body parsed and
// read as an ADD_DIR, DEL_DIR and EVENT_PATH response.
// Properties: the assembler cuts the same packets whether the bytes come in
// one piece, one byte at a time or in two pieces; every parsed value written
// again by the codec's writer parses into the same tree, and writing that
// tree again gives the same bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lkm/kson.hpp"
#include "lkm/kson_parser.hpp"
#include "lkm/lkm_messages.hpp"
#include "support/fuzz_support.hpp"

namespace {

struct cut_t
{
    std::vector<std::string> bodies;
    bool fed = true;
};

void on_packet(kson_parser_t* parser, void* user)
{
    static_cast<cut_t*>(user)->bodies.emplace_back(reinterpret_cast<const char*>(parser->cursor), parser->left);
}

// Feeds the bytes in pieces of the given sizes (the last piece takes the rest).
cut_t cut(const std::uint8_t* data, std::size_t size, std::size_t piece)
{
    cut_t result;
    kson_stream_t* stream = kson_stream_new(&on_packet, &result);
    nt_fuzz::check(stream != nullptr, "kson_stream_new");
    for (std::size_t done = 0; done < size && result.fed;) {
        const std::size_t n = piece == 0 ? size - done : std::min(piece, size - done);
        result.fed = kson_stream_feed(stream, data + done, n);
        done += n;
    }
    kson_stream_free(stream);
    return result;
}

bool write_value(kson_writer_t* context, const kson_value_t* value)
{
    switch (value->marker) {
    case KSON_NULL: return kson_put_null(context);
    case KSON_TRUE:
    case KSON_FALSE: return kson_put_bool(context, value->marker == KSON_TRUE);
    case KSON_INT8: {
        std::uint8_t v;
        return kson_get_uint8(value, &v) && kson_put_uint8(context, v);
    }
    case KSON_INT16: {
        std::uint16_t v;
        return kson_get_uint16(value, &v) && kson_put_uint16(context, v);
    }
    case KSON_INT32: {
        std::uint32_t v;
        return kson_get_uint32(value, &v) && kson_put_uint32(context, v);
    }
    case KSON_INT64: {
        std::uint64_t v;
        return kson_get_uint64(value, &v) && kson_put_uint64(context, v);
    }
    case KSON_STRING8:
    case KSON_STRING32: return kson_put_string_n(context, reinterpret_cast<const char*>(value->data), value->size);
    case KSON_ARRAY8:
    case KSON_ARRAY32: {
        kson_writer_t* array = kson_begin_array(context, value->marker == KSON_ARRAY32);
        if (!array)
            return false;
        for (std::uint64_t i = 0; i < value->size; ++i)
            if (!write_value(array, value->values[i])) {
                kson_end(array);
                return false;
            }
        return kson_end(array);
    }
    case KSON_OBJECT8:
    case KSON_OBJECT32: {
        kson_writer_t* object = kson_begin_object(context, value->marker == KSON_OBJECT32);
        if (!object)
            return false;
        for (std::uint64_t i = 0; i < value->size; ++i)
            if (!write_value(object, value->keys[i]) || !write_value(object, value->values[i])) {
                kson_end(object);
                return false;
            }
        return kson_end(object);
    }
    }
    nt_fuzz::fail("a parsed value with an unknown marker");
}

bool fill(kson_writer_t* root, void* user)
{
    return write_value(root, static_cast<const kson_value_t*>(user));
}

// Equal trees; a long and a short string of the same bytes are equal (the
// writer picks the form by the length).
bool same(const kson_value_t* a, const kson_value_t* b)
{
    const auto form = [](int marker) { return marker == KSON_STRING32 ? KSON_STRING8 : marker; };
    if (form(a->marker) != form(b->marker) || a->size != b->size)
        return false;
    switch (a->marker) {
    case KSON_INT8:
    case KSON_INT16:
    case KSON_INT32:
    case KSON_INT64:
    case KSON_STRING8:
    case KSON_STRING32: return a->size == 0 || std::memcmp(a->data, b->data, a->size) == 0;
    case KSON_ARRAY8:
    case KSON_ARRAY32:
        for (std::uint64_t i = 0; i < a->size; ++i)
            if (!same(a->values[i], b->values[i]))
                return false;
        return true;
    case KSON_OBJECT8:
    case KSON_OBJECT32:
        for (std::uint64_t i = 0; i < a->size; ++i)
            if (!same(a->keys[i], b->keys[i]) || !same(a->values[i], b->values[i]))
                return false;
        return true;
    default: return true;
    }
}

// The packet that the writer makes of the value, or empty when it cannot.
std::string packet_of(const kson_value_t* value)
{
    std::size_t size = 0;
    std::uint8_t* packet = kson_serialize(&fill, const_cast<kson_value_t*>(value), &size);
    if (!packet)
        return std::string();
    std::string bytes(reinterpret_cast<const char*>(packet), size);
    kson_free(packet);
    std::uint32_t length;
    nt_fuzz::check(size > 4, "a packet without a body");
    std::memcpy(&length, bytes.data(), 4);
    nt_fuzz::check(length == size - 4, "length field and body disagree");
    return bytes;
}

void round_trip(const std::string& body)
{
    ts_kson_parser_t parser(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    ts_kson_value_t root;
    if (!parser.parse(root)) {
        kson_parser_free(parser.get());
        return;
    }
    const std::string packet = packet_of(root.get());
    if (!packet.empty()) {
        ts_kson_parser_t again(reinterpret_cast<const std::uint8_t*>(packet.data()) + 4, packet.size() - 4);
        ts_kson_value_t again_root;
        nt_fuzz::check(again.parse(again_root), "a written value does not parse");
        nt_fuzz::check(same(root.get(), again_root.get()), "a written value parses into another tree");
        nt_fuzz::check(packet_of(again_root.get()) == packet, "writing the same tree twice differs");
        kson_parser_free(again.get());
    }
    kson_parser_free(parser.get());
}

template <typename Response>
void read_as(const std::string& body)
{
    ts_kson_parser_t parser(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    Response response;
    parse_response(response, parser);
    kson_parser_free(parser.get());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nt_fuzz::quiet_log();
    const cut_t whole = cut(data, size, 0);
    const cut_t bytewise = cut(data, size, 1);
    const cut_t halves = cut(data, size, size / 2 + 1);
    nt_fuzz::check(whole.bodies == bytewise.bodies && whole.fed == bytewise.fed, "one byte at a time cuts otherwise");
    nt_fuzz::check(whole.bodies == halves.bodies && whole.fed == halves.fed, "two pieces cut otherwise");

    for (const std::string& body : whole.bodies) {
        round_trip(body);
        read_as<ts_lkm_add_dir_response_t>(body);
        read_as<ts_lkm_del_dir_response_t>(body);
        read_as<ts_lkm_event_path_response_t>(body);
    }
    return 0;
}
