#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace plivex {

// The text of a number argument is not an integer in the syntax below.
struct EConvertError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reads a whole text as a signed 32-bit integer, or raises EConvertError.
// Accepted: blanks (code 32 only) first, then either an optional '+' or '-'
// and decimal digits (value from -2147483647 to 2147483647), or '$' and
// hexadecimal digits in either case (any 32-bit value, read as signed, so
// $80000000 and above are negative). Leading zeros do not count against the
// range. Nothing may follow the digits.
std::int32_t ParseInteger(std::string_view text);

// True when `text` has the form ParseInteger reads, whatever its value: a
// value out of its range still counts.
bool HasIntegerForm(std::string_view text);

}  // namespace plivex
