#pragma once

#include <stdexcept>
#include <string>

namespace plivex {

// The ways a run can fail. Each is raised where the failure is found and
// caught only by the failure ending in RunConverter; none of their texts is
// ever shown to the user (the console lines are fixed), but the texts name
// the operation and the reason, which helps when debugging.

// A check has already printed its own message (or the usage text).
struct EAbort : std::runtime_error {
  EAbort() : std::runtime_error("abort") {}
};

// The text of the sample rate argument is not an integer.
struct EConvertError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

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
