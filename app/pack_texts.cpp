#include "app/pack_texts.h"

#include <cstdio>

#include "convert/bgm_blocks.h"

namespace plivex {

std::string Count(std::uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

std::string Seconds(platform::ByteCount frames, std::uint32_t rate) {
  platform::ByteCount whole = frames / rate;
  platform::ByteCount milliseconds = ((frames % rate) * 1000 + rate / 2) / rate;
  if (milliseconds == 1000) {
    ++whole;
    milliseconds = 0;
  }
  if (frames != 0 && whole == 0 && milliseconds == 0) milliseconds = 1;
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%03u", static_cast<unsigned>(milliseconds));
  return std::to_string(whole) + "." + fraction + " Seconds";
}

std::string RefusalMessage(const WavRefusal& refusal) {
  switch (refusal.problem) {
    case WavProblem::kNotRiffWave:
      return "WavFile Is Not A RIFF/WAVE File !";
    case WavProblem::kCutShort:
      return "WavFile Header Is Cut Short !";
    case WavProblem::kNoFormatChunk:
      return "WavFile Has No Format Chunk !";
    case WavProblem::kNoDataChunk:
      return "WavFile Has No Data Chunk !";
    case WavProblem::kFloatingPoint:
      return "WavFile Is Not 32 Or 64Bit Floating Point (" + std::to_string(refusal.found) + "Bit) !";
    case WavProblem::kNotPcm: {
      char tag[16];
      std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(refusal.found));
      return "WavFile Is Not PCM (Format " + std::string(tag) + ") !";
    }
    case WavProblem::kNotStereo:
      return "WavFile Is Not Stereo (" + Count(refusal.found, "Channel", "Channels") + ") !";
    case WavProblem::kUnsupportedSampleSize:
      return "WavFile Is Not 8, 16, 24 Or 32Bit (" + std::to_string(refusal.found) + "Bit) !";
    case WavProblem::kBadBlockAlign:
      return "WavFile Block Align Is Not " + std::to_string(refusal.expected) + " (" +
             std::to_string(refusal.found) + ") !";
    case WavProblem::kNoSampleRate:
      return "WavFile Has No Sample Rate !";
  }
  // Never reached: the switch covers every WavProblem, and the reader makes
  // no other. It is here because an enum can hold a value outside its list,
  // and compilers warn about a function that can end without a return.
  return "WavFile Is Not PCM Or Float !";
}

std::string Kind(const WavLayout& layout) {
  const bool is_float =
      layout.encoding == SampleEncoding::kFloat32 || layout.encoding == SampleEncoding::kFloat64;
  return std::to_string(layout.bits) + "Bit" + (is_float ? " Float" : "") +
         (layout.channels == 1 ? " Mono" : " Stereo");
}

std::string Why(const SystemFailure& failure, bool creating) {
  switch (failure.fault) {
    case FileFault::kOther:
      break;
    case FileFault::kNotFound:
      return creating ? "Folder Not Found" : "File Not Found";
    case FileFault::kAccessDenied:
      return "Permission Denied";
    case FileFault::kDiskFull:
      return "Disk Full";
    case FileFault::kFileTooLarge:
      return "File Too Large";
    case FileFault::kReadOnly:
      return "Read-Only Disk";
    case FileFault::kHeld:
      return "Held By Another Program";
    case FileFault::kSameAsInput:
      return "Same File As WavFile";
    case FileFault::kSameAsStandardOutput:
      return "Same File As Standard Output";
    case FileFault::kIsFolder:
      return "Is A Folder";
    case FileFault::kNotAFolder:
      return "Not A Folder";
    case FileFault::kIsConsole:
      return "Is The Console";
    case FileFault::kNoReader:
      return "Pipe Has No Reader";
    case FileFault::kReaderGone:
      return "Pipe Closed By Its Reader";
    case FileFault::kEndedEarly:
      return "File Ended Early";
    case FileFault::kNameTooLong:
      return "Name Too Long";
    case FileFault::kAlreadyExists:
      return "Created By Another Program Meanwhile";
    case FileFault::kAclNotKept:
      return "ACL Cannot Be Copied";
    case FileFault::kInterrupted:
      return "Interrupted";
  }
  // Any other reason in the system's own words.
  return failure.text.empty() ? std::string("Unknown Error") : failure.text;
}

std::string NotKept(const platform::AttributeNotKept& attribute) {
  return "Attribute \"" + attribute.name + "\" Not Kept: " + Why(attribute.failure, true);
}

FitWords DescribeFit(platform::ByteCount frames, std::uint32_t rate, platform::ByteCount bgm_size) {
  const FrameFit fit = FitFrames(frames, bgm_size);
  const auto amount = [&](platform::ByteCount count) {
    return Count(count, "Frame", "Frames") + " (" + Seconds(count, rate) + ")";
  };
  FitWords words;
  if (fit.dropped != 0) words.cut_off = "Last " + amount(fit.dropped) + " Cut Off";
  if (fit.added != 0) words.silence_added = amount(fit.added) + " Of Silence Added";
  return words;
}

std::string FitLine(const FitWords& fit) {
  if (!fit.cut_off.empty()) return "WavFile Longer Than Size: " + fit.cut_off + " !";
  if (!fit.silence_added.empty()) return "WavFile Shorter Than Size: " + fit.silence_added;
  return "";
}

}  // namespace plivex
