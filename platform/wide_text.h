#pragma once

// Names and text for the Windows services, which take them in UTF-16, while
// the program holds every argument and name as UTF-8. Plain C++ without
// system calls, so that it is tested on every platform; the Windows backend
// uses it for every name it passes to the system and every console line.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace plivex::platform {

// Converts UTF-16 code units to WTF-8: UTF-8, except that a surrogate that
// is not half of a pair (NTFS allows these in names) is written as the
// three-byte form of its own value. Every sequence of code units converts,
// and Utf8ToWide gives back the very same units.
std::string WideToUtf8(std::u16string_view wide);

// Converts WTF-8 back to UTF-16. Returns nothing when `text` is not WTF-8:
// a stray or missing continuation byte, an overlong form, a value past
// U+10FFFF, or a surrogate pair written as two three-byte forms (which
// WideToUtf8 never writes). Such text names no file; guessing another name
// for it could open the wrong one.
std::optional<std::u16string> Utf8ToWide(std::string_view text);

// The same for text that is only shown: each byte that does not fit the
// form shows as U+FFFD, and the rest converts as Utf8ToWide does.
std::u16string Utf8ToWideForDisplay(std::string_view text);

// The whole-path length, in UTF-16 code units, from which a path goes to
// the file services in its long form. Every service takes shorter paths as
// they are; 248 is the smallest limit among them (CreateDirectoryW's), so
// one rule suits them all.
inline constexpr std::size_t kLongPathThreshold = 248;

// The name to give the wide file services for `path`. `full_path` is what
// GetFullPathNameW makes of `path` (empty when it failed). A path whose full
// form is shorter than kLongPathThreshold, or whose full form is unknown,
// is returned as it is, so that it keeps the meaning Windows gives it
// (forward slashes, "." and "..", trailing dots and blanks, device names).
// A longer one becomes its full form with the \\?\ prefix (\\?\UNC\ for a
// \\server\share path), which the services take up to 32767 units long.
// The full form is already normalised the way the services would normalise
// the path, so the long form names the same file. A path that already
// starts with \\?\ is passed as it is.
std::u16string LongPathForm(std::u16string_view path, std::u16string_view full_path);

// The name that the Windows backend gives the file services for `path`
// (UTF-8, as the program holds it): LongPathForm of it and of what
// GetFullPathNameW makes of it. Nothing when `path` is not the UTF-8 form of
// any name. Defined on Windows only (file_win32.cpp).
std::optional<std::u16string> SystemName(const std::string& path);

// SystemName as the wide services take it, or nothing, with the last error
// set as the services set it for a name they cannot take (an invalid name),
// when `path` is no UTF-8. Defined on Windows only (file_win32.cpp), for
// every backend file that names files.
std::optional<std::wstring> WideName(const std::string& path);

// The same code units as the other 16-bit character type, to meet the
// Windows headers, whose wchar_t is 16 bits wide.
std::wstring ToWchar(std::u16string_view text);
std::u16string FromWchar(std::wstring_view text);

}  // namespace plivex::platform
