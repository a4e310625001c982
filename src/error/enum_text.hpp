// Display texts of enumeration values: the `lex` option of the schema when
// present, else the enumerator name, else the decimal number.
#pragma once

#include <string>

#include <google/protobuf/descriptor.h>
#include <google/protobuf/generated_enum_reflection.h>

std::string enum_value_text(const google::protobuf::EnumValueDescriptor& value);

template <typename E>
std::string enum_text(int number)
{
    const google::protobuf::EnumDescriptor* type = google::protobuf::GetEnumDescriptor<E>();
    const google::protobuf::EnumValueDescriptor* value = type->FindValueByNumber(number);
    if (value == nullptr)
        return std::to_string(number);
    return enum_value_text(*value);
}
