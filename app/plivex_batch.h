#pragma once

#include <string>
#include <vector>

namespace plivex {

// The whole run of plivex-batch over its arguments (without the program's
// own path): whole folders of Bgm files to WAV files, edited WAV files
// back into their Bgm files, or a list of what the files are. Returns the
// exit status: 0 when no file failed, 1 when one did, 2 for a command line
// that cannot be run, 130 after Ctrl-C. Never raises.
int RunBatch(const std::vector<std::string>& arguments);

}  // namespace plivex
