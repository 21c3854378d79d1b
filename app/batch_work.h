#pragma once

// The work plivex-batch does for one file: converting it, packing it back,
// or identifying it. Each runs on a worker thread with buffers of its own,
// and reports instead of raising.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/batch_options.h"
#include "app/batch_walk.h"
#include "convert/bgm_blocks.h"
#include "platform/file.h"

namespace plivex {

// What one worker converts through: taken once, used for every file, and
// only what the run needs (a listing converts nothing).
class Workspace {
 public:
  explicit Workspace(BatchMode mode);

  const BlockBuffers& Buffers() const { return buffers_; }
  // The bytes of the file that a conversion is compared with (packing only).
  std::span<std::uint8_t> Compared() const { return {compared_.get(), compared_size_}; }

 private:
  BlockBuffers buffers_;
  std::size_t compared_size_;
  std::unique_ptr<std::uint8_t[]> compared_;  // not cleared: every byte is read into before it is looked at
};

struct ItemResult {
  Outcome outcome = Outcome::kFailed;
  std::string detail;  // what the line says after the input's path
  platform::ByteCount read = 0;     // input bytes taken
  platform::ByteCount written = 0;  // output bytes written
  // The run was interrupted (Ctrl-C) while this file was under way: it left
  // nothing behind, and has no line.
  bool interrupted = false;
  // --list: the figures of the file.
  platform::ByteCount bytes = 0;
  std::string verdict;
};

// Does what `options` asks for `item`, which is not decided already.
// `earlier` is the item whose target has the same name but for case, once
// it is done, or nullptr. Never raises.
ItemResult DoItem(const BatchItem& item, const BatchItem* earlier, const BatchOptions& options,
                  Workspace& space);

// "2:03.456": `frames` at `rate` frames a second, to the millisecond;
// hours when there are any.
std::string Duration(platform::ByteCount frames, std::uint32_t rate);

// "123.456": the same in seconds alone.
std::string DecimalSeconds(platform::ByteCount frames, std::uint32_t rate);

}  // namespace plivex
