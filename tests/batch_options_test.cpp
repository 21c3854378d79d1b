#include "app/batch_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plivex {
namespace {

using Words = std::vector<std::string>;

// What a command line comes to, as one comparable text.
std::string Read(const Words& words) {
  const BatchOptions o = ParseBatchArguments(words);
  std::string text = o.mode == BatchMode::kPack ? "pack" : o.mode == BatchMode::kList ? "list" : "convert";
  text += " o=" + o.output.value_or("-") + " r=" + std::to_string(o.rate) + " j=" + std::to_string(o.jobs);
  text += std::string(o.force ? " f" : "") + (o.all ? " a" : "") + (o.dry_run ? " n" : "") + (o.quiet ? " q" : "") +
          (o.csv ? " csv" : "") + (o.help ? " help" : "") + (o.version ? " version" : "");
  for (const std::string& path : o.paths) text += " [" + path + "]";
  return text;
}

TEST(BatchArguments, TakesTheFormsOfTodaysTools) {
  const std::pair<Words, std::string> rows[] = {
      {{"music"}, "convert o=- r=48000 j=0 [music]"},
      {{"-o", "out", "a", "b"}, "convert o=out r=48000 j=0 [a] [b]"},
      {{"-oout", "a"}, "convert o=out r=48000 j=0 [a]"},
      {{"--output=out", "a"}, "convert o=out r=48000 j=0 [a]"},
      {{"--output", "out", "a"}, "convert o=out r=48000 j=0 [a]"},
      // Options after the PATHs, bundled, with their values attached.
      {{"a", "-fqn", "-j4"}, "convert o=- r=48000 j=4 f n q [a]"},
      {{"-j", "2", "-r", "$AC44", "a"}, "convert o=- r=44100 j=2 [a]"},
      {{"--rate=22050", "--jobs=64", "--force", "--all", "a"}, "convert o=- r=22050 j=64 f a [a]"},
      // A unique prefix names a long option.
      {{"--dry", "--qu", "a"}, "convert o=- r=48000 j=0 n q [a]"},
      {{"--pack", "-o", "game", "wavs"}, "pack o=game r=48000 j=0 [wavs]"},
      {{"--list", "--csv", "a"}, "list o=- r=48000 j=0 csv [a]"},
      // After "--" everything is a PATH; "-" alone is one anyway.
      {{"--", "-f", "--pack"}, "convert o=- r=48000 j=0 [-f] [--pack]"},
      {{"-", "a"}, "convert o=- r=48000 j=0 [-] [a]"},
      // A value is the next word, whatever it looks like.
      {{"-o", "-x", "a"}, "convert o=-x r=48000 j=0 [a]"},
      {{"-h"}, "convert o=- r=48000 j=0 help"},
      // With --help or --version the rest need not make sense together.
      {{"--version", "--csv"}, "convert o=- r=48000 j=0 csv version"},
  };
  for (const auto& [words, expected] : rows) {
    SCOPED_TRACE(::testing::PrintToString(words));
    EXPECT_EQ(Read(words), expected);
  }
}

TEST(BatchArguments, RefusesWhatCannotRun) {
  const Words rows[] = {
      {},
      {"--bogus", "a"},
      {"-x", "a"},
      {"-r", "999", "a"},
      {"-r", "48001", "a"},
      {"-r", "44.1", "a"},
      {"-r", "", "a"},
      {"-j", "0", "a"},
      {"-j", "65", "a"},
      {"-j", "99999999999999999999", "a"},
      {"-j", "2x", "a"},
      {"-o"},
      {"-o", "", "a"},
      {"--force=yes", "a"},
      {"--pack", "--list", "a"},
      {"--csv", "a"},
      {"--list", "-f", "a"},
      {"--pack", "-a", "a"},
  };
  for (const Words& words : rows) {
    SCOPED_TRACE(::testing::PrintToString(words));
    EXPECT_THROW(ParseBatchArguments(words), EUsageError);
  }
}

}  // namespace
}  // namespace plivex
