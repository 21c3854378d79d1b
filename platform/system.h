#pragma once

// What each backend provides to the platform layer's shared code: one
// system call's worth of reading or writing, and the standard handles. The
// loops that move a whole buffer, build console lines and wait for Enter are
// written once on top of these (file.cpp, console.cpp). Internal to
// platform/: nothing outside it includes this header.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/file.h"

namespace plivex::platform::system {

// An open file or standard stream as the backend knows it: a descriptor on
// POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;

// One read or write, retried when a signal interrupts it. Returns the count
// of bytes moved (0 from ReadSome at the end of the input), or -1 when the
// system reports a failure; LastError() then says which.
std::int64_t ReadSome(Handle handle, std::span<std::uint8_t> buffer);
std::int64_t WriteSome(Handle handle, std::span<const std::uint8_t> data);

// Writes all of `data` through WriteSome, a call at a time; written once,
// for files and the console alike (file.cpp). Returns the count written,
// which is less than the size of `data` only after a failure.
std::size_t WriteAll(Handle handle, std::span<const std::uint8_t> data);

// The bytes of a text, for WriteAll.
inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The system's reason for the last failure, for the texts of the failure
// kinds (which help debugging; the console never shows them).
std::string LastError();

// Standard input, or kNoHandle when the process has none.
Handle StandardInput();

// Writes one whole console line (already ending in CR LF) to standard
// output, the way the backend shows text. Failures are ignored: the console
// is only ever informative.
void WriteConsoleLine(std::string_view line);

// Moves the position of `handle` to `position` bytes from the start.
// Returns false when the system refuses; LastError() then says why.
bool Seek(Handle handle, ByteCount position);

}  // namespace plivex::platform::system
