// The "nx.Error" error category over nx::ErrorCode and the mapping of any
// caught failure to the exit status the daemon ends with.
#pragma once

#include <exception>
#include <string>

#include <boost/system/error_code.hpp>

#include "error.pb.h"

namespace nx {

// Error category whose values are nx::ErrorCode values. Exactly one object
// exists (see proto_error_category); codes of it compare by that address.
class cf_proto_error_impl_t : public boost::system::error_category
{
public:
    const char* name() const noexcept override;
    // The value's `lex` text, else its enumerator name; for a number that is
    // no value of the enumeration, "nx.Error " and the number.
    std::string message(int value) const override;
};

// The one category object; built on first use, never destroyed before exit.
const boost::system::error_category& proto_error_category();

// {value, "nx.Error"}; any int is accepted, defined or not.
boost::system::error_code make_error_code(int value);

} // namespace nx

// The nx::ErrorCode standing for an error code: a defined value of the
// "nx.Error" category passes through; success, EACCES/EPERM, ENOENT, ENOTDIR
// and EROFS map to 0, 24, 23, 25, 28; everything else gives 125.
int error_code_to_proto(const boost::system::error_code& code);

// The exit status for a caught exception. A caught failure never ends the
// daemon as a success: where its code maps to 0, this gives 125.
int exception_to_proto_code(const std::exception& e);

// The exception's text past a leading "boost::" and the "word::" groups that
// follow it. Points into e.what(): valid as long as the exception is.
const char* short_what(const std::exception& e);
