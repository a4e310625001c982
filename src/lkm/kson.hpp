// kson: the byte encoding of every packet exchanged with the kernel module.
//
// A packet is a 32-bit body length in host byte order followed by the body,
// one value. A value is a marker byte and its payload:
//   Z null, T true, F false, B/i/I/L 8/16/32/64-bit integer,
//   s/S string with an 8/32-bit length, a/A array with an 8/32-bit item
//   count, o/O object with an 8/32-bit pair count (key value, value value).
// Nothing is aligned; integers are in host byte order.
//
// Plain procedural code on purpose: the kernel module shares the format and
// the daemon keeps the codec free of exceptions, logging and global state.
// Memory comes from kson_malloc and goes back through kson_free. Failures are
// reported by results only; the layers above turn them into log lines and
// errors. Every object here is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Marker bytes. 'E' is no marker: kson_type returns it for "no value".
enum kson_marker_t {
    KSON_NULL = 'Z',
    KSON_TRUE = 'T',
    KSON_FALSE = 'F',
    KSON_INT8 = 'B',
    KSON_INT16 = 'i',
    KSON_INT32 = 'I',
    KSON_INT64 = 'L',
    KSON_STRING8 = 's',
    KSON_STRING32 = 'S',
    KSON_ARRAY8 = 'a',
    KSON_ARRAY32 = 'A',
    KSON_OBJECT8 = 'o',
    KSON_OBJECT32 = 'O',
    KSON_NONE = 'E',
};

// Results of kson_parse.
enum kson_parse_result_t {
    KSON_PARSE_OK = 0,
    KSON_PARSE_END = 1,     // nothing left to parse
    KSON_PARSE_NO_DATA = 2, // no parser, or a parser without data
    KSON_PARSE_NO_MEMORY = 3,
    KSON_PARSE_MALFORMED = 4,
};

// Writer context kinds, as kson_writer_kind reports them.
enum kson_writer_kind_t {
    KSON_WRITER_COUNTING = 0,
    KSON_WRITER_BUFFER = 1,
    KSON_WRITER_ARRAY = 2,
    KSON_WRITER_OBJECT = 3,
    KSON_WRITER_NONE = 4,
};

// The kernel module's packets are small objects (a path and two integers).
// Deeper nesting, and bodies announcing more than this, come only from a
// corrupt stream: they are refused instead of exhausting the stack or the
// memory.
// A parse allocates at most KSON_ENTRIES_PER_BYTE container entries (one
// pointer each, besides one value record per value) for every byte of the
// body, so one packet commits memory in proportion to its size.
enum {
    KSON_MAX_DEPTH = 8,
    KSON_MAX_BODY = 1024 * 1024,
    KSON_ENTRIES_PER_BYTE = 1,
};

// A writer context: a root, or an open container chained to its parent.
struct kson_writer_t
{
    int32_t kind;          // kson_writer_kind_t
    bool large;            // containers: the A/O form with a 32-bit count
    uint64_t count;        // containers: values written into it (keys and values count apart)
    kson_writer_t* parent; // none for a root
    uint8_t* count_pos;    // containers: where the count is patched (none when counting);
                           // buffer root: start of its buffer
    uint64_t total;        // counting root: bytes counted; buffer root: buffer size
    uint8_t* cursor;       // buffer root: next byte to write
    uint64_t left;         // buffer root: bytes still free
};

// One parsed value; integers and strings point into the parsed body.
struct kson_value_t
{
    int32_t marker;
    uint64_t size;         // integer width, string length, item or pair count; 0 for Z/T/F
    const uint8_t* data;   // integers and strings; none otherwise
    kson_value_t** keys;   // objects: size entries
    kson_value_t** values; // object values or array items: size entries
};

// A parser over one body, which it never copies. It owns the tree of its
// last successful parse.
struct kson_parser_t
{
    const uint8_t* cursor;
    uint64_t left;
    kson_value_t* root;
};

// Called once per completed packet with a non-empty body, inside
// kson_stream_feed. The parser has parsed nothing yet; it, its tree and the
// body are released when the callback returns, so nothing of them may be
// kept. The callback must not release or feed the assembler.
typedef void (*kson_stream_callback_t)(kson_parser_t* parser, void* user);

// Cuts a byte stream into packets.
struct kson_stream_t
{
    kson_stream_callback_t callback;
    void* user;
    uint8_t header[4];    // the length field being collected
    uint64_t header_read; // 0 to 4
    uint8_t* body;        // the packet being collected, none between packets
    uint64_t body_length;
    uint64_t body_read;
    bool broken; // a feed failed: the stream is out of step for good
};

// Writes the body of one packet into a root; must write the same values on
// every call (kson_serialize calls it twice).
typedef bool (*kson_fill_t)(kson_writer_t* root, void* user);

// Allocation: sizes above 32 bits cannot be expressed and are never cut
// down; a size of 0 still yields a distinct block.
void* kson_malloc(uint32_t size);
void kson_free(void* block);

// Writer. The put, begin and end operations fail (false or none) when their
// context is none. A failed put leaves the output unusable: abandon it.
kson_writer_t* kson_writer_counting();
kson_writer_t* kson_writer_new(uint8_t* buffer, uint64_t size);
uint64_t kson_writer_size(const kson_writer_t* root);
int32_t kson_writer_kind(const kson_writer_t* context);
// The small form holds up to 255 items or pairs; the large form up to
// 4,294,967,295. The container counts in its parent when it is closed.
kson_writer_t* kson_begin_object(kson_writer_t* parent, bool large);
kson_writer_t* kson_begin_array(kson_writer_t* parent, bool large);
bool kson_put_null(kson_writer_t* context);
bool kson_put_bool(kson_writer_t* context, bool value);
bool kson_put_int8(kson_writer_t* context, int8_t value);
bool kson_put_uint8(kson_writer_t* context, uint8_t value);
bool kson_put_int16(kson_writer_t* context, int16_t value);
bool kson_put_uint16(kson_writer_t* context, uint16_t value);
bool kson_put_int32(kson_writer_t* context, int32_t value);
bool kson_put_uint32(kson_writer_t* context, uint32_t value);
bool kson_put_int64(kson_writer_t* context, int64_t value);
bool kson_put_uint64(kson_writer_t* context, uint64_t value);
// 's' up to 255 bytes, else 'S'; longer than 32 bits is refused.
bool kson_put_string_n(kson_writer_t* context, const char* bytes, uint64_t length);
// The text up to its first NUL; false for none.
bool kson_put_string(kson_writer_t* context, const char* text);
// Closes a container (patching its count) or discards a root. The context
// is released whatever the result. Fails for an object with a key missing
// its value (buffer pass) and for a full small parent.
bool kson_end(kson_writer_t* context);

// Packets. size counts the length field and the body.
bool kson_measure(kson_fill_t fill, void* user, size_t* size);
// A new packet for kson_free, or none when fill fails, writes nothing, or
// writes a different number of bytes than it counted.
uint8_t* kson_serialize(kson_fill_t fill, void* user, size_t* size);
// Into a buffer of exactly the size kson_measure gives; false when fill
// fails or does not fill the buffer exactly.
bool kson_serialize_into(kson_fill_t fill, void* user, uint8_t* buffer, size_t size);

// Parser. kson_parse returns a kson_parse_result_t; on KSON_PARSE_OK *root
// is the new tree (still owned by the parser, which released the previous
// one). Bodies nested deeper than KSON_MAX_DEPTH, containers announcing
// more entries than the bytes left can hold, and containers that together
// announce more entries than the body has bytes are malformed.
kson_parser_t* kson_parser_new(const uint8_t* data, uint64_t length);
int kson_parse(kson_parser_t* parser, kson_value_t** root);
void kson_parser_free(kson_parser_t* parser);
void kson_value_free(kson_value_t* value);

// Accessors: true only for a value of the listed markers (and an index below
// the size); out may be none to only test.
int kson_type(const kson_value_t* value);
bool kson_is_null(const kson_value_t* value);
bool kson_is_bool(const kson_value_t* value);
bool kson_is_string(const kson_value_t* value);
bool kson_is_array(const kson_value_t* value);
bool kson_is_object(const kson_value_t* value);
bool kson_get_int8(const kson_value_t* value, int8_t* out);
bool kson_get_uint8(const kson_value_t* value, uint8_t* out);
bool kson_get_int16(const kson_value_t* value, int16_t* out);
bool kson_get_uint16(const kson_value_t* value, uint16_t* out);
bool kson_get_int32(const kson_value_t* value, int32_t* out);
bool kson_get_uint32(const kson_value_t* value, uint32_t* out);
bool kson_get_int64(const kson_value_t* value, int64_t* out);
bool kson_get_uint64(const kson_value_t* value, uint64_t* out);
bool kson_get_bool(const kson_value_t* value, bool* out);
// The bytes inside the body, not NUL-terminated.
bool kson_string_data(const kson_value_t* value, const char** out);
bool kson_string_length(const kson_value_t* value, uint64_t* out);
bool kson_array_size(const kson_value_t* value, uint64_t* out);
bool kson_array_item(const kson_value_t* value, uint64_t index, kson_value_t** out);
bool kson_object_size(const kson_value_t* value, uint64_t* out);
bool kson_object_key(const kson_value_t* value, uint64_t index, kson_value_t** out);
bool kson_object_value(const kson_value_t* value, uint64_t index, kson_value_t** out);

// Stream assembler. kson_stream_feed returns false for no assembler or no
// bytes (with a count), for a length field above KSON_MAX_BODY and when
// memory runs out; after a false result the assembler is out of step with
// the stream and every later feed fails.
kson_stream_t* kson_stream_new(kson_stream_callback_t callback, void* user);
bool kson_stream_feed(kson_stream_t* stream, const void* bytes, size_t count);
void kson_stream_free(kson_stream_t* stream);
