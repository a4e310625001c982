#include "lkm/kson_parser.hpp"

bool ts_kson_parser_t::parse(ts_kson_value_t& root)
{
    root.reset();
    kson_value_t* value = nullptr;
    if (kson_parse(parser_, &value) != KSON_PARSE_OK)
        return false;
    root.reset(value);
    return true;
}
