#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plivex {

// The whole run of the program: banner, checks of the arguments (BgmFile,
// WavFile, optional Sample Rate, without the program's own path), the
// conversion and its report on the console. Every failure ends in one place
// with "Abort !!!" and a wait for Enter. Never raises.
void RunConverter(const std::vector<std::string>& arguments);

// Writes the usage block.
void PrintUsage();

// True when an input of `length` bytes can be converted: the WAV header
// counts bytes in 32-bit signed fields, so 2147483647 is the most it takes.
bool IsConvertibleLength(std::uint64_t length);

}  // namespace plivex
