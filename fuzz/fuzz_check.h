#pragma once

// What the fuzz targets share: a property that does not hold is a crash,
// which libFuzzer reports and saves the input for.

#include <cstdio>
#include <cstdlib>

namespace plivex::fuzz {

inline void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "\nProperty does not hold: %s\n", property);
  std::abort();
}

}  // namespace plivex::fuzz
