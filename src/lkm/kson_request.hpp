// A request the daemon writes on the kernel module's control device, and
// how it becomes a packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "lkm/kson.hpp"

class ts_kson_request_t
{
public:
    virtual ~ts_kson_request_t() {}
    // Writes the request's pairs into the open object; false at the first
    // write that fails.
    virtual bool serialize(kson_writer_t* object) const = 0;
};

// The whole packet (length field and body) into packet, which must be
// empty, and its byte count into size; false when it cannot be built.
// Throws std::bad_alloc.
bool serialize_request(const ts_kson_request_t& request, std::vector<char>& packet, size_t& size);

// The fill given to kson_serialize: a small object on the root holding the
// request's pairs. Logs "Couldn't create object for request" when the
// object cannot be opened. request is a const ts_kson_request_t*.
bool fill_request_object(kson_writer_t* root, void* request);

// The pairs of ADD_DIR and DEL_DIR: type, then the directory up to its
// first NUL byte.
bool put_dir_request(kson_writer_t* object, int32_t type, const std::string& dir);
