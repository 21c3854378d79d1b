#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plivex::platform {
namespace {

using Words = std::vector<std::string>;

struct SplitCase {
  std::string command_line;
  Words words;
};

TEST(SplitCommandLine, FollowsTheQuotingRules) {
  const SplitCase cases[] = {
      {"", {}},
      {"   ", {}},
      {"plivex in.bgm out.wav", {"plivex", "in.bgm", "out.wav"}},
      {"  plivex   in.bgm  ", {"plivex", "in.bgm"}},
      // Every code from 1 to 32 separates words.
      {"a\tb\nc\rd\x01" "e\x1f" "f", {"a", "b", "c", "d", "e", "f"}},
      // Codes above 127 are ordinary characters.
      {"caf\xe9 \xff", {"caf\xe9", "\xff"}},
      // A quoted run keeps its separators; the quotes are dropped.
      {"plivex \"my music\\in 1.bgm\" out.wav", {"plivex", "my music\\in 1.bgm", "out.wav"}},
      {"\"a\tb\"", {"a\tb"}},
      // Quotes in the middle of a word join what surrounds them.
      {"ab\"c d\"ef g", {"abc def", "g"}},
      {"a\"\"b", {"ab"}},
      {"\"a\"\"b\"", {"ab"}},
      // An unterminated quote runs to the end.
      {"a \"b c", {"a", "b c"}},
      {"a \"b c  ", {"a", "b c  "}},
      // An empty quoted pair where a word would begin is skipped.
      {"\"\" in out", {"in", "out"}},
      {"plivex \"\" in out", {"plivex", "in", "out"}},
      {"plivex in \"\" out", {"plivex", "in", "out"}},
      {"plivex in out \"\"", {"plivex", "in", "out"}},
      {"plivex \"\"\"\" in", {"plivex", "in"}},
      {"plivex \"\"  \"\" in", {"plivex", "in"}},
      {"plivex \"\"in", {"plivex", "in"}},
      // After a skipped pair, a lone quote opens a run to the end.
      {"plivex \"\"\" in", {"plivex", " in"}},
      {"plivex \"\"\"", {"plivex", ""}},
      {"\" 1000\"", {" 1000"}},
      {"\"48000 \"", {"48000 "}},
      {"/? \"/?\"", {"/?", "/?"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command_line);
    EXPECT_EQ(SplitCommandLine(c.command_line), c.words);
  }
}

#ifndef _WIN32
TEST(ProgramArguments, DropsTheProgramPathAndEmptyWords) {
  char program[] = "plivex";
  char empty[] = "";
  char in[] = "in.bgm";
  char out[] = "out.wav";
  char rate[] = " 1000";
  char* argv[] = {program, empty, in, empty, out, rate, empty, nullptr};
  EXPECT_EQ(ProgramArguments(7, argv), (Words{"in.bgm", "out.wav", " 1000"}));

  char* only_program[] = {program, nullptr};
  EXPECT_TRUE(ProgramArguments(1, only_program).empty());
}
#endif

}  // namespace
}  // namespace plivex::platform
