// Fuzzes the command line splitter with any bytes as the command line.
//
// Checked for every input:
// - the words are those of a plain character-by-character restatement of
//   the quoting rules below (an independent second implementation);
// - no word holds a double quote (quotes are always dropped);
// - a word is empty only when it is the last one and a quote was left open;
// - the words, joined, are the line without its quotes and without the
//   separators that stood outside a quoted run: nothing is lost or invented;
// - quoting every word and joining them with blanks gives back the same
//   words, so an argument list survives a round trip through a command line.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/command_line.h"

namespace {

using plivex::fuzz::Require;
using Words = std::vector<std::string>;

bool IsSeparator(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

// The rules, one character at a time: codes 1 to 32 separate words; a
// double quote opens a run, up to the next double quote or the end, in
// which separators belong to the word; quotes are dropped; two adjacent
// quotes where a word would begin are skipped like a separator.
Words ReferenceSplit(std::string_view line) {
  enum class State { kBetweenWords, kInWord, kInQuotes };
  Words words;
  std::string word;
  State state = State::kBetweenWords;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    switch (state) {
      case State::kBetweenWords:
        if (IsSeparator(c)) break;
        if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
          ++i;  // an empty quoted pair: no word
        } else if (c == '"') {
          state = State::kInQuotes;
        } else {
          word += c;
          state = State::kInWord;
        }
        break;
      case State::kInWord:
        if (IsSeparator(c)) {
          words.push_back(word);
          word.clear();
          state = State::kBetweenWords;
        } else if (c == '"') {
          state = State::kInQuotes;
        } else {
          word += c;
        }
        break;
      case State::kInQuotes:
        if (c == '"') {
          state = State::kInWord;
        } else {
          word += c;
        }
        break;
    }
  }
  if (state != State::kBetweenWords) words.push_back(word);
  return words;
}

// The characters that must reach the words: everything but the quotes and
// the separators outside quoted runs.
std::string KeptCharacters(std::string_view line) {
  std::string kept;
  bool quoted = false;
  for (const char c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted || !IsSeparator(c)) {
      kept += c;
    }
  }
  return kept;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const Words words = plivex::platform::SplitCommandLine(line);

  Require(words == ReferenceSplit(line), "the words follow the quoting rules");

  std::size_t quotes = 0;
  for (const char c : line) quotes += c == '"' ? 1 : 0;
  std::string joined;
  for (std::size_t i = 0; i < words.size(); ++i) {
    Require(words[i].find('"') == std::string::npos, "no word holds a quote");
    if (words[i].empty()) {
      Require(i + 1 == words.size() && quotes % 2 == 1,
              "only a quote left open at the end makes an empty word");
    }
    joined += words[i];
  }
  Require(joined == KeptCharacters(line), "the words hold exactly the kept characters");

  std::string requoted;
  Words non_empty;
  for (const auto& word : words) {
    if (word.empty()) continue;
    requoted += '"' + word + "\" ";
    non_empty.push_back(word);
  }
  Require(plivex::platform::SplitCommandLine(requoted) == non_empty,
          "quoted words split back into the same words");
  return 0;
}
