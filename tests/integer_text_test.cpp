#include "app/integer_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

namespace plivex {
namespace {

struct Accepted {
  std::string text;
  std::int32_t value;
};

TEST(IntegerText, AcceptsDecimalAndHexadecimalForms) {
  const Accepted cases[] = {
      {"0", 0},
      {"1000", 1000},
      {"48000", 48000},
      {"+1000", 1000},
      {"-1000", -1000},
      {"+0", 0},
      {"-0", 0},
      {" 1000", 1000},
      {"     44100", 44100},
      {"0001000", 1000},
      {"000000000000000000048000", 48000},
      {"2147483647", 2147483647},
      {"-2147483647", -2147483647},
      {"$3E8", 1000},
      {"$3e8", 1000},
      {"$BB80", 48000},
      {"$bB80", 48000},
      {"  $BB80", 48000},
      {"$0", 0},
      {"$00000000000BB80", 48000},
      {"$7FFFFFFF", 2147483647},
      {"$80000000", INT32_MIN},
      {"$FFFFFFFF", -1},
      {"$fffffc18", -1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseInteger(c.text), c.value);
    EXPECT_TRUE(HasIntegerForm(c.text));
  }
}

TEST(IntegerText, RejectsEverythingElse) {
  const std::string cases[] = {
      "",
      " ",
      "   ",
      "+",
      "-",
      "$",
      " $",
      "48000 ",      // nothing may follow the digits
      "48000x",
      "44.1",
      "1e3",
      "1,000",
      "1 000",
      "\t1000",      // only code 32 counts as a leading blank
      "\n1000",
      "1000\r",
      "++1000",
      "+-1000",
      "- 1000",
      "-$3E8",       // no sign before or after the '$'
      "+$3E8",
      "$-3E8",
      "$+3E8",
      "$$3E8",
      "$3G8",
      "$ 3E8",
      "0x3E8",
      "3E8",
      "2147483648",  // decimal range ends one short of the 32-bit minimum
      "-2147483648",
      "99999999999999999999",
      "$100000000",  // more than eight significant hexadecimal digits
      "$FFFFFFFFF",
      std::string("10\0" "00", 5),
      "\xef\xbc\x91",  // a full-width digit
  };
  // Of these, only the values out of range have the form of a number (a
  // Size of plivex-pack that is too large, not a file name).
  const std::string out_of_range[] = {"2147483648", "-2147483648", "99999999999999999999", "$100000000",
                                      "$FFFFFFFFF"};
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_THROW(ParseInteger(text), EConvertError);
    EXPECT_EQ(HasIntegerForm(text), std::find(std::begin(out_of_range), std::end(out_of_range), text) !=
                                        std::end(out_of_range));
  }
}

}  // namespace
}  // namespace plivex
