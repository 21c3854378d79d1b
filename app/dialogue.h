#pragma once

// The console conventions the programs share: how arguments are taken, and
// the one way every failed run ends.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace plivex {

// Raised right after a check has printed its own message (or the usage
// text): the failure ending adds nothing of its own.
struct EAbort : std::runtime_error {
  EAbort() : std::runtime_error("abort") {}
};

// Argument `index` (0 for the first after the program's own path), or an
// empty text when there are fewer.
std::string Argument(const std::vector<std::string>& arguments, std::size_t index);

// Where every failed run ends: `message` (when not empty), both files
// closed, an empty line, "Abort !!!", and a wait for Enter so that a console
// window opened just for this run stays readable. The files are closed
// before the wait, so nothing stays held while nobody answers.
void FailureEnding(std::string_view message, platform::File& input, platform::File& output);

}  // namespace plivex
