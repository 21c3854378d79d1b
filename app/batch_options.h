#pragma once

// The command line of plivex-batch, in the conventions of today's tools:
// options anywhere before `--`, long ones with `=` or a separate value,
// short ones bundled (`-fq`, `-j4`, `-j 4`).

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace plivex {

// A command line that cannot be run: an unknown option, a missing or bad
// value, no PATH. The message says what is wrong, in one line.
struct EUsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class BatchMode { kConvert, kPack, kList };

struct BatchOptions {
  BatchMode mode = BatchMode::kConvert;
  std::optional<std::string> output;  // -o DIR
  std::int32_t rate = 48000;          // -r HZ
  unsigned jobs = 0;                  // -j N; 0 until chosen: the number of processors
  bool force = false;                 // -f
  bool all = false;                   // -a
  bool dry_run = false;               // -n
  bool quiet = false;                 // -q
  bool csv = false;                   // --csv
  bool help = false;                  // -h: print the help and nothing else
  bool version = false;               // -V
  std::vector<std::string> paths;
};

// The most files converted at once: as many as the guard of unfinished
// files can hold.
inline constexpr unsigned kMostJobs = 64;

// Reads the arguments (without the program's own path). Raises
// EUsageError. With --help or --version the rest need not make sense.
BatchOptions ParseBatchArguments(const std::vector<std::string>& arguments);

// The help that --help prints, and the short usage that a bad command line
// gets on standard error; each line ends in "\n".
std::string BatchHelp();
std::string BatchUsage();

}  // namespace plivex
