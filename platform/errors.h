#pragma once

#include <stdexcept>
#include <string>

namespace plivex {

// The ways a file operation can fail. Each is raised where the failure is
// found and caught only by a program's failure ending; none of their texts
// is ever shown to the user (the console lines are fixed), but the texts
// name the operation and the reason, which helps when debugging.

// The input file cannot be opened (missing, locked, access denied).
struct EFOpenError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The output file cannot be created (bad path, locked, same file as the input).
struct EFCreateError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Reading the input failed or ended before the expected length.
struct EReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Writing or closing the output failed, or wrote fewer bytes than asked.
struct EWriteError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace plivex
