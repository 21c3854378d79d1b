#pragma once

#include <string>
#include <vector>

namespace plivex {

// The whole run of plivex-pack, the way back from a WAV file to a PS2 Bgm
// file: banner, checks of the arguments (WavFile, BgmFile, without the
// program's own path), the reading and checking of the WAV header, the
// packing and its report on the console, in the same conventions as
// plivex. Every failure ends in one place with "Abort !!!" and a wait for
// Enter. A first argument of --help or -h prints the banner and the usage,
// one of --version or -V only the version line; both are successes. Returns
// true after a success. Never raises.
bool RunPacker(const std::vector<std::string>& arguments);

}  // namespace plivex
