#include <gtest/gtest.h>

#include <cstdint>

#include "app/plivex.h"

namespace plivex {
namespace {

// The largest input the WAV header can describe is 2147483647 bytes. The
// refused lengths include ones whose low 32 bits look small, so a check made
// on a truncated length shows.
TEST(IsConvertibleLength, EndsAtTheLargestSigned32BitCount) {
  struct Row {
    std::uint64_t length;
    bool convertible;
  };
  const Row rows[] = {
      {0, true},
      {1, true},
      {1024, true},
      {2147483646, true},
      {2147483647, true},
      {2147483648, false},
      {2147483649, false},
      {4294967295, false},
      {4294967296, false},         // low 32 bits: 0
      {4294967296 + 1024, false},  // low 32 bits: 1024
      {6442450943, false},         // low 32 bits: 2147483647
      {UINT64_MAX, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    EXPECT_EQ(IsConvertibleLength(row.length), row.convertible);
  }
}

}  // namespace
}  // namespace plivex
