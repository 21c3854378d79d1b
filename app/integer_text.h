#pragma once

#include <cstdint>
#include <string_view>

namespace plivex {

// Reads a whole text as a signed 32-bit integer, or raises EConvertError.
// Accepted: blanks (code 32 only) first, then either an optional '+' or '-'
// and decimal digits (value from -2147483647 to 2147483647), or '$' and
// hexadecimal digits in either case (any 32-bit value, read as signed, so
// $80000000 and above are negative). Leading zeros do not count against the
// range. Nothing may follow the digits.
std::int32_t ParseInteger(std::string_view text);

}  // namespace plivex
