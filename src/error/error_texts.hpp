// The fixed texts of the daemon's error category.
#pragma once

// The name of the category over nx::ErrorCode (error_category::name).
inline constexpr const char* CF_TEXT_ERROR_CATEGORY = "nx.Error";
// The message of a code that is no value of nx::ErrorCode; the number
// follows.
inline constexpr const char* CF_TEXT_ERROR_UNKNOWN_CODE = "nx.Error ";
