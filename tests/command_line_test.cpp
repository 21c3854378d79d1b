#include "platform/command_line.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

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
      // Codes from 127 up are ordinary characters.
      {"caf\xe9 \xff", {"caf\xe9", "\xff"}},
      {"a\x7f b!", {"a\x7f", "b!"}},
      // A quoted run keeps its separators; the quotes are dropped.
      {"plivex \"my music\\in 1.bgm\" out.wav", {"plivex", "my music\\in 1.bgm", "out.wav"}},
      {"\"a\tb\"", {"a\tb"}},
      {"\"C:\\Program Files\\plivex.exe\" in.bgm", {"C:\\Program Files\\plivex.exe", "in.bgm"}},
      // A backslash is an ordinary character, also before a quote.
      {"plivex \"C:\\music\\\" out.wav", {"plivex", "C:\\music\\", "out.wav"}},
      {"a\\\"b c\"", {"a\\b c"}},
      // Quotes in the middle of a word join what surrounds them.
      {"ab\"c d\"ef g", {"abc def", "g"}},
      {"a\"\"b", {"ab"}},
      {"\"a\"\"b\"", {"ab"}},
      // An unterminated quote runs to the end.
      {"a \"b c", {"a", "b c"}},
      {"a \"b c  ", {"a", "b c  "}},
      // An empty quoted pair where a word would begin is skipped.
      {"\"\"", {}},
      {"\"\" \t\"\"", {}},
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

// plivex-pack keeps them, so that an empty argument never moves the others.
TEST(SplitCommandLine, KeepsEmptyQuotedWordsWhenAsked) {
  const SplitCase cases[] = {
      {"\"\"", {""}},
      {"plivex-pack a.wav \"\" orig.bgm", {"plivex-pack", "a.wav", "", "orig.bgm"}},
      {"plivex-pack \"\" \t\"\" in", {"plivex-pack", "", "", "in"}},
      {"plivex-pack in out \"\"", {"plivex-pack", "in", "out", ""}},
      {"plivex-pack \"\"\"\" in", {"plivex-pack", "", "in"}},
      {"plivex-pack \"\"in", {"plivex-pack", "in"}},
      {"plivex-pack \"\"\" in", {"plivex-pack", " in"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command_line);
    EXPECT_EQ(SplitCommandLine(c.command_line, EmptyArguments::kKept), c.words);
  }
}

TEST(SplitCommandLine, SeparatorsAreExactlyTheCodesFrom1To32) {
  for (int code = 1; code < 256; ++code) {
    if (code == '"') continue;
    SCOPED_TRACE(code);
    const char c = static_cast<char>(code);
    const std::string line = std::string("in") + c + "out";
    const Words expected = code <= 32 ? Words{"in", "out"} : Words{line};
    EXPECT_EQ(SplitCommandLine(line), expected);
    // Inside a quoted run every one of them belongs to the word.
    EXPECT_EQ(SplitCommandLine("\"" + line + "\""), Words{line});
  }
}

#ifdef _WIN32
TEST(ProgramArguments, SplitsTheProcessCommandLineNotArgv) {
  // The C runtime's argv is split by other rules; the program must not use
  // it. Here it holds words that are not on the command line at all.
  char program[] = "plivex";
  char in[] = "from argv.bgm";
  char* argv[] = {program, in, nullptr};
  Words expected = SplitCommandLine(GetCommandLineA());
  ASSERT_FALSE(expected.empty());  // at least this test program's own path
  expected.erase(expected.begin());
  EXPECT_EQ(ProgramArguments(2, argv, EmptyArguments::kDropped), expected);
}
#endif

#ifndef _WIN32
TEST(ProgramArguments, DropsTheProgramPathAndEmptyWordsOrKeepsThem) {
  char program[] = "plivex";
  char empty[] = "";
  char in[] = "in.bgm";
  char out[] = "out.wav";
  char rate[] = " 1000";
  char* argv[] = {program, empty, in, empty, out, rate, empty, nullptr};
  EXPECT_EQ(ProgramArguments(7, argv, EmptyArguments::kDropped), (Words{"in.bgm", "out.wav", " 1000"}));
  EXPECT_EQ(ProgramArguments(7, argv, EmptyArguments::kKept),
            (Words{"", "in.bgm", "", "out.wav", " 1000", ""}));

  char* only_program[] = {program, nullptr};
  EXPECT_TRUE(ProgramArguments(1, only_program, EmptyArguments::kKept).empty());
}
#endif

}  // namespace
}  // namespace plivex::platform
