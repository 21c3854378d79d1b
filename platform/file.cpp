#include "platform/file.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/system.h"

namespace plivex::platform {

using system::FileIdentity;
using system::FileKind;

bool IsExistingFile(const std::string& path) { return LookUp(path).kind == PathKind::kFile; }

// Ownership moves with the handle; what each backend does lives in Close().

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, system::kNoHandle)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)Close();
    handle_ = std::exchange(other.handle_, system::kNoHandle);
  }
  return *this;
}

File::~File() { (void)Close(); }

namespace {

// Raises EInterrupted for `operation` once a deferred Ctrl-C has come.
void CheckNotInterrupted(const char* operation) {
  if (InterruptionRequested()) {
    throw EInterrupted(operation, system::Failure(FileFault::kInterrupted, "interrupted"));
  }
}

}  // namespace

std::size_t File::Read(std::span<std::uint8_t> buffer) {
  CheckNotInterrupted("read");
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::int64_t got = system::ReadSome(handle_, buffer.subspan(done));
    if (got < 0) {
      // A read that a deferred Ctrl-C broke off (a pipe that brings nothing).
      CheckNotInterrupted("read");
      throw EReadError("read", system::LastFailure());
    }
    if (got == 0) break;  // end of file
    done += static_cast<std::size_t>(got);
  }
  return done;
}

void File::ReadExactly(std::span<std::uint8_t> buffer) {
  if (Read(buffer) != buffer.size()) {
    throw EReadError("read", system::Failure(FileFault::kEndedEarly, "the file ended early"));
  }
}

void File::Write(std::span<const std::uint8_t> data) {
  CheckNotInterrupted("write");
  if (system::WriteAll(handle_, data) != data.size()) {
    CheckNotInterrupted("write");
    throw EWriteError("write", system::LastFailure());
  }
}

ByteCount File::Size() const {
  const std::optional<FileIdentity> identity = system::Identify(handle_);
  if (!identity) throw EReadError("size", system::LastFailure());
  return identity->size;
}

void File::Seek(ByteCount position) {
  if (!system::Seek(handle_, position)) throw EReadError("seek", system::LastFailure());
}

void File::CloseWritten() {
  if (!Close()) throw EWriteError("close", system::LastFailure());
}

namespace {

std::string Operation(const char* operation, const std::string& path) {
  return std::string(operation) + "(" + path + ")";
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (!a.known || !b.known || a.kind != b.kind || a.id[0] != b.id[0] || a.id[1] != b.id[1]) return false;
  if (a.volume != 0 && b.volume != 0) return a.volume == b.volume;
  // One volume is unknown (on Windows, a handle inherited from a Unix shell
  // under Wine): the same identifier on another volume is a different
  // file, so both must also have the same size right now, as one file seen
  // through two handles always has.
  return a.size == b.size;
}

// Whether data written to `file` would show up among the console's lines,
// or the console's lines in its data: when standard output goes to the
// same file, pipe or block device. A character device (/dev/null, NUL, a
// terminal) keeps nothing, so it may be both; so may a standard output
// that is missing or cannot be identified.
bool IsStandardOutput(const FileIdentity& file) {
  if (file.kind == FileKind::kCharacterDevice || file.kind == FileKind::kConsole) return false;
  const system::Handle out = system::StandardOutput();
  const std::optional<FileIdentity> console = out == system::kNoHandle ? std::nullopt : system::Identify(out);
  return console && SameFile(*console, file);
}

// The checks an output open for writing at `path` must pass before any of
// it is emptied or replaced: not the console, not the input, not where
// standard output goes, and (a regular file) held by nobody else, which
// then holds it against them. Raises EFCreateError; returns what it is.
FileIdentity CheckOutput(system::Handle output, const std::string& path, system::Handle input) {
  const std::optional<FileIdentity> identity = system::Identify(output);
  if (!identity) throw EFCreateError(Operation("identify", path), system::LastFailure());
  // The samples would land on the screen, whatever name reached it.
  if (identity->kind == FileKind::kConsole) {
    throw EFCreateError(Operation("create", path), system::Failure(FileFault::kIsConsole, "the console"));
  }
  // The open already keeps the input out where sharing rules exist; the
  // identities are compared as well, so that no file system's view of
  // locks or sharing decides alone whether the input is emptied.
  const std::optional<FileIdentity> input_identity = system::Identify(input);
  if (!input_identity) throw EFCreateError(Operation("identify", "input"), system::LastFailure());
  if (SameFile(*identity, *input_identity)) {
    throw EFCreateError(Operation("create", path),
                        system::Failure(FileFault::kSameAsInput, "same file as the input"));
  }
  // /dev/stdout while standard output is redirected, for instance.
  if (IsStandardOutput(*identity)) {
    throw EFCreateError(Operation("create", path), system::Failure(FileFault::kSameAsStandardOutput,
                                                                   "same file as the standard output"));
  }
  // Devices and pipes (/dev/null, NUL, a FIFO with a reader) are written as
  // they are: they keep nothing that a lock would protect, so two runs may
  // write to /dev/null at once, and a lock someone holds on one must not
  // stop a run.
  if (identity->kind == FileKind::kFile && !system::Lock(output, system::LockMode::kExclusive)) {
    throw EFCreateError(Operation("lock", path), system::LastFailure());
  }
  return *identity;
}

// The checks of an input that is open: not where standard output goes, and
// a regular file held against writers. Raises EFOpenError; returns what it is.
FileIdentity CheckInput(system::Handle input, const std::string& path) {
  const std::optional<FileIdentity> identity = system::Identify(input);
  if (!identity) throw EFOpenError(Operation("identify", path), system::LastFailure());
  // Appending standard output to the input (>> in.bgm) would make the
  // console's lines part of the samples, and the input grow as it is read.
  if (IsStandardOutput(*identity)) {
    throw EFOpenError(Operation("open", path), system::Failure(FileFault::kSameAsStandardOutput,
                                                               "same file as the standard output"));
  }
  if (identity->kind == FileKind::kFile && !system::Lock(input, system::LockMode::kShared)) {
    throw EFOpenError(Operation("lock", path), system::LastFailure());
  }
  return *identity;
}

}  // namespace

File OpenInput(const std::string& path) {
  File file(system::OpenForReading(path));
  if (!file.IsOpen()) throw EFOpenError(Operation("open", path), system::LastFailure());
  // A device name (NUL, CON, COM1) or a FIFO opens too; only a file is input.
  if (CheckInput(file.handle_, path).kind != FileKind::kFile) {
    throw EFOpenError(Operation("open", path), system::Failure(FileFault::kOther, "not a regular file"));
  }
  return file;
}

File OpenStandardInput() {
  File file(system::DuplicateStandardInput());
  if (!file.IsOpen()) throw EFOpenError("dup(standard input)", system::LastFailure());
  (void)CheckInput(file.handle_, "standard input");
  return file;
}

File CreateOutput(const std::string& path, const File& input) {
  // Opened without emptying it: the file is emptied only once it is known
  // not to be the input and nobody else holds it.
  File file(system::OpenForWriting(path));
  if (!file.IsOpen()) throw EFCreateError(Operation("create", path), system::LastFailure());
  const FileIdentity identity = CheckOutput(file.handle_, path, input.handle_);
  // A new, empty file is not emptied: on ext4 a truncation to zero makes
  // the close wait for the data to be allocated on disk, which doubles the
  // time of a whole conversion.
  if (identity.kind == FileKind::kFile && identity.size != 0 && !system::Empty(file.handle_)) {
    throw EFCreateError(Operation("empty", path), system::LastFailure());
  }
  return file;
}

// --- Replacement --------------------------------------------------------

namespace {

// A number that differs from run to run and from one moment to the next,
// for the names of temporary files (a name that is taken is tried again
// with the next one).
std::uint32_t UniqueSeed() {
  const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::uint64_t mixed = ticks ^ static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&ticks));
  mixed ^= mixed >> 33;
  mixed *= 0xFF51AFD7ED558CCDu;
  mixed ^= mixed >> 33;
  return static_cast<std::uint32_t>(mixed);
}

// Set once at the start, before any thread, and only read after that.
std::string& TemporaryTag() {
  static std::string tag = "plivex-pack";
  return tag;
}

}  // namespace

void SetTemporaryTag(std::string_view tag) { TemporaryTag() = tag; }

std::string Replacement::TemporaryName(const std::string& final_path, std::uint32_t unique) {
  const std::size_t separator = final_path.find_last_of(system::kPathSeparators);
  const std::size_t base = separator == std::string::npos ? 0 : separator + 1;
  // A name has at most 255 bytes (UTF-16 units on Windows); the rest of
  // them is room for the suffix, a tag of up to 31 bytes included.
  constexpr std::size_t kMaxKept = 200;
  std::size_t end = final_path.size();
  if (end - base > kMaxKept) {
    end = base + kMaxKept;
    while (end > base && (static_cast<unsigned char>(final_path[end]) & 0xC0) == 0x80) --end;
  }
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(unique));
  return final_path.substr(0, end) + "." + TemporaryTag() + std::string(system::kUnfinished) + digits;
}

Replacement::Replacement(Replacement&& other) noexcept
    : file_(std::move(other.file_)),
      original_(std::move(other.original_)),
      folder_(std::move(other.folder_)),
      temporary_(std::exchange(other.temporary_, {})),
      final_(std::move(other.final_)),
      guard_(std::exchange(other.guard_, -1)),
      replaces_(other.replaces_),
      not_kept_(std::move(other.not_kept_)) {}

Replacement& Replacement::operator=(Replacement&& other) noexcept {
  if (this != &other) {
    Abandon();
    file_ = std::move(other.file_);
    original_ = std::move(other.original_);
    folder_ = std::move(other.folder_);
    temporary_ = std::exchange(other.temporary_, {});
    final_ = std::move(other.final_);
    guard_ = std::exchange(other.guard_, -1);
    replaces_ = other.replaces_;
    not_kept_ = std::move(other.not_kept_);
  }
  return *this;
}

Replacement::~Replacement() { Abandon(); }

Replacement BeginReplacement(const std::string& path, const File& input) {
  Replacement replacement;
  File existing(system::OpenExistingForWriting(path));
  if (existing.IsOpen()) {
    // Checked like any output, though it will only be renamed over: a file
    // that could not be written today (read-only, held, the input) is
    // refused all the same.
    if (CheckOutput(existing.handle_, path, input.handle_).kind != FileKind::kFile) {
      replacement.file_ = std::move(existing);  // a device or a pipe: written directly
      return replacement;
    }
    replacement.original_ = std::move(existing);
    replacement.replaces_ = true;
  } else if (const SystemFailure failure = system::LastFailure(); failure.fault != FileFault::kNotFound) {
    throw EFCreateError(Operation("open", path), failure);
  }

  replacement.final_ = system::FinalName(path);
  const std::optional<system::Handle> folder = system::OpenFolder(replacement.final_);
  if (!folder) throw EFCreateError(Operation("open folder", replacement.final_), system::LastFailure());
  replacement.folder_ = File(*folder);
  // The name is guarded before the file exists, so that no interruption
  // can leave it behind, and let go again when it turns out to be taken.
  constexpr int kAttempts = 100;
  const std::uint32_t seed = UniqueSeed();
  for (int attempt = 0;; ++attempt) {
    std::string name = Replacement::TemporaryName(replacement.final_,
                                                  seed + static_cast<std::uint32_t>(attempt) * 0x9E3779B9u);
    // Held by the replacement at once, so that whatever is raised lets go of it.
    replacement.guard_ = system::GuardTemporary(replacement.folder_.handle_, name);
    if (replacement.guard_ < 0) throw EFCreateError(Operation("create", name), system::LastFailure());
    replacement.file_ = File(system::CreateNew(replacement.folder_.handle_, name, replacement.replaces_));
    system::GuardCreated(replacement.guard_);  // makes no call that would change the last failure
    if (replacement.file_.IsOpen()) {
      replacement.temporary_ = std::move(name);
      return replacement;
    }
    const SystemFailure failure = system::LastFailure();
    system::ReleaseGuard(std::exchange(replacement.guard_, -1));
    if (failure.fault != FileFault::kAlreadyExists || attempt + 1 == kAttempts) {
      throw EFCreateError(Operation("create", name), failure);
    }
  }
}

void Replacement::Commit() {
  if (temporary_.empty()) {  // a device or a pipe, written directly
    file_.CloseWritten();
    return;
  }
  try {
    // Once every byte is written: a write by a process without the right
    // to keep them clears the set-user-ID bit, and the capabilities an
    // attribute gives.
    if (replaces_) {
      if (!system::CopyPermissions(original_.handle_, file_.handle_)) {
        throw EFCreateError(Operation("chmod", final_), system::LastFailure());
      }
      if (!system::CopyAttributes(original_.handle_, file_.handle_, not_kept_)) {
        const AttributeNotKept& refused = not_kept_.back();
        throw EFCreateError(
            Operation("copy the ACL", final_),
            system::Failure(FileFault::kAclNotKept, refused.name + ": " + refused.failure.text));
      }
    }
    // The data reaches the disk before the rename, so that a power cut
    // right after it cannot leave an empty file in the original's place on
    // a file system that does not order the two. A new file has no
    // original to lose.
    if (replaces_ && !system::Flush(file_.handle_)) throw EWriteError("flush", system::LastFailure());
    file_.CloseWritten();
    // Windows renames nothing over a file that is open without sharing.
    (void)original_.Close();
    if (!system::Rename(folder_.handle_, temporary_, final_, replaces_)) {
      throw EReplaceError(Operation("rename", final_), system::LastFailure());
    }
  } catch (...) {
    not_kept_.clear();
    Abandon();
    throw;
  }
  // After the rename: an interruption in between removes a name that is
  // gone already.
  system::ReleaseGuard(std::exchange(guard_, -1));
  temporary_.clear();
  (void)folder_.Close();  // only looked in
}

void Replacement::Abandon() noexcept {
  (void)file_.Close();
  if (!temporary_.empty()) {
    (void)system::Remove(folder_.handle_, temporary_);
    temporary_.clear();
  }
  system::ReleaseGuard(std::exchange(guard_, -1));
  (void)folder_.Close();
  (void)original_.Close();
}

namespace system {

std::size_t WriteAll(Handle handle, std::span<const std::uint8_t> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const std::int64_t put = WriteSome(handle, data.subspan(done));
    // A write that makes no progress would loop forever.
    if (put <= 0) break;
    done += static_cast<std::size_t>(put);
  }
  return done;
}

}  // namespace system

}  // namespace plivex::platform
