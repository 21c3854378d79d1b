// TEMPORARY: stands in for work on other branches until they are merged.
#include "app/batch_stubs_tmp.h"
#include "convert/classify.h"
namespace plivex {
std::string VerdictWord(const Verdict& v) { return v.kind == VerdictKind::kBgm ? "bgm" : v.kind == VerdictKind::kSilence ? "silence" : "other"; }
Verdict Classify(std::uint64_t size, const ClassifyReadAt& read_at) {
  std::uint8_t b[4096];
  std::size_t n = size ? read_at(0, std::span(b).first(std::min<std::uint64_t>(size, sizeof b))) : 0;
  // random-looking data: count distinct high bytes of even samples
  int jumps = 0;
  for (std::size_t i = 2; i + 1 < n && i < 512; i += 2) { int a = static_cast<std::int16_t>(b[i] | b[i+1] << 8), c = static_cast<std::int16_t>(b[i-2] | b[i-1] << 8); if (std::abs(a - c) > 8000) ++jumps; }
  return {jumps > 20 ? VerdictKind::kOther : VerdictKind::kBgm};
}
namespace platform {
void SetTemporaryTag(std::string_view) {}
void DeferInterruptions() {}
bool InterruptionRequested() { return false; }
}
}
