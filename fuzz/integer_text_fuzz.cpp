// Fuzzes the integer syntax of the sample rate argument with any bytes.
//
// ParseInteger must agree with the plain restatement of the rule below on
// every text: both accept it with the same value, or both refuse it, and a
// refusal is always EConvertError (anything else escapes and is a crash).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/integer_text.h"
#include "fuzz/fuzz_check.h"

namespace {

using plivex::fuzz::Require;

constexpr std::string_view kDecimalDigits = "0123456789";
constexpr std::string_view kHexDigits = "0123456789abcdef";

// The value of a hexadecimal digit in either case, or -1.
int HexValue(char c) {
  const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  const std::size_t at = kHexDigits.find(lower);
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

std::string_view WithoutLeadingZeros(std::string_view digits) {
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  return digits;
}

// The rule, written out step by step: blanks (code 32) first; then '$' and
// one or more hexadecimal digits worth at most 8 significant digits, the
// 32 bits read as signed; or an optional sign and one or more decimal
// digits worth at most 2147483647. Nothing else, nothing after.
bool PlainParse(std::string_view text, std::int32_t& value) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (text.empty()) return false;

  if (text.front() == '$') {
    const std::string_view digits = text.substr(1);
    if (digits.empty()) return false;
    for (const char c : digits) {
      if (HexValue(c) < 0) return false;
    }
    const std::string_view significant = WithoutLeadingZeros(digits);
    if (significant.size() > 8) return false;
    std::uint32_t bits = 0;
    for (const char c : significant) bits = bits * 16 + static_cast<std::uint32_t>(HexValue(c));
    value = static_cast<std::int32_t>(bits);  // two's complement
    return true;
  }

  bool negative = false;
  if (text.front() == '+' || text.front() == '-') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return false;
  for (const char c : text) {
    if (kDecimalDigits.find(c) == std::string_view::npos) return false;
  }
  const std::string_view significant = WithoutLeadingZeros(text);
  // Same-length digit strings compare like their numbers.
  if (significant.size() > 10) return false;
  if (significant.size() == 10 && significant > "2147483647") return false;
  std::int64_t magnitude = 0;
  for (const char c : significant) magnitude = magnitude * 10 + (c - '0');
  value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::int32_t expected = 0;
  const bool valid = PlainParse(text, expected);

  bool accepted = true;
  std::int32_t value = 0;
  try {
    value = plivex::ParseInteger(text);
  } catch (const plivex::EConvertError&) {
    accepted = false;
  }

  Require(accepted == valid, "ParseInteger accepts exactly the texts the rule allows");
  if (accepted) Require(value == expected, "ParseInteger's value is the rule's value");
  return 0;
}
