#pragma once

// Real files in a scoped temporary folder, for tests of code that opens,
// reads and writes files.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace plivex::test {

class ScopedTempDir {
 public:
  ScopedTempDir() {
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0;; ++attempt) {
      path_ = base / ("plivex-test-" + std::to_string(seed()));
      if (std::filesystem::create_directory(path_)) break;
      if (attempt > 100) throw std::runtime_error("no temporary folder");
    }
  }
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Bytes that differ from their neighbours, so a byte copied from the wrong
// place shows; every value (0x0A, 0x0D and 0x1A included) occurs.
inline std::vector<std::uint8_t> PatternBytes(std::size_t count, std::uint32_t seed = 1) {
  std::vector<std::uint8_t> bytes(count);
  std::uint32_t state = seed;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

}  // namespace plivex::test
