#include "lkm/kson.hpp"

#include <cstdlib>
#include <cstring>

namespace {

const uint64_t KSON_U32_MAX = 0xFFFFFFFFull;
const uint64_t KSON_SMALL_ITEMS = 255;
const uint64_t KSON_SMALL_KEYS_AND_VALUES = 2 * KSON_SMALL_ITEMS;

// A size computed wider than kson_malloc takes fails like no memory.
void* kson_alloc64(uint64_t size)
{
    if (size > KSON_U32_MAX)
        return nullptr;
    return kson_malloc(static_cast<uint32_t>(size));
}

kson_writer_t* kson_new_context(int32_t kind)
{
    kson_writer_t* context = static_cast<kson_writer_t*>(kson_malloc(sizeof(kson_writer_t)));
    if (context != nullptr) {
        memset(context, 0, sizeof(*context));
        context->kind = kind;
    }
    return context;
}

kson_writer_t* kson_root_of(kson_writer_t* context)
{
    while (context->parent != nullptr)
        context = context->parent;
    return context;
}

bool kson_is_container(const kson_writer_t* context)
{
    return context->kind == KSON_WRITER_ARRAY || context->kind == KSON_WRITER_OBJECT;
}

// Hands one piece of output to the root: counted, or copied at the cursor.
bool kson_emit(kson_writer_t* context, const void* bytes, uint64_t length)
{
    kson_writer_t* root = kson_root_of(context);
    if (root->kind == KSON_WRITER_COUNTING) {
        // A body's length field has 32 bits: a longer body is refused here
        // rather than cut down later.
        if (length > KSON_U32_MAX - root->total)
            return false;
        root->total += length;
        return true;
    }
    if (root->kind != KSON_WRITER_BUFFER || root->left < length)
        return false;
    if (length != 0)
        memcpy(root->cursor, bytes, length);
    root->cursor += length;
    root->left -= length;
    return true;
}

bool kson_emit_marker(kson_writer_t* context, int marker)
{
    const uint8_t byte = static_cast<uint8_t>(marker);
    return kson_emit(context, &byte, 1);
}

// Counts one value written directly into a container; roots keep no count.
bool kson_count_value(kson_writer_t* context)
{
    if (!kson_is_container(context))
        return true;
    uint64_t limit;
    if (context->kind == KSON_WRITER_ARRAY) {
        limit = context->large ? KSON_U32_MAX : KSON_SMALL_ITEMS;
    } else {
        limit = context->large ? 2 * KSON_U32_MAX : KSON_SMALL_KEYS_AND_VALUES;
    }
    if (context->count >= limit)
        return false;
    ++context->count;
    return true;
}

bool kson_put_fixed(kson_writer_t* context, int marker, const void* payload, uint64_t width)
{
    if (context == nullptr)
        return false;
    return kson_emit_marker(context, marker) && kson_emit(context, payload, width) && kson_count_value(context);
}

kson_writer_t* kson_begin(kson_writer_t* parent, bool large, int32_t kind, int small_marker, int large_marker)
{
    if (parent == nullptr)
        return nullptr;
    kson_writer_t* context = kson_new_context(kind);
    if (context == nullptr)
        return nullptr;
    context->large = large;
    context->parent = parent;
    if (!kson_emit_marker(context, large ? large_marker : small_marker)) {
        kson_free(context);
        return nullptr;
    }
    kson_writer_t* root = kson_root_of(context);
    context->count_pos = root->kind == KSON_WRITER_BUFFER ? root->cursor : nullptr;
    // The real count is patched in at the close.
    const uint8_t small_placeholder = 0;
    const uint32_t large_placeholder = 256;
    const bool written = large ? kson_emit(context, &large_placeholder, sizeof(large_placeholder))
                               : kson_emit(context, &small_placeholder, sizeof(small_placeholder));
    if (!written) {
        kson_free(context);
        return nullptr;
    }
    return context;
}

bool kson_fill_root(kson_writer_t* root, kson_fill_t fill, void* user, uint64_t expected)
{
    const bool filled = fill(root, user);
    const uint64_t written = root->total - root->left;
    kson_end(root);
    // A fill that writes fewer bytes the second time would leave bytes of
    // the packet that nobody wrote.
    return filled && written == expected;
}

kson_value_t* kson_new_value(int marker, uint64_t size, const uint8_t* data)
{
    kson_value_t* value = static_cast<kson_value_t*>(kson_malloc(sizeof(kson_value_t)));
    if (value != nullptr) {
        memset(value, 0, sizeof(*value));
        value->marker = marker;
        value->size = size;
        value->data = data;
    }
    return value;
}

kson_value_t** kson_new_table(uint64_t count)
{
    if (count == 0)
        return nullptr;
    if (count > KSON_U32_MAX / sizeof(kson_value_t*))
        return nullptr;
    kson_value_t** table = static_cast<kson_value_t**>(kson_alloc64(count * sizeof(kson_value_t*)));
    if (table != nullptr) {
        for (uint64_t i = 0; i < count; ++i)
            table[i] = nullptr;
    }
    return table;
}

bool kson_take(kson_parser_t* parser, void* out, uint64_t width)
{
    if (parser->left < width)
        return false;
    memcpy(out, parser->cursor, width);
    parser->cursor += width;
    parser->left -= width;
    return true;
}

// Reads an 8-bit or 32-bit length or count.
bool kson_take_count(kson_parser_t* parser, bool large, uint64_t* count)
{
    if (large) {
        uint32_t wide;
        if (!kson_take(parser, &wide, sizeof(wide)))
            return false;
        *count = wide;
        return true;
    }
    uint8_t narrow;
    if (!kson_take(parser, &narrow, sizeof(narrow)))
        return false;
    *count = narrow;
    return true;
}

// budget: the table entries this parse may still allocate. Every entry
// holds a value of its own, which takes at least one byte of the body, so a
// body that holds what its containers announce never runs out; one whose
// nested containers each announce the rest of the body does, before its
// tables add up to many times the body.
int kson_read_value(kson_parser_t* parser, unsigned depth, uint64_t* budget, kson_value_t** out)
{
    uint8_t marker;
    if (!kson_take(parser, &marker, 1))
        return KSON_PARSE_MALFORMED;
    uint64_t width = 0;
    switch (marker) {
    case KSON_NULL:
    case KSON_TRUE:
    case KSON_FALSE:
        *out = kson_new_value(marker, 0, nullptr);
        return *out != nullptr ? KSON_PARSE_OK : KSON_PARSE_NO_MEMORY;
    case KSON_INT8: width = 1; break;
    case KSON_INT16: width = 2; break;
    case KSON_INT32: width = 4; break;
    case KSON_INT64: width = 8; break;
    case KSON_STRING8:
    case KSON_STRING32:
        if (!kson_take_count(parser, marker == KSON_STRING32, &width))
            return KSON_PARSE_MALFORMED;
        break;
    case KSON_ARRAY8:
    case KSON_ARRAY32:
    case KSON_OBJECT8:
    case KSON_OBJECT32: {
        const bool object = marker == KSON_OBJECT8 || marker == KSON_OBJECT32;
        uint64_t count;
        if (!kson_take_count(parser, marker == KSON_ARRAY32 || marker == KSON_OBJECT32, &count))
            return KSON_PARSE_MALFORMED;
        // Every value takes at least one byte: a count the rest of the body
        // cannot hold is refused before anything is allocated for it.
        const uint64_t entries = object ? 2 * count : count;
        if (depth >= KSON_MAX_DEPTH || entries > parser->left || entries > *budget)
            return KSON_PARSE_MALFORMED;
        *budget -= entries;
        kson_value_t* value = kson_new_value(marker, count, nullptr);
        if (value == nullptr)
            return KSON_PARSE_NO_MEMORY;
        value->values = kson_new_table(count);
        if (object)
            value->keys = kson_new_table(count);
        if (count != 0 && (value->values == nullptr || (object && value->keys == nullptr))) {
            kson_value_free(value);
            return KSON_PARSE_NO_MEMORY;
        }
        for (uint64_t i = 0; i < count; ++i) {
            int result = KSON_PARSE_OK;
            if (object)
                result = kson_read_value(parser, depth + 1, budget, &value->keys[i]);
            if (result == KSON_PARSE_OK)
                result = kson_read_value(parser, depth + 1, budget, &value->values[i]);
            if (result != KSON_PARSE_OK) {
                kson_value_free(value);
                return result;
            }
        }
        *out = value;
        return KSON_PARSE_OK;
    }
    default: return KSON_PARSE_MALFORMED;
    }
    // Integers and strings: the payload stays in the body.
    if (parser->left < width)
        return KSON_PARSE_MALFORMED;
    *out = kson_new_value(marker, width, parser->cursor);
    if (*out == nullptr)
        return KSON_PARSE_NO_MEMORY;
    parser->cursor += width;
    parser->left -= width;
    return KSON_PARSE_OK;
}

bool kson_get_fixed(const kson_value_t* value, int marker, void* out, size_t width)
{
    if (value == nullptr || value->marker != marker)
        return false;
    if (out != nullptr)
        memcpy(out, value->data, width);
    return true;
}

bool kson_entry(const kson_value_t* value, bool object, kson_value_t* const* table, uint64_t index, kson_value_t** out)
{
    if (!(object ? kson_is_object(value) : kson_is_array(value)) || index >= value->size)
        return false;
    if (out != nullptr)
        *out = table[index];
    return true;
}

} // namespace

void* kson_malloc(uint32_t size)
{
    return malloc(size != 0 ? size : 1);
}

void kson_free(void* block)
{
    free(block);
}

kson_writer_t* kson_writer_counting()
{
    return kson_new_context(KSON_WRITER_COUNTING);
}

kson_writer_t* kson_writer_new(uint8_t* buffer, uint64_t size)
{
    if (buffer == nullptr || size == 0)
        return nullptr;
    kson_writer_t* root = kson_new_context(KSON_WRITER_BUFFER);
    if (root != nullptr) {
        root->count_pos = buffer;
        root->total = size;
        root->cursor = buffer;
        root->left = size;
    }
    return root;
}

uint64_t kson_writer_size(const kson_writer_t* root)
{
    if (root == nullptr)
        return 0;
    while (root->parent != nullptr)
        root = root->parent;
    if (root->kind == KSON_WRITER_COUNTING)
        return root->total;
    return root->total - root->left;
}

int32_t kson_writer_kind(const kson_writer_t* context)
{
    return context != nullptr ? context->kind : static_cast<int32_t>(KSON_WRITER_NONE);
}

kson_writer_t* kson_begin_object(kson_writer_t* parent, bool large)
{
    return kson_begin(parent, large, KSON_WRITER_OBJECT, KSON_OBJECT8, KSON_OBJECT32);
}

kson_writer_t* kson_begin_array(kson_writer_t* parent, bool large)
{
    return kson_begin(parent, large, KSON_WRITER_ARRAY, KSON_ARRAY8, KSON_ARRAY32);
}

bool kson_put_null(kson_writer_t* context)
{
    return kson_put_fixed(context, KSON_NULL, nullptr, 0);
}

bool kson_put_bool(kson_writer_t* context, bool value)
{
    return kson_put_fixed(context, value ? KSON_TRUE : KSON_FALSE, nullptr, 0);
}

bool kson_put_int8(kson_writer_t* context, int8_t value)
{
    return kson_put_fixed(context, KSON_INT8, &value, sizeof(value));
}

bool kson_put_uint8(kson_writer_t* context, uint8_t value)
{
    return kson_put_fixed(context, KSON_INT8, &value, sizeof(value));
}

bool kson_put_int16(kson_writer_t* context, int16_t value)
{
    return kson_put_fixed(context, KSON_INT16, &value, sizeof(value));
}

bool kson_put_uint16(kson_writer_t* context, uint16_t value)
{
    return kson_put_fixed(context, KSON_INT16, &value, sizeof(value));
}

bool kson_put_int32(kson_writer_t* context, int32_t value)
{
    return kson_put_fixed(context, KSON_INT32, &value, sizeof(value));
}

bool kson_put_uint32(kson_writer_t* context, uint32_t value)
{
    return kson_put_fixed(context, KSON_INT32, &value, sizeof(value));
}

bool kson_put_int64(kson_writer_t* context, int64_t value)
{
    return kson_put_fixed(context, KSON_INT64, &value, sizeof(value));
}

bool kson_put_uint64(kson_writer_t* context, uint64_t value)
{
    return kson_put_fixed(context, KSON_INT64, &value, sizeof(value));
}

bool kson_put_string_n(kson_writer_t* context, const char* bytes, uint64_t length)
{
    if (context == nullptr || (bytes == nullptr && length != 0) || length > KSON_U32_MAX)
        return false;
    bool written;
    if (length <= KSON_SMALL_ITEMS) {
        const uint8_t narrow = static_cast<uint8_t>(length);
        written = kson_emit_marker(context, KSON_STRING8) && kson_emit(context, &narrow, sizeof(narrow));
    } else {
        const uint32_t wide = static_cast<uint32_t>(length);
        written = kson_emit_marker(context, KSON_STRING32) && kson_emit(context, &wide, sizeof(wide));
    }
    return written && kson_emit(context, bytes, length) && kson_count_value(context);
}

bool kson_put_string(kson_writer_t* context, const char* text)
{
    if (text == nullptr)
        return false;
    return kson_put_string_n(context, text, strlen(text));
}

bool kson_end(kson_writer_t* context)
{
    if (context == nullptr)
        return false;
    if (!kson_is_container(context)) {
        kson_free(context);
        return true;
    }
    bool closed = true;
    if (context->count_pos != nullptr) {
        uint64_t stored = context->count;
        if (context->kind == KSON_WRITER_OBJECT) {
            closed = (stored % 2) == 0;
            stored /= 2;
        }
        if (closed) {
            if (context->large) {
                const uint32_t wide = static_cast<uint32_t>(stored);
                memcpy(context->count_pos, &wide, sizeof(wide));
            } else {
                context->count_pos[0] = static_cast<uint8_t>(stored);
            }
        }
    }
    if (closed)
        closed = kson_count_value(context->parent);
    kson_free(context);
    return closed;
}

bool kson_measure(kson_fill_t fill, void* user, size_t* size)
{
    if (fill == nullptr)
        return false;
    kson_writer_t* root = kson_writer_counting();
    if (root == nullptr)
        return false;
    const bool filled = fill(root, user);
    const uint64_t total = root->total;
    kson_end(root);
    if (!filled || total == 0)
        return false;
    if (size != nullptr)
        *size = static_cast<size_t>(total + 4);
    return true;
}

uint8_t* kson_serialize(kson_fill_t fill, void* user, size_t* size)
{
    size_t packet_size;
    if (!kson_measure(fill, user, &packet_size))
        return nullptr;
    uint8_t* packet = static_cast<uint8_t*>(kson_alloc64(packet_size));
    if (packet == nullptr)
        return nullptr;
    if (!kson_serialize_into(fill, user, packet, packet_size)) {
        kson_free(packet);
        return nullptr;
    }
    if (size != nullptr)
        *size = packet_size;
    return packet;
}

bool kson_serialize_into(kson_fill_t fill, void* user, uint8_t* buffer, size_t size)
{
    if (fill == nullptr || buffer == nullptr || size <= 4 || size - 4 > KSON_U32_MAX)
        return false;
    const uint32_t body_length = static_cast<uint32_t>(size - 4);
    memcpy(buffer, &body_length, sizeof(body_length));
    kson_writer_t* root = kson_writer_new(buffer + 4, body_length);
    if (root == nullptr)
        return false;
    return kson_fill_root(root, fill, user, body_length);
}

kson_parser_t* kson_parser_new(const uint8_t* data, uint64_t length)
{
    if (data == nullptr || length == 0)
        return nullptr;
    kson_parser_t* parser = static_cast<kson_parser_t*>(kson_malloc(sizeof(kson_parser_t)));
    if (parser != nullptr) {
        parser->cursor = data;
        parser->left = length;
        parser->root = nullptr;
    }
    return parser;
}

int kson_parse(kson_parser_t* parser, kson_value_t** root)
{
    if (parser == nullptr || parser->cursor == nullptr)
        return KSON_PARSE_NO_DATA;
    if (parser->left == 0)
        return KSON_PARSE_END;
    kson_value_free(parser->root);
    parser->root = nullptr;
    kson_value_t* value = nullptr;
    uint64_t budget = parser->left * KSON_ENTRIES_PER_BYTE;
    const int result = kson_read_value(parser, 0, &budget, &value);
    if (result == KSON_PARSE_OK) {
        parser->root = value;
        if (root != nullptr)
            *root = value;
    }
    return result;
}

void kson_parser_free(kson_parser_t* parser)
{
    if (parser == nullptr)
        return;
    kson_value_free(parser->root);
    kson_free(parser);
}

void kson_value_free(kson_value_t* value)
{
    if (value == nullptr)
        return;
    for (uint64_t i = 0; value->keys != nullptr && i < value->size; ++i)
        kson_value_free(value->keys[i]);
    for (uint64_t i = 0; value->values != nullptr && i < value->size; ++i)
        kson_value_free(value->values[i]);
    kson_free(value->keys);
    kson_free(value->values);
    kson_free(value);
}

int kson_type(const kson_value_t* value)
{
    return value != nullptr ? value->marker : static_cast<int>(KSON_NONE);
}

bool kson_is_null(const kson_value_t* value)
{
    return kson_type(value) == KSON_NULL;
}

bool kson_is_bool(const kson_value_t* value)
{
    const int type = kson_type(value);
    return type == KSON_TRUE || type == KSON_FALSE;
}

bool kson_is_string(const kson_value_t* value)
{
    const int type = kson_type(value);
    return type == KSON_STRING8 || type == KSON_STRING32;
}

bool kson_is_array(const kson_value_t* value)
{
    const int type = kson_type(value);
    return type == KSON_ARRAY8 || type == KSON_ARRAY32;
}

bool kson_is_object(const kson_value_t* value)
{
    const int type = kson_type(value);
    return type == KSON_OBJECT8 || type == KSON_OBJECT32;
}

bool kson_get_int8(const kson_value_t* value, int8_t* out)
{
    return kson_get_fixed(value, KSON_INT8, out, sizeof(*out));
}

bool kson_get_uint8(const kson_value_t* value, uint8_t* out)
{
    return kson_get_fixed(value, KSON_INT8, out, sizeof(*out));
}

bool kson_get_int16(const kson_value_t* value, int16_t* out)
{
    return kson_get_fixed(value, KSON_INT16, out, sizeof(*out));
}

bool kson_get_uint16(const kson_value_t* value, uint16_t* out)
{
    return kson_get_fixed(value, KSON_INT16, out, sizeof(*out));
}

bool kson_get_int32(const kson_value_t* value, int32_t* out)
{
    return kson_get_fixed(value, KSON_INT32, out, sizeof(*out));
}

bool kson_get_uint32(const kson_value_t* value, uint32_t* out)
{
    return kson_get_fixed(value, KSON_INT32, out, sizeof(*out));
}

bool kson_get_int64(const kson_value_t* value, int64_t* out)
{
    return kson_get_fixed(value, KSON_INT64, out, sizeof(*out));
}

bool kson_get_uint64(const kson_value_t* value, uint64_t* out)
{
    return kson_get_fixed(value, KSON_INT64, out, sizeof(*out));
}

bool kson_get_bool(const kson_value_t* value, bool* out)
{
    if (!kson_is_bool(value))
        return false;
    if (out != nullptr)
        *out = value->marker == KSON_TRUE;
    return true;
}

bool kson_string_data(const kson_value_t* value, const char** out)
{
    if (!kson_is_string(value))
        return false;
    if (out != nullptr)
        *out = reinterpret_cast<const char*>(value->data);
    return true;
}

bool kson_string_length(const kson_value_t* value, uint64_t* out)
{
    if (!kson_is_string(value))
        return false;
    if (out != nullptr)
        *out = value->size;
    return true;
}

bool kson_array_size(const kson_value_t* value, uint64_t* out)
{
    if (!kson_is_array(value))
        return false;
    if (out != nullptr)
        *out = value->size;
    return true;
}

bool kson_array_item(const kson_value_t* value, uint64_t index, kson_value_t** out)
{
    return value != nullptr && kson_entry(value, false, value->values, index, out);
}

bool kson_object_size(const kson_value_t* value, uint64_t* out)
{
    if (!kson_is_object(value))
        return false;
    if (out != nullptr)
        *out = value->size;
    return true;
}

bool kson_object_key(const kson_value_t* value, uint64_t index, kson_value_t** out)
{
    return value != nullptr && kson_entry(value, true, value->keys, index, out);
}

bool kson_object_value(const kson_value_t* value, uint64_t index, kson_value_t** out)
{
    return value != nullptr && kson_entry(value, true, value->values, index, out);
}

kson_stream_t* kson_stream_new(kson_stream_callback_t callback, void* user)
{
    kson_stream_t* stream = static_cast<kson_stream_t*>(kson_malloc(sizeof(kson_stream_t)));
    if (stream != nullptr) {
        memset(stream, 0, sizeof(*stream));
        stream->callback = callback;
        stream->user = user;
    }
    return stream;
}

bool kson_stream_feed(kson_stream_t* stream, const void* bytes, size_t count)
{
    if (stream == nullptr || bytes == nullptr || stream->broken)
        return false;
    const uint8_t* next = static_cast<const uint8_t*>(bytes);
    while (count != 0) {
        if (stream->body == nullptr) {
            uint64_t take = 4 - stream->header_read;
            if (take > count)
                take = count;
            memcpy(stream->header + stream->header_read, next, take);
            stream->header_read += take;
            next += take;
            count -= take;
            if (stream->header_read < 4)
                break;
            uint32_t length;
            memcpy(&length, stream->header, sizeof(length));
            stream->header_read = 0;
            if (length == 0)
                continue;
            // A length beyond any packet of the module means the stream is
            // corrupt; it is not allocated.
            stream->body = length <= KSON_MAX_BODY ? static_cast<uint8_t*>(kson_malloc(length)) : nullptr;
            if (stream->body == nullptr) {
                stream->broken = true;
                return false;
            }
            stream->body_length = length;
            stream->body_read = 0;
            continue;
        }
        uint64_t take = stream->body_length - stream->body_read;
        if (take > count)
            take = count;
        memcpy(stream->body + stream->body_read, next, take);
        stream->body_read += take;
        next += take;
        count -= take;
        if (stream->body_read < stream->body_length)
            break;
        uint8_t* body = stream->body;
        const uint64_t length = stream->body_length;
        stream->body = nullptr;
        stream->body_length = 0;
        stream->body_read = 0;
        if (stream->callback != nullptr) {
            kson_parser_t* parser = kson_parser_new(body, length);
            if (parser == nullptr) {
                kson_free(body);
                stream->broken = true;
                return false;
            }
            stream->callback(parser, stream->user);
            kson_parser_free(parser);
        }
        kson_free(body);
    }
    return true;
}

void kson_stream_free(kson_stream_t* stream)
{
    if (stream == nullptr)
        return;
    kson_free(stream->body);
    kson_free(stream);
}
