#include "platform/file.h"

#include <utility>

namespace plivex::platform {

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

}  // namespace plivex::platform
