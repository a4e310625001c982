#include "error/proto_error.hpp"

#include <cerrno>
#include <cstring>

#include <boost/system/system_error.hpp>

#include "error/enum_text.hpp"
#include "error/error_texts.hpp"

namespace nx {

const char* cf_proto_error_impl_t::name() const noexcept
{
    return CF_TEXT_ERROR_CATEGORY;
}

std::string cf_proto_error_impl_t::message(int value) const
{
    const google::protobuf::EnumValueDescriptor* v = ErrorCode_descriptor()->FindValueByNumber(value);
    if (v == nullptr)
        return CF_TEXT_ERROR_UNKNOWN_CODE + std::to_string(value);
    return enum_value_text(*v);
}

const boost::system::error_category& proto_error_category()
{
    // Never destroyed: threads that are still running at exit may still
    // format codes of this category.
    static const cf_proto_error_impl_t* category = new cf_proto_error_impl_t;
    return *category;
}

boost::system::error_code make_error_code(int value)
{
    return boost::system::error_code(value, proto_error_category());
}

} // namespace nx

int error_code_to_proto(const boost::system::error_code& code)
{
    if (code.category() == nx::proto_error_category() && nx::ErrorCode_IsValid(code.value()))
        return code.value();
    const boost::system::error_category& generic = boost::system::generic_category();
    if (code == boost::system::error_condition(0, generic))
        return nx::EC_OK;
    if (code == boost::system::error_condition(EACCES, generic) ||
        code == boost::system::error_condition(EPERM, generic))
        return nx::EC_PERMISSION_DENIED;
    if (code == boost::system::error_condition(ENOENT, generic))
        return nx::EC_NO_SUCH_ENTRY;
    if (code == boost::system::error_condition(ENOTDIR, generic))
        return nx::EC_NOT_A_DIRECTORY;
    if (code == boost::system::error_condition(EROFS, generic))
        return nx::EC_READ_ONLY_FS;
    return nx::EC_UNEXPECTED_ERROR;
}

int exception_to_proto_code(const std::exception& e)
{
    const boost::system::system_error* se = dynamic_cast<const boost::system::system_error*>(&e);
    if (se == nullptr)
        return nx::EC_UNEXPECTED_ERROR;
    int status = error_code_to_proto(se->code());
    return status == nx::EC_OK ? nx::EC_UNEXPECTED_ERROR : status;
}

namespace {

bool is_word(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

} // namespace

const char* short_what(const std::exception& e)
{
    // A hand-written matcher for ^boost::(\w+::)* : it runs on every Error
    // line and must not throw or allocate.
    const char* text = e.what();
    static const char prefix[] = "boost::";
    if (std::strncmp(text, prefix, sizeof prefix - 1) != 0)
        return text;
    const char* p = text + sizeof prefix - 1;
    for (;;) {
        const char* q = p;
        while (is_word(*q))
            ++q;
        if (q == p || q[0] != ':' || q[1] != ':')
            return p;
        p = q + 2;
    }
}
