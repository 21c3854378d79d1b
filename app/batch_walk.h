#pragma once

// What plivex-batch is to do, file by file: the walk over its PATHs, and
// the name each file's output gets.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "app/batch_options.h"

namespace plivex {

// What became of a file; the first word of its line.
enum class Outcome { kConverted, kPacked, kUnchanged, kSkipped, kFailed };

// One file of the run, in walk order.
struct BatchItem {
  std::string input;  // the path it is opened by: a PATH, or a PATH and the names below it
  // Converting: the WAV file to write. Packing: the original to replace.
  // Listing: empty.
  std::string target;
  // Decided during the walk, with nothing left to do: a folder that cannot
  // be read, a link that is not followed, a second file for a target that
  // an earlier one has already.
  std::optional<Outcome> decided;
  std::string reason;  // of a decided outcome
  // An earlier item whose target has the same name but for the case of
  // its letters: this one waits for it, and fails when the file system
  // takes both names for one file.
  std::optional<std::size_t> after;
};

// Walks the PATHs of `options` in order: a file is an item; a folder's
// files come in the order of their names' bytes, then its folders, each
// walked the same way. Symbolic links to folders met in a walk are not
// followed, nor is the output folder when a walk meets it. Packing takes
// only files named *.wav (in any case) from a walk. Never raises for a
// path: what cannot be walked becomes a decided item.
std::vector<BatchItem> PlanBatch(const BatchOptions& options);

// The target of a file at `relative` below its PATH, found as `input`:
// NAME.wav for NAME, or NAME for NAME.wav when packing; under `output`
// when given, else beside the input. Nothing when packing a name that is
// not NAME.wav.
std::optional<std::string> TargetOf(const std::string& input, const std::string& relative, BatchMode mode,
                                    const std::optional<std::string>& output);

// Whether `name` ends in ".wav" in any case, with a name before it.
bool IsWavName(const std::string& name);

}  // namespace plivex
