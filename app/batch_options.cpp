#include "app/batch_options.h"

#include <array>

#include "app/integer_text.h"

namespace plivex {

namespace {

enum class Takes { kNothing, kValue };

struct OptionSpec {
  char short_name;  // 0: long only
  std::string_view long_name;
  Takes takes;
};

constexpr std::array<OptionSpec, 12> kOptions = {{
    {'o', "output", Takes::kValue},
    {'r', "rate", Takes::kValue},
    {'j', "jobs", Takes::kValue},
    {'f', "force", Takes::kNothing},
    {'a', "all", Takes::kNothing},
    {'n', "dry-run", Takes::kNothing},
    {'q', "quiet", Takes::kNothing},
    {'h', "help", Takes::kNothing},
    {'V', "version", Takes::kNothing},
    {0, "pack", Takes::kNothing},
    {0, "list", Takes::kNothing},
    {0, "csv", Takes::kNothing},
}};

[[noreturn]] void Refuse(const std::string& message) { throw EUsageError(message); }

// The rate in plivex's own syntax and range.
std::int32_t Rate(const std::string& text) {
  constexpr std::int32_t kMin = 1000;
  constexpr std::int32_t kMax = 48000;
  std::int32_t rate = 0;
  try {
    rate = ParseInteger(text);
  } catch (const EConvertError&) {
    rate = 0;
  }
  if (rate < kMin || rate > kMax) {
    Refuse("invalid rate '" + text + "': give hertz from 1000 to 48000 (44100, or '$AC44' in hexadecimal)");
  }
  return rate;
}

unsigned Jobs(const std::string& text) {
  unsigned jobs = 0;
  bool valid = !text.empty();
  for (const char c : text) {
    valid = valid && c >= '0' && c <= '9';
    // Past the limit the digits no longer add up (and cannot overflow).
    if (valid && jobs <= kMostJobs) jobs = jobs * 10 + static_cast<unsigned>(c - '0');
  }
  if (!valid || jobs == 0 || jobs > kMostJobs) {
    Refuse("invalid number of jobs '" + text + "': give 1 to " + std::to_string(kMostJobs));
  }
  return jobs;
}

void Apply(BatchOptions& options, const OptionSpec& option, const std::string& value) {
  switch (option.short_name) {
    case 'o':
      if (value.empty()) Refuse("the output folder (-o) is empty");
      options.output = value;
      return;
    case 'r':
      options.rate = Rate(value);
      return;
    case 'j':
      options.jobs = Jobs(value);
      return;
    case 'f':
      options.force = true;
      return;
    case 'a':
      options.all = true;
      return;
    case 'n':
      options.dry_run = true;
      return;
    case 'q':
      options.quiet = true;
      return;
    case 'h':
      options.help = true;
      return;
    case 'V':
      options.version = true;
      return;
    default:
      break;
  }
  if (option.long_name == "csv") {
    options.csv = true;
    return;
  }
  const BatchMode mode = option.long_name == "pack" ? BatchMode::kPack : BatchMode::kList;
  if (options.mode != BatchMode::kConvert && options.mode != mode) Refuse("--pack and --list exclude each other");
  options.mode = mode;
}

const OptionSpec* FindShort(char name) {
  for (const OptionSpec& option : kOptions) {
    if (option.short_name == name) return &option;
  }
  return nullptr;
}

// A long option by its whole name, or by a prefix that names one option
// alone (`--dry` for --dry-run), as GNU tools take them.
const OptionSpec* FindLong(std::string_view name) {
  const OptionSpec* found = nullptr;
  for (const OptionSpec& option : kOptions) {
    if (option.long_name.empty() || !option.long_name.starts_with(name)) continue;
    if (option.long_name == name) return &option;
    if (found != nullptr) Refuse("option '--" + std::string(name) + "' is ambiguous");
    found = &option;
  }
  return found;
}

// What makes no sense together, once every option is read.
void CheckCombination(const BatchOptions& options) {
  if (options.csv && options.mode != BatchMode::kList) Refuse("--csv goes with --list");
  if (options.mode == BatchMode::kList) {
    if (options.output || options.force || options.all || options.dry_run) {
      Refuse("--list writes nothing: -o, -f, -a and -n do not go with it");
    }
  }
  if (options.mode == BatchMode::kPack && options.all) Refuse("--all goes with converting, not with --pack");
  if (options.paths.empty()) Refuse("no PATH given");
}

}  // namespace

BatchOptions ParseBatchArguments(const std::vector<std::string>& arguments) {
  BatchOptions options;
  bool operands_only = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (operands_only || argument.size() < 2 || argument[0] != '-') {
      // A lone "-" is a name like any other here: there is no standard
      // input to read folders from.
      options.paths.push_back(argument);
      continue;
    }
    if (argument == "--") {
      operands_only = true;
      continue;
    }
    // The value in the next argument, whatever it looks like (`-o -x`).
    const auto next_value = [&](std::string_view shown) -> std::string {
      if (i + 1 == arguments.size()) Refuse("option '" + std::string(shown) + "' needs a value");
      return arguments[++i];
    };
    if (argument.starts_with("--")) {
      const std::string_view body = std::string_view(argument).substr(2);
      const std::size_t equals = body.find('=');
      const std::string_view name = body.substr(0, equals);
      const OptionSpec* option = FindLong(name);
      if (option == nullptr) Refuse("unknown option '--" + std::string(name) + "'");
      const std::string shown = "--" + std::string(option->long_name);
      if (option->takes == Takes::kNothing) {
        if (equals != std::string_view::npos) Refuse("option '" + shown + "' takes no value");
        Apply(options, *option, {});
      } else {
        Apply(options, *option,
              equals != std::string_view::npos ? std::string(body.substr(equals + 1)) : next_value(shown));
      }
      continue;
    }
    // Short options, bundled: -fq, -j4, -o DIR, -oDIR.
    for (std::size_t k = 1; k < argument.size(); ++k) {
      const OptionSpec* option = FindShort(argument[k]);
      std::string shown = "-";
      shown += argument[k];
      if (option == nullptr) Refuse("unknown option '" + shown + "'");
      if (option->takes == Takes::kNothing) {
        Apply(options, *option, {});
        continue;
      }
      Apply(options, *option, k + 1 < argument.size() ? argument.substr(k + 1) : next_value(shown));
      break;
    }
  }
  if (options.help || options.version) return options;
  CheckCombination(options);
  return options;
}

std::string BatchUsage() {
  return "Usage: plivex-batch [OPTION]... PATH...            convert PS2 BGM files to WAV\n"
         "       plivex-batch --pack [OPTION]... PATH...     put edited WAV files back into their BGM files\n"
         "       plivex-batch --list [--csv] PATH...         identify and list; convert nothing\n";
}

std::string BatchHelp() {
  return BatchUsage() +
         "\n"
         "PATH is a file or a folder. Folders are walked recursively, in a fixed order: names\n"
         "sorted by their bytes, a folder's files before its subfolders. Symbolic links to\n"
         "folders are not followed. NAME is converted to NAME.wav beside it, and --pack puts\n"
         "NAME.wav back into NAME, which must exist: the result takes its size exactly.\n"
         "\n"
         "Options:\n"
         "  -o, --output=DIR   write under DIR, at each file's path below the PATH it was\n"
         "                     found under (a file given directly: DIR/its name); with\n"
         "                     --pack, DIR is where the original BGM files are\n"
         "  -r, --rate=HZ      the music's sample rate, 1000 to 48000 (default 48000);\n"
         "                     with --pack, a WAV file at another rate fails\n"
         "  -j, --jobs=N       files converted at once (default: the number of processors)\n"
         "  -f, --force        replace outputs that exist (they are skipped otherwise)\n"
         "  -a, --all          convert every file, not only those that look like PS2 BGM\n"
         "  -n, --dry-run      print what would be done, and write nothing\n"
         "  -q, --quiet        print only failures and the summary\n"
         "      --pack         put edited WAV files (*.wav) back into their BGM files;\n"
         "                     unedited ones are left alone (Unchanged)\n"
         "      --list         print each file's size, blocks, duration and verdict\n"
         "      --csv          with --list: the same as CSV\n"
         "  -h, --help         print this help\n"
         "  -V, --version      print the version\n"
         "\n"
         "Each file gets one line: Converted, Packed, Unchanged, Skipped or Failed, its path\n"
         "and what happened; a summary follows. Exit status: 0 when no file failed, 1 when\n"
         "any did, 2 for a bad command line, 130 after Ctrl-C.\n";
}

}  // namespace plivex
