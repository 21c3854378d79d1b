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

// What a text holds when read by the integer syntax.
struct Scan {
  bool has_form = false;    // the syntax fits, whatever the value
  bool in_range = false;    // and the value is within the form's limit
  bool negative = false;
  std::uint64_t value = 0;  // when in range
};

Scan ScanInteger(std::string_view text) {
  Scan scan;
  std::size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;

  int base = 10;
  std::uint64_t limit = 0x7FFFFFFF;
  if (pos < text.size() && text[pos] == '$') {
    base = 16;
    limit = 0xFFFFFFFF;
    ++pos;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    scan.negative = text[pos] == '-';
    ++pos;
  }
  if (pos == text.size()) return scan;  // no digits at all

  scan.in_range = true;
  for (; pos < text.size(); ++pos) {
    const int digit = DigitValue(text[pos], base);
    if (digit < 0) return Scan{};
    // Past the limit the digits are still checked, but no longer added up.
    if (scan.in_range) {
      scan.value = scan.value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
      scan.in_range = scan.value <= limit;
    }
  }
  scan.has_form = true;
  return scan;
}

}  // namespace

std::int32_t ParseInteger(std::string_view text) {
  const Scan scan = ScanInteger(text);
  if (!scan.has_form || !scan.in_range) {
    std::string reason(text);
    reason += " is not a valid integer value";
    throw EConvertError(reason);
  }
  // A hexadecimal value keeps its 32 bits and is read as signed.
  const auto bits = static_cast<std::uint32_t>(scan.negative ? 0 - scan.value : scan.value);
  return static_cast<std::int32_t>(bits);
}

bool HasIntegerForm(std::string_view text) { return ScanInteger(text).has_form; }

}  // namespace plivex
