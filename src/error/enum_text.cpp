#include "error/enum_text.hpp"

#include "annotation.pb.h"

std::string enum_value_text(const google::protobuf::EnumValueDescriptor& value)
{
    const google::protobuf::EnumValueOptions& options = value.options();
    if (options.HasExtension(nx::lex))
        return options.GetExtension(nx::lex);
    return value.name();
}
