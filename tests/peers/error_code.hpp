// Error codes as a peer may send them.
#pragma once

#include "error.pb.h"

namespace nt {

// Sets the code of the error; a number that is no nx::ErrorCode value (which
// the generated setter would refuse) goes on the wire all the same, as a
// foreign peer could send it.
void set_error_code(nx::Error& error, int code);

} // namespace nt
