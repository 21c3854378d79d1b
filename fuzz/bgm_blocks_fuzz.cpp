// Fuzzes the conversion through its public entry point, ConvertBlocks, on
// real files (in /dev/shm when there is one), the way the program runs it.
//
// A fuzz input is either text of the form
//     N:body     the input file is `body` stretched to N bytes (N up to
//                kMaxStretched, about 2 MiB), and N bytes are converted;
//     N-K:body   the same file, and only its first N-K bytes are converted;
//     N+K:body   the same file, and N+K bytes are asked for;
// or anything else, which is the input file itself, converted whole. The
// text form lets short inputs (and hand-written seeds) reach lengths far
// past one block, where reads and writes are split up.
//
// Checked: re-interleaving the output gives back the converted bytes, block
// by block, with a short final block coming back zero-padded; the output is
// exactly 1024 bytes per started block; a length past the end of the file
// raises EReadError, having written nothing but the start of the right
// output; and no file stays open afterwards.

#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/bgm_blocks.h"
#include "fuzz/fuzz_check.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace {

using plivex::fuzz::Require;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlock = 1024;
// Long enough to cross the boundaries of any sensible read or write size
// (every power of two up to 1 MiB) more than once.
constexpr std::uint64_t kMaxStretched = (std::uint64_t{2} << 20) + 3 * kBlock;

constexpr std::string_view kScratchPrefix = "plivex-fuzz-";

// Removes the scratch folders of fuzz runs that have died (a crash skips the
// clean-up at exit); the number after the prefix is the owner's process id.
void RemoveStaleScratchFolders(const std::filesystem::path& base) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(kScratchPrefix)) continue;
    const long owner = std::strtol(name.c_str() + kScratchPrefix.size(), nullptr, 10);
    if (owner > 0 && kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH) {
      std::filesystem::remove_all(entry.path(), error);
    }
  }
}

// A folder of this process's own, removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) ? std::filesystem::path("/dev/shm")
                                                         : std::filesystem::temp_directory_path();
    RemoveStaleScratchFolders(base);
    std::string name =
        (base / (std::string(kScratchPrefix) + std::to_string(getpid()) + "-XXXXXX")).string();
    Require(mkdtemp(name.data()) != nullptr, "a scratch folder can be made");
    path_ = name;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const char* name) const { return path_ + "/" + name; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

const ScratchFolder& Scratch() {
  static const ScratchFolder folder;
  return folder;
}

struct Plan {
  Bytes file;            // the input file's bytes
  std::uint64_t length;  // what ConvertBlocks is asked to convert
};

std::optional<std::uint64_t> TakeNumber(std::string_view& text) {
  std::uint64_t value = 0;
  std::size_t digits = 0;
  while (digits < text.size() && digits < 12 && text[digits] >= '0' && text[digits] <= '9') {
    value = value * 10 + static_cast<std::uint64_t>(text[digits] - '0');
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return value;
}

// The fuzz target's own loops over every byte give libFuzzer no guidance,
// only cost: they are left without coverage tracing.
#define PLIVEX_NO_COVERAGE __attribute__((no_sanitize("coverage")))

// Fills `size` bytes from `body`, mixed with the position so that no two
// blocks of the result are alike: a block written twice or out of order
// shows.
PLIVEX_NO_COVERAGE Bytes Stretch(std::string_view body, std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto mix = static_cast<std::uint8_t>((static_cast<std::uint32_t>(i) * 2654435761u) >> 24);
    const auto from_body = body.empty() ? 0 : static_cast<std::uint8_t>(body[i % body.size()]);
    bytes[i] = static_cast<std::uint8_t>(mix ^ from_body ^ static_cast<std::uint8_t>(i >> 16));
  }
  return bytes;
}

Plan MakePlan(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string_view rest = text;
  if (const auto stretched = TakeNumber(rest)) {
    char relation = '=';
    std::uint64_t difference = 0;
    if (!rest.empty() && (rest.front() == '+' || rest.front() == '-')) {
      relation = rest.front();
      rest.remove_prefix(1);
      const auto number = TakeNumber(rest);
      difference = number ? *number % (4 * kBlock) : 0;
    }
    if (!rest.empty() && rest.front() == ':') {
      rest.remove_prefix(1);
      // A number out of range (a mutation's) maps to a short length, so
      // that slow multi-megabyte runs are the fuzzer's choice, not chance.
      const std::uint64_t file_size =
          *stretched <= kMaxStretched ? *stretched : *stretched % (16 * kBlock + 1);
      Plan plan{Stretch(rest, static_cast<std::size_t>(file_size)), file_size};
      if (relation == '+') plan.length = file_size + difference;
      if (relation == '-') plan.length = file_size - std::min(file_size, difference);
      return plan;
    }
  }
  return Plan{Bytes(data, data + size), size};
}

// Where byte `k` of an output block comes from in its input block: frame
// k / 4 holds left sample k / 4 (bytes 0, 1) and then right sample k / 4
// (bytes 2, 3); the left samples fill the first half of the input block,
// the right samples the second.
std::size_t SourceInBlock(std::size_t k) {
  const std::size_t sample = k / 4;
  const std::size_t byte = k % 2;
  const bool right = k % 4 >= 2;
  return (right ? kBlock / 2 : 0) + 2 * sample + byte;
}

// Re-interleaves `output` and compares with `input` (the converted bytes),
// which is taken as zero past its end.
PLIVEX_NO_COVERAGE bool ReinterleavesTo(const Bytes& output, const Bytes& input,
                                        std::uint64_t input_length) {
  for (std::size_t k = 0; k < output.size(); ++k) {
    const std::size_t source = k / kBlock * kBlock + SourceInBlock(k % kBlock);
    const std::uint8_t expected = source < input_length ? input[source] : 0;
    if (output[k] != expected) return false;
  }
  return true;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  Require(static_cast<bool>(out), "the fuzz input file can be written");
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  Bytes bytes(std::filesystem::file_size(path));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  Require(static_cast<bool>(in) && in.peek() == std::ifstream::traits_type::eof(),
          "the output can be read back");
  return bytes;
}

// True when a descriptor of this process is still open on a scratch file.
bool ScratchFileStillOpen() {
  DIR* descriptors = opendir("/proc/self/fd");
  if (descriptors == nullptr) return false;  // no /proc: not checked
  bool open = false;
  const std::string& scratch = Scratch().Path();
  while (const dirent* entry = readdir(descriptors)) {
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    char target[4096];
    const ssize_t size = readlink(link.c_str(), target, sizeof target);
    if (size > 0 && std::string_view(target, static_cast<std::size_t>(size)).starts_with(scratch)) {
      open = true;
    }
  }
  closedir(descriptors);
  return open;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Plan plan = MakePlan(data, size);
  const std::string in_path = Scratch().File("in.bgm");
  const std::string out_path = Scratch().File("out.wav");
  WriteFile(in_path, plan.file);

  bool read_error = false;
  {
    auto input = plivex::platform::OpenInput(in_path);
    auto output = plivex::platform::CreateOutput(out_path, input);
    Require(input.Size() == plan.file.size(), "the input's size is the file's");
    try {
      plivex::ConvertBlocks(input, output, plan.length, plivex::BlockBuffers(plan.length));
    } catch (const plivex::EReadError&) {
      read_error = true;
    }
    Require(input.Close(), "the input closes");
    Require(output.Close(), "the output closes");
  }
  Require(!ScratchFileStillOpen(), "no file stays open after the conversion");

  const Bytes output = ReadFile(out_path);
  if (plan.length > plan.file.size()) {
    Require(read_error, "a length past the end of the input is a read error");
    Require(output.size() <= (plan.length + kBlock - 1) / kBlock * kBlock,
            "a failed conversion writes no more than the blocks asked for");
    Require(ReinterleavesTo(output, plan.file, plan.file.size()),
            "a failed conversion leaves only the start of the right output");
    return 0;
  }
  Require(!read_error, "a length within the input converts");
  Require(output.size() == (plan.length + kBlock - 1) / kBlock * kBlock,
          "every started block becomes 1024 bytes of output");
  Require(ReinterleavesTo(output, plan.file, plan.length),
          "re-interleaving the output gives back the input, the last block zero-padded");
  return 0;
}
