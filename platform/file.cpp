#include "platform/file.h"

#include <utility>

#include "platform/errors.h"
#include "platform/system.h"

namespace plivex::platform {

bool IsExistingFile(const std::string& path) { return ExistingFileSize(path).has_value(); }

// Ownership moves with the handle; what each backend does lives in Close().

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kNoHandle)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    (void)Close();
    handle_ = std::exchange(other.handle_, kNoHandle);
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

void File::Seek(ByteCount position) {
  if (!system::Seek(handle_, position)) throw EReadError("seek: " + system::LastError());
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
