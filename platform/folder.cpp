#include "platform/folder.h"

#include <string>

#include "platform/system.h"

namespace plivex::platform {

namespace {

bool IsSeparator(char c) { return system::kPathSeparators.find(c) != std::string_view::npos; }

}  // namespace

bool SamePath(const PathIdentity& a, const PathIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.id[0] == b.id[0] && a.id[1] == b.id[1];
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && !IsSeparator(path.back())) path += kPathSeparator;
  path += name;
  return path;
}

std::string_view LastPart(std::string_view path) {
  const std::size_t separator = path.find_last_of(system::kPathSeparators);
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

std::string_view FolderPart(std::string_view path) {
  const std::size_t separator = path.find_last_of(system::kPathSeparators);
  if (separator == std::string_view::npos) return {};
  // The slashes before the last part go, unless nothing but a root would
  // be left. On Windows the ':' of a drive stays: "C:" is the current
  // folder of drive C, "C:\\" its root.
  std::size_t end = separator + 1;
  while (end > 0 && path[end - 1] != ':' && IsSeparator(path[end - 1])) --end;
  if (end == 0) return path.substr(0, 1);                                         // "/name"
  if (IsSeparator(':') && end == 2 && path[1] == ':' && end <= separator) ++end;  // "C:\\name"
  return path.substr(0, end);
}

}  // namespace plivex::platform
