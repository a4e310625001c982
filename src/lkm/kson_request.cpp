#include "lkm/kson_request.hpp"

#include "lkm/lkm_protocol.hpp"
#include "lkm/lkm_texts.hpp"

bool serialize_request(const ts_kson_request_t& request, std::vector<char>& packet, size_t& size)
{
    size_t built_size = 0;
    uint8_t* built = kson_serialize(&fill_request_object, const_cast<ts_kson_request_t*>(&request), &built_size);
    if (built == nullptr)
        return false;
    try {
        packet.assign(built, built + built_size);
    } catch (...) {
        kson_free(built);
        throw;
    }
    kson_free(built);
    size = built_size;
    return true;
}

bool fill_request_object(kson_writer_t* root, void* request)
{
    kson_writer_t* object = kson_begin_object(root, false);
    if (object == nullptr) {
        NT_LOG(LOG_ERROR_LEVEL, TS_TEXT_LKM_NO_REQUEST_OBJECT);
        return false;
    }
    const bool written = static_cast<const ts_kson_request_t*>(request)->serialize(object);
    // The object is released whatever serialize did.
    const bool closed = kson_end(object);
    return written && closed;
}

bool put_dir_request(kson_writer_t* object, int32_t type, const std::string& dir)
{
    return kson_put_int32(object, NOXEL_FT_PACKET_TYPE) && kson_put_int32(object, type) &&
           kson_put_int32(object, NOXEL_FT_DIR) && kson_put_string(object, dir.c_str());
}
