#include "peers/error_code.hpp"

#include <cstdint>

namespace nt {

void set_error_code(nx::Error& error, int code)
{
    if (nx::ErrorCode_IsValid(code)) {
        error.set_code(static_cast<nx::ErrorCode>(code));
        return;
    }
    error.clear_code();
    // Negative numbers travel as ten-byte varints, as protobuf writes them.
    error.GetReflection()->MutableUnknownFields(&error)->AddVarint(
        1, static_cast<std::uint64_t>(static_cast<std::int64_t>(code)));
}

} // namespace nt
