#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>

#include "platform/errors.h"
#include "platform/folder.h"
#include "platform/system.h"

namespace plivex::platform {

namespace {

std::string Operation(const char* operation, const std::string& path) {
  return std::string(operation) + "(" + path + ")";
}

// The reason for the last failure, where a file on the way of a folder's
// path (ENOTDIR) is said to be what it is rather than a missing folder.
SystemFailure FolderFailure() {
  const bool not_a_folder = errno == ENOTDIR;
  SystemFailure failure = system::LastFailure();
  if (not_a_folder) failure.fault = FileFault::kNotAFolder;
  return failure;
}

// Opens the folder `path` for reading its entries, or returns -1 with errno
// set. O_DIRECTORY refuses anything else before it is opened (a FIFO would
// wait for a writer, a tape would rewind). Kept clear of 0, 1 and 2, as
// every file the program opens: were standard output closed, a console
// line would otherwise go to the folder's descriptor, and be lost.
int OpenFolder(const std::string& path) {
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  (void)close(fd);  // only opened: nothing to lose
  errno = error;
  return moved;
}

struct CloseFolder {
  // A folder that was only read loses nothing when its close fails.
  void operator()(DIR* folder) const { (void)closedir(folder); }
};

// What the entry `entry` of the open folder `folder` is. Most file systems
// say it in the entry; a link, and an entry whose file system does not say
// (DT_UNKNOWN), are looked at. An entry that cannot be looked at (removed
// meanwhile, a broken link, a loop of links) is kOther: there is nothing to
// convert there.
EntryKind KindOf(int folder, const dirent& entry) {
  switch (entry.d_type) {
    case DT_REG:
      return EntryKind::kFile;
    case DT_DIR:
      return EntryKind::kFolder;
    case DT_LNK:
    case DT_UNKNOWN:
      break;
    default:
      return EntryKind::kOther;
  }
  struct stat info {};
  if (fstatat(folder, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::kOther;
  if (S_ISREG(info.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(info.st_mode)) return EntryKind::kFolder;
  if (!S_ISLNK(info.st_mode)) return EntryKind::kOther;
  // A link counts as a file when it leads to one; a link to a folder is
  // never followed.
  if (fstatat(folder, entry.d_name, &info, 0) != 0) return EntryKind::kOther;
  return S_ISREG(info.st_mode) ? EntryKind::kFile : EntryKind::kOther;
}

}  // namespace

std::vector<FolderEntry> ListFolder(const std::string& path) {
  const int fd = OpenFolder(path);
  if (fd < 0) throw EFOpenError(Operation("open", path), FolderFailure());
  const std::unique_ptr<DIR, CloseFolder> folder(fdopendir(fd));
  if (!folder) {
    const SystemFailure failure = system::LastFailure();
    (void)close(fd);
    throw EFOpenError(Operation("fdopendir", path), failure);
  }
  std::vector<FolderEntry> entries;
  for (;;) {
    // readdir() returns nullptr both at the end and on a failure; only
    // errno tells them apart.
    errno = 0;
    const dirent* entry = readdir(folder.get());
    if (entry == nullptr) {
      if (errno != 0) throw EFOpenError(Operation("readdir", path), system::LastFailure());
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.push_back({std::string(name), KindOf(fd, *entry)});
  }
  // std::string compares its characters as unsigned char: by bytes.
  std::ranges::sort(entries, {}, &FolderEntry::name);
  return entries;
}

std::optional<PathIdentity> Identify(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw EFOpenError(Operation("stat", path), system::LastFailure());
  }
  PathIdentity identity;
  identity.kind = S_ISREG(info.st_mode)   ? EntryKind::kFile
                  : S_ISDIR(info.st_mode) ? EntryKind::kFolder
                                          : EntryKind::kOther;
  identity.size = identity.kind == EntryKind::kFile ? static_cast<ByteCount>(info.st_size) : 0;
  identity.known = true;
  identity.volume = info.st_dev;
  identity.id[0] = info.st_ino;
  return identity;
}

void MakeFolders(const std::string& path) {
  constexpr mode_t kMode = 0777;  // less the umask, as for any new folder
  if (mkdir(path.c_str(), kMode) == 0) return;
  int error = errno;
  if (error == ENOENT || error == ENOTDIR) {
    // A folder above is missing, or is not a folder: made first, or named
    // as what is in the way.
    const std::string parent(FolderPart(path));
    if (!parent.empty() && parent.size() < path.size()) {
      MakeFolders(parent);
      if (mkdir(path.c_str(), kMode) == 0) return;
      error = errno;
    }
  }
  // Whatever the refusal (EEXIST; EACCES or EROFS on some systems even for
  // a folder that exists), a folder in its place is what was asked for.
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) return;
    throw EFCreateError(Operation("mkdir", path), system::Failure(FileFault::kNotAFolder, "not a folder"));
  }
  errno = error;
  throw EFCreateError(Operation("mkdir", path), FolderFailure());
}

std::optional<std::vector<std::string>> ExpandWildcards(const std::string& /*argument*/) {
  // The shell has expanded them already; what is left is a name.
  return std::nullopt;
}

}  // namespace plivex::platform
