#include "platform/wide_text.h"

#include <cstdint>

namespace plivex::platform {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsLeadSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

bool IsTrailSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendUtf8(std::string& out, std::uint32_t code_point) {
  const auto byte = [&out](std::uint32_t value) {
    out += static_cast<char>(static_cast<std::uint8_t>(value));
  };
  if (code_point < 0x80) {
    byte(code_point);
  } else if (code_point < 0x800) {
    byte(0xC0 | (code_point >> 6));
    byte(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    byte(0xE0 | (code_point >> 12));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  } else {
    byte(0xF0 | (code_point >> 18));
    byte(0x80 | ((code_point >> 12) & 0x3F));
    byte(0x80 | ((code_point >> 6) & 0x3F));
    byte(0x80 | (code_point & 0x3F));
  }
}

void AppendUtf16(std::u16string& out, std::uint32_t code_point) {
  if (code_point < 0x10000) {
    out += static_cast<char16_t>(code_point);
  } else {
    const std::uint32_t offset = code_point - 0x10000;
    out += static_cast<char16_t>(0xD800 + (offset >> 10));
    out += static_cast<char16_t>(0xDC00 + (offset & 0x3FF));
  }
}

// One code point of generalised UTF-8 (surrogate values allowed) starting at
// `pos`: its value and its length in bytes, or a length of 0 when the bytes
// there are not a whole, shortest form.
struct Decoded {
  std::uint32_t code_point = 0;
  std::size_t length = 0;
};

Decoded DecodeOne(std::string_view text, std::size_t pos) {
  const auto at = [&text](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t first = at(pos);
  if (first < 0x80) return {first, 1};

  std::size_t length = 0;
  std::uint32_t value = 0;
  // The allowed range of the second byte rules out overlong forms and
  // values past U+10FFFF; every other continuation byte is 80 to BF.
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    value = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    value = first & 0x0F;
    if (first == 0xE0) low = 0xA0;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    value = first & 0x07;
    if (first == 0xF0) low = 0x90;
    if (first == 0xF4) high = 0x8F;
  } else {
    return {};
  }
  if (text.size() - pos < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    const std::uint8_t next = at(pos + i);
    if (next < low || next > high) return {};
    low = 0x80;
    high = 0xBF;
    value = (value << 6) | (next & 0x3F);
  }
  return {value, length};
}

}  // namespace

std::string WideToUtf8(std::u16string_view wide) {
  std::string out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    const std::uint32_t unit = wide[i];
    if (IsLeadSurrogate(unit) && i + 1 < wide.size() && IsTrailSurrogate(wide[i + 1])) {
      AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
      ++i;
    } else {
      // Any other unit, an unpaired surrogate too, stands for its own value.
      AppendUtf8(out, unit);
    }
  }
  return out;
}

std::optional<std::u16string> Utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  bool after_lead_surrogate = false;
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded one = DecodeOne(text, pos);
    if (one.length == 0) return std::nullopt;
    // A lead surrogate followed by a trail surrogate is a pair, which WTF-8
    // writes as one four-byte form; joined here it would make two spellings
    // of one name.
    if (after_lead_surrogate && IsTrailSurrogate(one.code_point)) return std::nullopt;
    after_lead_surrogate = IsLeadSurrogate(one.code_point);
    AppendUtf16(out, one.code_point);
    pos += one.length;
  }
  return out;
}

std::u16string Utf8ToWideForDisplay(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Decoded one = DecodeOne(text, pos);
    if (one.length == 0) {
      out += kReplacement;
      ++pos;
    } else {
      AppendUtf16(out, one.code_point);
      pos += one.length;
    }
  }
  return out;
}

std::u16string LongPathForm(std::u16string_view path, std::u16string_view full_path) {
  constexpr std::u16string_view kVerbatim = u"\\\\?\\";
  constexpr std::u16string_view kDevice = u"\\\\.\\";
  constexpr std::u16string_view kUnc = u"\\\\";
  if (path.starts_with(kVerbatim)) return std::u16string(path);
  if (full_path.size() < kLongPathThreshold) return std::u16string(path);
  if (full_path.starts_with(kVerbatim)) return std::u16string(full_path);
  // \\.\C:\... and \\?\C:\... name the same file once the path is
  // normalised, which the full form is.
  if (full_path.starts_with(kDevice)) return std::u16string(kVerbatim) + std::u16string(full_path.substr(4));
  if (full_path.starts_with(kUnc)) return u"\\\\?\\UNC\\" + std::u16string(full_path.substr(2));
  return std::u16string(kVerbatim) + std::u16string(full_path);
}

std::wstring ToWchar(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::u16string FromWchar(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const wchar_t unit : text) out += static_cast<char16_t>(unit);
  return out;
}

}  // namespace plivex::platform
