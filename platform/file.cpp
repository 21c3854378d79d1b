#include "platform/file.h"

#include <optional>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/system.h"

namespace plivex::platform {

using system::FileIdentity;
using system::FileKind;

bool IsExistingFile(const std::string& path) { return ExistingFileSize(path).has_value(); }

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

std::size_t File::Read(std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::int64_t got = system::ReadSome(handle_, buffer.subspan(done));
    if (got < 0) throw EReadError("read: " + system::LastError());
    if (got == 0) break;  // end of file
    done += static_cast<std::size_t>(got);
  }
  return done;
}

void File::ReadExactly(std::span<std::uint8_t> buffer) {
  if (Read(buffer) != buffer.size()) throw EReadError("read: the file ended early");
}

void File::Write(std::span<const std::uint8_t> data) {
  if (system::WriteAll(handle_, data) != data.size()) {
    throw EWriteError("write: " + system::LastError());
  }
}

ByteCount File::Size() const {
  const std::optional<FileIdentity> identity = system::Identify(handle_);
  if (!identity) throw EReadError("size: " + system::LastError());
  return identity->size;
}

void File::Seek(ByteCount position) {
  if (!system::Seek(handle_, position)) throw EReadError("seek: " + system::LastError());
}

namespace {

std::string Reason(const char* operation, const std::string& path) {
  return std::string(operation) + "(" + path + "): " + system::LastError();
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

}  // namespace

File OpenInput(const std::string& path) {
  File file(system::OpenForReading(path));
  if (!file.IsOpen()) throw EFOpenError(Reason("open", path));
  const std::optional<FileIdentity> identity = system::Identify(file.handle_);
  if (!identity) throw EFOpenError(Reason("identify", path));
  // A device name (NUL, CON, COM1) or a FIFO opens too; only a file is input.
  if (identity->kind != FileKind::kFile) throw EFOpenError("open(" + path + "): not a regular file");
  // Appending standard output to the input (>> in.bgm) would make the
  // console's lines part of the samples, and the input grow as it is read.
  if (IsStandardOutput(*identity)) throw EFOpenError("open(" + path + "): same file as the standard output");
  if (!system::Lock(file.handle_, system::LockMode::kShared)) throw EFOpenError(Reason("lock", path));
  return file;
}

File CreateOutput(const std::string& path, const File& input) {
  // Opened without emptying it: the file is emptied only once it is known
  // not to be the input and nobody else holds it.
  File file(system::OpenForWriting(path));
  if (!file.IsOpen()) throw EFCreateError(Reason("create", path));
  const std::optional<FileIdentity> identity = system::Identify(file.handle_);
  if (!identity) throw EFCreateError(Reason("identify", path));
  // The samples would land on the screen, whatever name reached it.
  if (identity->kind == FileKind::kConsole) throw EFCreateError("create(" + path + "): the console");
  // The open already keeps the input out where sharing rules exist; the
  // identities are compared as well, so that no file system's view of
  // locks or sharing decides alone whether the input is emptied.
  const std::optional<FileIdentity> input_identity = system::Identify(input.handle_);
  if (!input_identity) throw EFCreateError(Reason("identify", "input"));
  if (SameFile(*identity, *input_identity))
    throw EFCreateError("create(" + path + "): same file as the input");
  // /dev/stdout while standard output is redirected, for instance.
  if (IsStandardOutput(*identity)) {
    throw EFCreateError("create(" + path + "): same file as the standard output");
  }
  // Devices and pipes (/dev/null, NUL, a FIFO with a reader) are written as
  // they are: they keep nothing that a lock would protect, so two runs may
  // write to /dev/null at once, and a lock someone holds on one must not
  // stop a run.
  if (identity->kind != FileKind::kFile) return file;
  if (!system::Lock(file.handle_, system::LockMode::kExclusive)) throw EFCreateError(Reason("lock", path));
  // A new, empty file is not emptied: on ext4 a truncation to zero makes
  // the close wait for the data to be allocated on disk, which doubles the
  // time of a whole conversion.
  if (identity->size != 0 && !system::Empty(file.handle_)) throw EFCreateError(Reason("empty", path));
  return file;
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
