#pragma once

#include <string>
#include <vector>

namespace plivex {

// The whole run of the program: banner, checks of the arguments (BgmFile,
// WavFile, optional Sample Rate, without the program's own path), the
// conversion and its report on the console. Every failure ends in one place
// with "Abort !!!" and a wait for Enter. Never raises.
void RunConverter(const std::vector<std::string>& arguments);

}  // namespace plivex
