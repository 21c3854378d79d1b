#include "app/plivex_batch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <thread>

#include "app/batch_options.h"
#include "app/batch_walk.h"
#include "app/batch_work.h"
#include "app/version.h"
#include "platform/console.h"
#include "platform/file.h"

namespace plivex {

namespace {

using platform::ByteCount;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kProgram = "plivex-batch";
constexpr int kFailedStatus = 1;
constexpr int kUsageStatus = 2;
constexpr int kInterruptedStatus = 130;  // 128 + SIGINT, as shells report it

void Say(std::string_view text) { platform::WriteOutput(std::string(text) + std::string(platform::kLineEnd)); }

void Complain(std::string_view text) { platform::WriteError(std::string(text) + std::string(platform::kLineEnd)); }

// The lines of `text`, each ending in "\n", given to `put` one by one, so
// that each ends as this system ends lines.
void EachLine(std::string_view text, void (*put)(std::string_view)) {
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    put(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string_view Word(Outcome outcome) {
  switch (outcome) {
    case Outcome::kConverted:
      return "Converted";
    case Outcome::kPacked:
      return "Packed";
    case Outcome::kUnchanged:
      return "Unchanged";
    case Outcome::kSkipped:
      return "Skipped";
    case Outcome::kFailed:
      break;
  }
  return "Failed";
}

std::string Megabytes(ByteCount bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// The columns a text takes on a terminal: a character each, two for the
// wide ones of East Asian scripts (most Japanese names are made of them).
std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    std::uint32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                      (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                      (code >= 0xFFE0 && code <= 0xFFE6) || code >= 0x20000;
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

// A field of a CSV line, quoted as RFC 4180 quotes: in double quotes,
// with its own doubled, when it holds a quote, a comma or a line break.
std::string CsvField(const std::string& text) {
  if (text.find_first_of("\",\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

// The line on standard error that says how far the run is, redrawn in
// place on a terminal; none elsewhere.
class Progress {
 public:
  Progress(bool shown, std::size_t total) : shown_(shown), total_(total), start_(Clock::now()) {}

  void Show(std::size_t done, ByteCount bytes) {
    if (!shown_) return;
    const Clock::time_point now = Clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char text[160];
    std::snprintf(text, sizeof text, "%zu/%zu files, %.1f MB, %.1f MB/s", done, total_,
                  static_cast<double>(bytes) / 1e6, seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0);
    std::string line = "\r";
    line += text;
    const std::size_t room = static_cast<std::size_t>(std::max(platform::TerminalColumns(), 20)) - 1;
    if (line.size() - 1 > room) line.resize(room + 1);
    // What is left of a longer line before it is covered.
    if (line.size() < width_) line.append(width_ - line.size(), ' ');
    width_ = line.size();
    platform::WriteError(line);
    drawn_ = true;
  }

  void Erase() {
    if (!drawn_) return;
    std::string blank = "\r";
    blank.append(width_ - 1, ' ');
    blank += '\r';
    platform::WriteError(blank);
    drawn_ = false;
    width_ = 0;
  }

 private:
  bool shown_;
  std::size_t total_;
  Clock::time_point start_;
  Clock::time_point last_{};
  bool drawn_ = false;
  std::size_t width_ = 0;
};

// The files of the run, done on worker threads: each takes the next file
// in walk order, and its result waits until the main thread prints it in
// that order.
class Runner {
 public:
  Runner(const BatchOptions& options, const std::vector<BatchItem>& items)
      : options_(options), items_(items), results_(items.size()) {}

  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  ~Runner() { Finish(); }

  void Start(unsigned jobs) {
    const auto count = static_cast<unsigned>(std::min<std::size_t>(jobs, items_.size()));
    for (unsigned i = 0; i < count; ++i) workers_.emplace_back([this] { Work(); });
  }

  // The result of item `index`, once it is in; nothing when it will never
  // come (the run was interrupted before the item was begun). `tick` runs
  // every tenth of a second while it waits.
  template <typename Tick>
  const ItemResult* Await(std::size_t index, Tick&& tick) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (results_[index]) return &*results_[index];
      if (platform::InterruptionRequested() && index >= begun_) return nullptr;
      ready_.wait_for(lock, std::chrono::milliseconds(100));
      lock.unlock();
      tick();
      lock.lock();
    }
  }

  std::size_t FilesDone() const { return files_done_.load(); }
  ByteCount BytesDone() const { return bytes_done_.load(); }

  void Finish() {
    for (std::jthread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
  }

 private:
  void Work() {
    std::optional<Workspace> space;
    try {
      space.emplace(options_.mode);
    } catch (const std::bad_alloc&) {
      // Every file this worker takes fails for it; the others go on.
    }
    for (;;) {
      std::size_t index = 0;
      {
        const std::lock_guard lock(mutex_);
        if (begun_ == items_.size() || platform::InterruptionRequested()) return;
        index = begun_++;
      }
      Publish(index, Do(index, space));
    }
  }

  ItemResult Do(std::size_t index, std::optional<Workspace>& space) {
    const BatchItem& item = items_[index];
    ItemResult result;
    if (item.decided) {
      result.outcome = *item.decided;
      result.detail = item.reason;
      return result;
    }
    if (!space) {
      result.detail = "Not Enough Memory";
      return result;
    }
    const BatchItem* earlier = nullptr;
    if (item.after) {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [&] { return results_[*item.after].has_value(); });
      earlier = &items_[*item.after];
    }
    return DoItem(item, earlier, options_, *space);
  }

  void Publish(std::size_t index, ItemResult result) {
    files_done_ += 1;
    bytes_done_ += result.read;
    {
      const std::lock_guard lock(mutex_);
      results_[index] = std::move(result);
    }
    ready_.notify_all();
  }

  const BatchOptions& options_;
  const std::vector<BatchItem>& items_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::vector<std::optional<ItemResult>> results_;  // under mutex_
  std::size_t begun_ = 0;                           // under mutex_: items taken by a worker
  std::atomic<std::size_t> files_done_{0};
  std::atomic<ByteCount> bytes_done_{0};
  std::vector<std::jthread> workers_;
};

// The lines of --list: a table whose columns line up, or CSV.
class Listing {
 public:
  Listing(const BatchOptions& options, const std::vector<BatchItem>& items) : csv_(options.csv) {
    for (const BatchItem& item : items) path_width_ = std::max(path_width_, DisplayWidth(item.input));
  }

  void Header() const {
    Say(csv_ ? "path,bytes,blocks,seconds,verdict" : Row("PATH", "BYTES", "BLOCKS", "SECONDS", "VERDICT"));
  }

  void Print(const BatchItem& item, const ItemResult& result, std::uint32_t rate) const {
    const std::string bytes = std::to_string(result.bytes);
    const std::string blocks = std::to_string(result.bytes / 1024);
    const std::string seconds = DecimalSeconds(result.bytes / 4, rate);
    if (csv_) {
      Say(CsvField(item.input) + "," + bytes + "," + blocks + "," + seconds + "," + result.verdict);
    } else {
      Say(Row(item.input, bytes, blocks, seconds, result.verdict));
    }
  }

 private:
  std::string Row(const std::string& path, const std::string& bytes, const std::string& blocks,
                  const std::string& seconds, const std::string& verdict) const {
    const auto right = [](const std::string& text, std::size_t width) {
      return std::string(width > text.size() ? width - text.size() : 0, ' ') + text;
    };
    std::string row = path;
    row.append(path_width_ - std::min(path_width_, DisplayWidth(path)), ' ');
    return row + "  " + right(bytes, 12) + "  " + right(blocks, 9) + "  " + right(seconds, 11) + "  " + verdict;
  }

  bool csv_;
  std::size_t path_width_ = 4;  // "PATH"
};

std::string Summary(const std::array<std::size_t, 5>& counts, ByteCount written, bool dry_run,
                    Clock::duration taken, bool interrupted) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.2f s", std::chrono::duration<double>(taken).count());
  const auto count = [&](Outcome outcome, std::string_view word) {
    return std::to_string(counts[static_cast<std::size_t>(outcome)]) + " " + std::string(word);
  };
  return std::string(interrupted ? "Interrupted: " : "Summary: ") + count(Outcome::kConverted, "converted") +
         ", " + count(Outcome::kPacked, "packed") + ", " + count(Outcome::kUnchanged, "unchanged") + ", " +
         count(Outcome::kSkipped, "skipped") + ", " + count(Outcome::kFailed, "failed") + "; " +
         (dry_run ? std::string("nothing written (dry run)") : Megabytes(written) + " written") + " in " +
         seconds;
}

// A window that was opened for this run alone closes with it: the last
// lines stay until Enter is pressed.
void KeepOwnWindowOpen() {
  if (!platform::ConsoleIsOwnWindow()) return;
  Say("Press Enter to close this window.");
  platform::WaitForEnter();
}

int Run(const BatchOptions& options) {
  const Clock::time_point start = Clock::now();
  platform::SetTemporaryTag(kProgram);
  const std::vector<BatchItem> items = PlanBatch(options);
  const bool listing = options.mode == BatchMode::kList;
  const unsigned jobs =
      options.jobs != 0 ? options.jobs : std::clamp(std::thread::hardware_concurrency(), 1u, kMostJobs);

  Progress progress(platform::StandardErrorIsTerminal() && !options.quiet && !listing, items.size());
  std::optional<Listing> listing_lines;
  if (listing) {
    listing_lines.emplace(options, items);
    listing_lines->Header();
  }
  std::array<std::size_t, 5> counts{};
  ByteCount written = 0;
  bool interrupted = false;
  {
    Runner runner(options, items);
    runner.Start(jobs);
    const auto tick = [&] { progress.Show(runner.FilesDone(), runner.BytesDone()); };
    for (std::size_t i = 0; i < items.size(); ++i) {
      const ItemResult* result = runner.Await(i, tick);
      if (result == nullptr || result->interrupted) {
        interrupted = true;
        continue;
      }
      written += result->written;
      const BatchItem& item = items[i];
      if (listing && !item.decided && result->outcome != Outcome::kFailed) {
        listing_lines->Print(item, *result, static_cast<std::uint32_t>(options.rate));
        continue;
      }
      counts[static_cast<std::size_t>(result->outcome)] += 1;
      const std::string line = std::string(Word(result->outcome)) + " \"" + item.input + "\"" +
                               (result->detail.empty() ? "" : (result->detail.starts_with("->") ? " " : ": ") +
                                                                  result->detail);
      progress.Erase();
      if (listing) {
        Complain(line);  // the table on standard output stays a table
      } else if (!options.quiet || result->outcome == Outcome::kFailed) {
        Say(line);
      }
      tick();
    }
    runner.Finish();
    interrupted = interrupted || platform::InterruptionRequested();
  }
  progress.Erase();
  if (!listing) Say(Summary(counts, written, options.dry_run, Clock::now() - start, interrupted));
  KeepOwnWindowOpen();
  if (interrupted) return kInterruptedStatus;
  return counts[static_cast<std::size_t>(Outcome::kFailed)] != 0 ? kFailedStatus : 0;
}

}  // namespace

int RunBatch(const std::vector<std::string>& arguments) {
  platform::PrepareProcess();
  // From here on the first Ctrl-C stops the run, with its summary, instead
  // of ending the process at once.
  platform::DeferInterruptions();
  BatchOptions options;
  try {
    options = ParseBatchArguments(arguments);
  } catch (const EUsageError& error) {
    Complain(std::string(kProgram) + ": " + error.what());
    EachLine(BatchUsage(), Complain);
    Complain("Try '" + std::string(kProgram) + " --help' for more information.");
    KeepOwnWindowOpen();
    return kUsageStatus;
  }
  if (options.help) {
    EachLine(BatchHelp(), Say);
    KeepOwnWindowOpen();
    return 0;
  }
  if (options.version) {
    Say(std::string(kProgram) + " (Plivex) " PLIVEX_VERSION);
    return 0;
  }
  try {
    return Run(options);
  } catch (const std::bad_alloc&) {
    Complain(std::string(kProgram) + ": not enough memory");
  } catch (const std::exception& error) {
    Complain(std::string(kProgram) + ": " + error.what());
  }
  return kFailedStatus;
}

}  // namespace plivex
