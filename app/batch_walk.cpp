#include "app/batch_walk.h"

#include <algorithm>
#include <map>

#include "app/pack_texts.h"
#include "platform/errors.h"
#include "platform/file.h"
#include "platform/folder.h"

namespace plivex {

namespace {

constexpr std::string_view kWavSuffix = ".wav";

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The name as a file system that ignores the case of letters sees it, as
// far as the program can tell without asking it: ASCII letters folded.
std::string Folded(std::string name) {
  std::ranges::transform(name, name.begin(), AsciiLower);
  return name;
}

std::string Below(const std::string& relative, const std::string& name) {
  return relative.empty() ? name : platform::JoinPath(relative, name);
}

// What `path` names, or nothing when the system cannot say: a folder
// that cannot be looked at is reported when it is listed.
std::optional<platform::PathIdentity> Quietly(const std::string& path) {
  try {
    return platform::Identify(path);
  } catch (const FileError&) {
    return std::nullopt;
  }
}

class Walker {
 public:
  std::vector<BatchItem> Items() && { return std::move(items_); }

  explicit Walker(const BatchOptions& options) : options_(options) {
    // An output folder that exists already is left out of every walk: its
    // files are this run's outputs, or an earlier run's.
    if (options.output) output_folder_ = Quietly(*options.output);
  }

  // A PATH as the command line gives it. Windows leaves wildcards to the
  // program; each match keeps its own name below the pattern's folder.
  void TakeArgument(const std::string& path) {
    std::optional<std::vector<std::string>> matches;
    try {
      matches = platform::ExpandWildcards(path);
    } catch (const FileError& error) {
      Decide(path, Outcome::kFailed, "Cannot Open: " + Why(error.failure, false));
      return;
    }
    // No wildcard, or one that matches nothing: what is there is said as
    // for any other path.
    if (!matches || matches->empty()) {
      Take(path, "");
      return;
    }
    for (const std::string& match : *matches) {
      const std::optional<platform::PathIdentity> identity = Quietly(match);
      const bool folder = identity && identity->kind == platform::EntryKind::kFolder;
      Take(match, folder ? std::string(platform::LastPart(match)) : "");
    }
  }

 private:
  // A PATH of the command line: a file, or a folder that is walked. A link
  // given here is followed, whatever it names.
  void Take(const std::string& path, const std::string& relative_root) {
    std::optional<platform::PathIdentity> identity;
    try {
      identity = platform::Identify(path);
    } catch (const FileError& error) {
      Decide(path, Outcome::kFailed, "Cannot Open: " + Why(error.failure, false));
      return;
    }
    if (!identity) {
      Decide(path, Outcome::kFailed, "File Not Found");
    } else if (identity->kind == platform::EntryKind::kFile) {
      AddFile(path, Below(relative_root, std::string(platform::LastPart(path))), true);
    } else if (identity->kind == platform::EntryKind::kFolder) {
      walking_.assign(1, *identity);
      Walk(path, relative_root);
    } else {
      Decide(path, Outcome::kSkipped, "not a regular file or folder");
    }
  }

  void Decide(const std::string& path, Outcome outcome, std::string reason) {
    BatchItem item;
    item.input = path;
    item.decided = outcome;
    item.reason = std::move(reason);
    items_.push_back(std::move(item));
  }

  void AddFile(const std::string& path, const std::string& relative, bool given) {
    std::optional<std::string> target = TargetOf(path, relative, options_.mode, options_.output);
    if (!target) {
      // A walk takes only the WAV files back; one given by name says why not.
      if (given) Decide(path, Outcome::kSkipped, "not a .wav file");
      return;
    }
    BatchItem item;
    item.input = path;
    item.target = std::move(*target);
    items_.push_back(std::move(item));
  }

  void Walk(const std::string& folder, const std::string& relative) {
    std::vector<platform::FolderEntry> entries;
    try {
      entries = platform::ListFolder(folder);
    } catch (const FileError& error) {
      Decide(folder, Outcome::kFailed, "Cannot Read Folder: " + Why(error.failure, false));
      return;
    }
    for (const platform::FolderEntry& entry : entries) {
      const std::string path = platform::JoinPath(folder, entry.name);
      if (entry.kind == platform::EntryKind::kFile) AddFile(path, Below(relative, entry.name), false);
      if (entry.kind == platform::EntryKind::kOther) {
        // Links to folders are never followed, so no loop of links can
        // hold the walk; devices, pipes and sockets hold no music.
        Decide(path, Outcome::kSkipped, "not a regular file or folder (links to folders are not followed)");
      }
    }
    for (const platform::FolderEntry& entry : entries) {
      if (entry.kind != platform::EntryKind::kFolder) continue;
      const std::string path = platform::JoinPath(folder, entry.name);
      const std::optional<platform::PathIdentity> identity = Quietly(path);
      if (identity && output_folder_ && platform::SamePath(*identity, *output_folder_)) continue;
      // A folder that is one of those it is in (a bind mount can make one
      // where no link is) is not walked again: the walk always ends.
      const auto same = [&](const platform::PathIdentity& above) { return platform::SamePath(*identity, above); };
      if (identity && std::ranges::any_of(walking_, same)) {
        Decide(path, Outcome::kSkipped, "a folder it is in already");
        continue;
      }
      if (identity) walking_.push_back(*identity);
      Walk(path, Below(relative, entry.name));
      if (identity) walking_.pop_back();
    }
  }

  const BatchOptions& options_;
  std::optional<platform::PathIdentity> output_folder_;
  std::vector<platform::PathIdentity> walking_;  // the folders the walk is in, outermost first
  std::vector<BatchItem> items_;
};

// Two files for one target: the second fails and names the first when
// the names are the same; when they differ only in the case of letters,
// it waits for the first and then asks the file system. And a file that is
// another's target (NAME.wav beside NAME, when converting in place) is
// left alone, whatever order the jobs take them in.
void MarkSharedTargets(std::vector<BatchItem>& items) {
  std::map<std::string, std::size_t> exact;
  std::map<std::string, std::size_t> folded;
  for (std::size_t i = 0; i < items.size(); ++i) {
    BatchItem& item = items[i];
    if (item.decided || item.target.empty()) continue;
    if (const auto [first, fresh] = exact.try_emplace(item.target, i); !fresh) {
      item.decided = Outcome::kFailed;
      item.reason = "\"" + item.target + "\" Is Also The Target Of \"" + items[first->second].input + "\"";
      continue;
    }
    if (const auto [first, fresh] = folded.try_emplace(Folded(item.target), i); !fresh) item.after = first->second;
  }
  for (BatchItem& item : items) {
    if (item.decided) continue;
    const auto target = folded.find(Folded(item.input));
    if (target == folded.end()) continue;
    item.decided = Outcome::kSkipped;
    item.reason = "the output of \"" + items[target->second].input + "\"";
    item.after.reset();
  }
}

}  // namespace

bool IsWavName(const std::string& name) {
  return name.size() > kWavSuffix.size() &&
         Folded(name.substr(name.size() - kWavSuffix.size())) == kWavSuffix;
}

std::optional<std::string> TargetOf(const std::string& input, const std::string& relative, BatchMode mode,
                                    const std::optional<std::string>& output) {
  if (mode == BatchMode::kList) return std::string();
  const bool packing = mode == BatchMode::kPack;
  if (packing && !IsWavName(std::string(platform::LastPart(input)))) return std::nullopt;
  const auto named = [&](const std::string& path) {
    return packing ? path.substr(0, path.size() - kWavSuffix.size()) : path + std::string(kWavSuffix);
  };
  return output ? platform::JoinPath(*output, named(relative)) : named(input);
}

std::vector<BatchItem> PlanBatch(const BatchOptions& options) {
  Walker walker(options);
  for (const std::string& path : options.paths) walker.TakeArgument(path);
  std::vector<BatchItem> items = std::move(walker).Items();
  MarkSharedTargets(items);
  return items;
}

}  // namespace plivex
