#include "app/batch_work.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <variant>

#include "app/pack_texts.h"
#include "convert/classify.h"
#include "convert/wav_format.h"
#include "convert/wav_header.h"
#include "convert/wav_reader.h"
#include "platform/errors.h"
#include "platform/folder.h"

namespace plivex {

namespace {

using platform::ByteCount;

constexpr std::size_t kComparedChunk = 1 << 20;

// The words of a line for the two files of one direction: the one read,
// and the one written.
struct Direction {
  std::string_view source;  // "BgmFile" when converting
  std::string_view target;  // "WavFile" when converting
};
constexpr Direction kConverting{"BgmFile", "WavFile"};
constexpr Direction kPacking{"WavFile", "BgmFile"};

// Failures of the other file of a line (the original a WAV file is
// compared with, or goes back into), so that its line names that file and
// not the input.
struct ETargetReadError : EReadError {
  using EReadError::EReadError;
};
struct ETargetOpenError : EFOpenError {
  using EFOpenError::EFOpenError;
};

// Blocks compared with the next bytes of a file instead of written: the
// comparison stops at the first byte that differs, or where the file ends.
class Comparison final : public BlockSink {
 public:
  Comparison(platform::File& file, std::span<std::uint8_t> buffer) : file_(file), buffer_(buffer) {}

  bool Take(std::span<const std::uint8_t> bytes) override {
    while (same_ && !bytes.empty()) {
      const std::size_t count = std::min(bytes.size(), buffer_.size());
      std::size_t got = 0;
      try {
        got = file_.Read(buffer_.first(count));
      } catch (const EReadError& error) {
        throw ETargetReadError("read", error.failure);
      }
      same_ = got == count && std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count),
                                         buffer_.begin());
      bytes = bytes.subspan(count);
    }
    return same_;
  }

  bool Same() const { return same_; }

 private:
  platform::File& file_;
  std::span<std::uint8_t> buffer_;
  bool same_ = true;
};

// Blocks that go nowhere: what a dry run of a packing needs is its count.
class Discard final : public BlockSink {
 public:
  bool Take(std::span<const std::uint8_t>) override { return true; }
};

ItemResult Line(Outcome outcome, std::string detail) {
  ItemResult result;
  result.outcome = outcome;
  result.detail = std::move(detail);
  return result;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

// A message of plivex-pack's without the " !" that ends its console line:
// the batch line goes on after it.
std::string WithoutBang(std::string message) {
  if (message.ends_with(" !")) message.resize(message.size() - 2);
  return message;
}

// The failure being handled, in plivex-pack's words: which file could not
// be opened, read, created, written or replaced, and why. The input is not
// named again on its own line; the other file is. Called only from inside
// a catch block.
std::string FailureText(const Direction& direction, const BatchItem& item) {
  const auto line = [&](std::string_view what, std::string_view kind, const std::string* name,
                        const FileError& error, bool creating) {
    std::string text = std::string(what) + " " + std::string(kind);
    if (name != nullptr) text += " " + Quoted(*name);
    // plivex-pack's input is always the WAV file; here it is the file read.
    if (error.failure.fault == FileFault::kSameAsInput) return text + ": Same File As " + std::string(direction.source);
    return text + ": " + Why(error.failure, creating);
  };
  try {
    throw;
  } catch (const ETargetReadError& error) {
    return line("Cannot Read", direction.target, &item.target, error, false);
  } catch (const ETargetOpenError& error) {
    return line("Cannot Open", direction.target, &item.target, error, false);
  } catch (const EFOpenError& error) {
    return line("Cannot Open", direction.source, nullptr, error, false);
  } catch (const EReadError& error) {
    return line("Cannot Read", direction.source, nullptr, error, false);
  } catch (const EFCreateError& error) {
    return line("Cannot Create", direction.target, &item.target, error, true);
  } catch (const EWriteError& error) {
    return line("Cannot Write", direction.target, &item.target, error, true);
  } catch (const EReplaceError& error) {
    return line("Cannot Replace", direction.target, &item.target, error, true);
  } catch (const std::bad_alloc&) {
    return "Not Enough Memory";
  } catch (const std::exception& error) {
    return std::string("Unexpected Error: ") + error.what();
  } catch (...) {
  }
  return "Unexpected Error";
}

// What Classify reads the file through.
ClassifyReadAt ReaderOf(platform::File& file) {
  return [&file](std::uint64_t offset, std::span<std::uint8_t> buffer) {
    file.Seek(offset);
    return file.Read(buffer);
  };
}

// The folder a target goes in is made when the run writes under -o.
void PrepareFolder(const BatchItem& item, const BatchOptions& options) {
  if (options.output) platform::MakeFolders(std::string(platform::FolderPart(item.target)));
}

// When `earlier`, whose target differs from `item`'s only in the case of
// its letters, wrote to the same file (a file system that ignores case):
// the reason `item` fails.
std::optional<std::string> SharedTarget(const BatchItem& item, const BatchItem* earlier) {
  if (earlier == nullptr) return std::nullopt;
  // A name the system cannot look at fails later, with its reason.
  std::optional<platform::PathIdentity> mine;
  std::optional<platform::PathIdentity> theirs;
  try {
    mine = platform::Identify(item.target);
    theirs = platform::Identify(earlier->target);
  } catch (const FileError&) {
    return std::nullopt;
  }
  if (!mine || !theirs || !platform::SamePath(*mine, *theirs)) return std::nullopt;
  return Quoted(item.target) + " Is Also The Target Of " + Quoted(earlier->input);
}

// What a replaced file could not keep, at the end of its line.
void AddNotKept(ItemResult& result, const std::vector<platform::AttributeNotKept>& not_kept) {
  for (const platform::AttributeNotKept& attribute : not_kept) result.detail += ", " + NotKept(attribute);
}

ItemResult Convert(const BatchItem& item, const BatchItem* earlier, const BatchOptions& options,
                   Workspace& space) {
  platform::File input = platform::OpenInput(item.input);
  const ByteCount length = input.Size();
  if (!options.all) {
    const Verdict verdict = Classify(length, ReaderOf(input));
    if (verdict.kind != VerdictKind::kBgm && verdict.kind != VerdictKind::kSilence) {
      return Line(Outcome::kSkipped, VerdictWord(verdict));
    }
  }
  if (length > kMaxBgmSize) return Line(Outcome::kFailed, "BgmFile Too Large");
  if (auto shared = SharedTarget(item, earlier)) return Line(Outcome::kFailed, std::move(*shared));
  if (!options.force && platform::LookUp(item.target).kind != platform::PathKind::kMissing) {
    return Line(Outcome::kSkipped, Quoted(item.target) + " exists (-f replaces it)");
  }
  ItemResult result = Line(Outcome::kConverted, "-> " + Quoted(item.target) + ": " +
                                                    Duration(length / kWavBlockAlign,
                                                             static_cast<std::uint32_t>(options.rate)));
  result.read = length;
  if (options.dry_run) return result;

  PrepareFolder(item, options);
  platform::Replacement output = platform::BeginReplacement(item.target, input);
  input.Seek(0);
  WriteWavHeader(output.Output(), options.rate, length);
  ConvertBlocks(input, output.Output(), length, space.Buffers());
  (void)input.Close();  // nothing was written to it
  output.Commit();
  result.written = kWavHeaderSize + PackedSize(length);
  AddNotKept(result, output.AttributesNotKept());
  return result;
}

// Whether the WAV file `wav` holds exactly what converting `bgm`, of
// `size` bytes, at `rate` gives: then it was not edited.
bool IsConversionOf(platform::File& wav, platform::File& bgm, ByteCount size, std::int32_t rate,
                    Workspace& space) {
  if (wav.Size() != kWavHeaderSize + PackedSize(size)) return false;
  const auto header = MakeWavHeader(rate, size);
  Comparison comparison(wav, space.Compared());
  wav.Seek(0);
  bgm.Seek(0);
  try {
    if (!comparison.Take(header)) return false;
  } catch (const ETargetReadError& error) {
    throw EReadError("read", error.failure);  // the WAV file is this line's input
  }
  // Here the Bgm file is the one converted, and the WAV file the one
  // compared: their roles in the line's words are the other way round.
  try {
    ConvertBlocks(bgm, comparison, size, space.Buffers());
  } catch (const ETargetReadError& error) {
    throw EReadError("read", error.failure);
  } catch (const EReadError& error) {
    throw ETargetReadError("read", error.failure);
  }
  return comparison.Same();
}

// The note on a packed line about the samples: what they were converted
// from, and how many were clipped.
std::string SampleNotes(const WavLayout& layout, const PackResult& packed) {
  std::string notes;
  if (NeedsConversion(layout)) notes += ", " + Kind(layout) + " Converted To 16Bit Stereo";
  if (packed.clipped != 0) notes += ", " + Count(packed.clipped, "Sample", "Samples") + " Clipped";
  return notes;
}

ItemResult Pack(const BatchItem& item, const BatchItem* earlier, const BatchOptions& options, Workspace& space) {
  const platform::PathInfo original = platform::LookUp(item.target);
  // The original is the game's slot: its size is the new file's, and
  // plivex-batch never makes one where there is none.
  if (original.kind == platform::PathKind::kMissing) return Line(Outcome::kFailed, "no original " + Quoted(item.target));
  if (original.kind == platform::PathKind::kOther) {
    return Line(Outcome::kFailed, "the original " + Quoted(item.target) + " is not a regular file");
  }
  platform::File wav = platform::OpenInput(item.input);
  const WavHeader header = ReadWavHeader(wav);
  if (const auto* refusal = std::get_if<WavRefusal>(&header)) {
    return Line(Outcome::kFailed, WithoutBang(RefusalMessage(*refusal)));
  }
  const WavLayout layout = std::get<WavLayout>(header);
  const auto rate = static_cast<std::uint32_t>(options.rate);
  if (layout.sample_rate != rate) {
    return Line(Outcome::kFailed, "WavFile Sample Rate Is " + std::to_string(layout.sample_rate) + " Hz, Not " +
                                      std::to_string(rate) + " Hz");
  }
  if (auto shared = SharedTarget(item, earlier)) return Line(Outcome::kFailed, std::move(*shared));

  const std::string duration = Duration(FrameCount(layout), layout.sample_rate);
  ByteCount size = 0;
  std::optional<PackResult> counted;
  {
    platform::File bgm;
    try {
      bgm = platform::OpenInput(item.target);
      size = bgm.Size();
    } catch (const EFOpenError& error) {
      throw ETargetOpenError("open", error.failure);
    }
    if (size > kMaxBgmSize) return Line(Outcome::kFailed, "BgmFile Too Large");
    ItemResult unchanged = Line(Outcome::kUnchanged, duration);
    unchanged.read = wav.Size();
    if (IsConversionOf(wav, bgm, size, options.rate, space)) return unchanged;
    if (size == 0) return Line(Outcome::kFailed, "the original " + Quoted(item.target) + " is empty");
    // Packed, it would be the original's own bytes: a WAV file converted
    // from an original that is not a whole number of blocks, or whose
    // edit changed nothing that goes back.
    Comparison comparison(bgm, space.Compared());
    bgm.Seek(0);
    wav.Seek(layout.data_offset);
    const PackResult packed = PackBlocks(wav, comparison, layout, size, kMaxBgmSize + 1, space.Buffers());
    if (comparison.Same()) return unchanged;
    if (!packed.stopped) counted = packed;
  }

  ItemResult result;
  result.outcome = Outcome::kPacked;
  result.read = layout.data_length;
  std::vector<platform::AttributeNotKept> not_kept;
  if (options.dry_run) {
    if (!counted) {
      Discard nowhere;
      wav.Seek(layout.data_offset);
      counted = PackBlocks(wav, nowhere, layout, size, kMaxBgmSize + 1, space.Buffers());
    }
  } else {
    platform::Replacement output = platform::BeginReplacement(item.target, wav);
    wav.Seek(layout.data_offset);
    counted = PackBlocks(wav, output.Output(), layout, size, kMaxBgmSize + 1, space.Buffers());
    (void)wav.Close();  // nothing was written to it
    output.Commit();
    result.written = size;
    not_kept = output.AttributesNotKept();
  }
  result.detail = "-> " + Quoted(item.target) + ": " + duration + SampleNotes(layout, *counted);
  const FitWords fit = DescribeFit(FrameCount(layout), layout.sample_rate, size);
  for (const std::string& words : {fit.cut_off, fit.silence_added}) {
    if (!words.empty()) result.detail += ", " + words;
  }
  AddNotKept(result, not_kept);
  return result;
}

ItemResult List(const BatchItem& item, const BatchOptions& options) {
  platform::File input = platform::OpenInput(item.input);
  ItemResult result = Line(Outcome::kSkipped, {});
  result.bytes = input.Size();
  result.verdict = VerdictWord(Classify(result.bytes, ReaderOf(input)));
  result.read = result.bytes;
  (void)options;
  return result;
}

}  // namespace

Workspace::Workspace(BatchMode mode)
    : buffers_(mode == BatchMode::kList ? 0 : kComparedChunk),
      compared_size_(mode == BatchMode::kPack ? kComparedChunk : 0),
      compared_(new std::uint8_t[compared_size_]) {}

ItemResult DoItem(const BatchItem& item, const BatchItem* earlier, const BatchOptions& options,
                  Workspace& space) {
  const Direction& direction = options.mode == BatchMode::kPack ? kPacking : kConverting;
  try {
    switch (options.mode) {
      case BatchMode::kConvert:
        return Convert(item, earlier, options, space);
      case BatchMode::kPack:
        return Pack(item, earlier, options, space);
      case BatchMode::kList:
        return List(item, options);
    }
  } catch (const EInterrupted&) {
    ItemResult result;
    result.interrupted = true;
    return result;
  } catch (...) {
    return Line(Outcome::kFailed, FailureText(direction, item));
  }
  return Line(Outcome::kFailed, "Unexpected Error");
}

std::string Duration(ByteCount frames, std::uint32_t rate) {
  const ByteCount milliseconds = (frames * 1000 + rate / 2) / rate;
  const ByteCount seconds = milliseconds / 1000;
  char text[48];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02u:%02u.%03u", static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60),
                  static_cast<unsigned>(milliseconds % 1000));
  } else {
    std::snprintf(text, sizeof text, "%u:%02u.%03u", static_cast<unsigned>(seconds / 60),
                  static_cast<unsigned>(seconds % 60), static_cast<unsigned>(milliseconds % 1000));
  }
  return text;
}

std::string DecimalSeconds(ByteCount frames, std::uint32_t rate) {
  const ByteCount milliseconds = (frames * 1000 + rate / 2) / rate;
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03u", static_cast<unsigned long long>(milliseconds / 1000),
                static_cast<unsigned>(milliseconds % 1000));
  return text;
}

}  // namespace plivex
