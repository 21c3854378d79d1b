#pragma once

#include <string>
#include <vector>

#include "platform/file.h"

namespace plivex {

// The whole run of the program: banner, checks of the arguments (BgmFile,
// WavFile, optional Sample Rate, without the program's own path), the
// conversion and its report on the console. Every failure ends in one place
// with "Abort !!!" and a wait for Enter. Never raises.
void RunConverter(const std::vector<std::string>& arguments);

// True when an input of `length` bytes can be converted: the input length
// is a signed 32-bit count, so 2147483647 is the most it takes.
bool IsConvertibleLength(platform::ByteCount length);

}  // namespace plivex
