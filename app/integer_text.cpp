#include "app/integer_text.h"

#include <string>

namespace plivex {

namespace {

int DigitValue(char c, int base) {
  int value = base;  // invalid unless matched below
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  return value < base ? value : -1;
}

}  // namespace

std::int32_t ParseInteger(std::string_view text) {
  const auto invalid = [&] {
    std::string reason(text);
    reason += " is not a valid integer value";
    return EConvertError(reason);
  };

  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;

  int base = 10;
  std::uint64_t limit = 0x7FFFFFFF;
  bool negative = false;
  if (pos < text.size() && text[pos] == '$') {
    base = 16;
    limit = 0xFFFFFFFF;
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) throw invalid();  // no digits at all

  std::uint64_t value = 0;
  for (; pos < text.size(); ++pos) {
    const int digit = DigitValue(text[pos], base);
    if (digit < 0) throw invalid();
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    if (value > limit) throw invalid();
  }
  // A hexadecimal value keeps its 32 bits and is read as signed.
  const auto bits = static_cast<std::uint32_t>(negative ? 0 - value : value);
  return static_cast<std::int32_t>(bits);
}

}  // namespace plivex
