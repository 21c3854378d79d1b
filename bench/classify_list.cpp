// Lists files with the classifier's verdict on each, as CSV: the header
// `path,bytes,blocks,seconds,verdict`, then one line per file given, in the
// order given. bytes is the file's size, blocks its whole 1024-byte blocks,
// seconds its 16-bit stereo frames at 48000 Hz with three decimals, verdict
// the classifier's word. Fields holding a comma, a quote, CR or LF are
// quoted, quotes doubled (RFC 4180); lines end with CR LF.
//
// A stand-in for the batch program's CSV listing, for the accuracy and
// speed benchmarks (bench/identify_corpus.py): it reads the files through
// standard streams, and ends with status 1 on the first file it cannot
// read.
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <stdexcept>
#include <string>

#include "convert/classify.h"

namespace {

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// Seconds of `bytes` of 16-bit stereo at 48000 Hz (192000 bytes a second),
// rounded to the nearest millisecond, a half up.
std::string Seconds(std::uint64_t bytes) {
  constexpr std::uint64_t kBytesPerSecond = 192000;
  const std::uint64_t whole = bytes / kBytesPerSecond;
  std::uint64_t millis = ((bytes % kBytesPerSecond) * 1000 + kBytesPerSecond / 2) / kBytesPerSecond;
  std::uint64_t seconds = whole;
  if (millis == 1000) {
    ++seconds;
    millis = 0;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%llu.%03u", static_cast<unsigned long long>(seconds),
                static_cast<unsigned>(millis));
  return text;
}

std::string Line(const std::string& path) {
  const std::uint64_t size = std::filesystem::file_size(path);
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot open " + path);
  const auto read_at = [&](std::uint64_t offset, std::span<std::uint8_t> buffer) -> std::size_t {
    file.clear();
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
    if (file.bad()) throw std::runtime_error("cannot read " + path);
    return static_cast<std::size_t>(file.gcount());
  };
  const plivex::Verdict verdict = plivex::Classify(size, read_at);
  return CsvField(path) + "," + std::to_string(size) + "," + std::to_string(size / 1024) + "," +
         Seconds(size) + "," + plivex::VerdictWord(verdict) + "\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::string out = "path,bytes,blocks,seconds,verdict\r\n";
  try {
    for (int i = 1; i < argc; ++i) {
      out += Line(argv[i]);
      if (out.size() > 1 << 16) {
        std::cout << out;
        out.clear();
      }
    }
  } catch (const std::exception& failure) {
    std::cout << out << std::flush;
    std::cerr << "plivex_classify_list: " << failure.what() << "\n";
    return 1;
  }
  std::cout << out << std::flush;
  return std::cout ? 0 : 1;
}
