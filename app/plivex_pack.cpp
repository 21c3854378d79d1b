#include "app/plivex_pack.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "app/dialogue.h"
#include "app/integer_text.h"
#include "app/version.h"
#include "convert/bgm_blocks.h"
#include "convert/wav_reader.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace plivex {

namespace {

constexpr std::string_view kBanner = "Plivex-Pack V" PLIVEX_BANNER_VERSION " By Vorn Tessil / Q.L.K";

using platform::WriteLine;

void PrintUsage() {
  WriteLine("Usage: Plivex-Pack WavFile BgmFile [Size] [Sample Rate]");
  WriteLine("");
  WriteLine("       WavFile     = Windows WAV, PCM Or Float, Mono Or Stereo; - For Standard Input");
  WriteLine("       BgmFile     = Output File PS2 Bgm");
  WriteLine("       Size        = BgmFile Size In Bytes, Or A File Of That Size");
  WriteLine("       Sample Rate = The Sample Rate WavFile Must Have");
}

constexpr ProgramTexts kTexts = {
    .banner = kBanner,
    .print_usage = PrintUsage,
    .no_output = "Output Bgm File Not Specified !",
    .standard_input = "-",
    // Its failures name the file and the reason instead (FailureLine).
    .cannot_read = {},
    .cannot_write = {},
};

std::string Count(std::uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// What the user is told about a WAV file that is not taken: what was found.
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

// The largest Bgm file plivex reads back: its input length is a signed
// 32-bit count.
constexpr platform::ByteCount kMaxBgmSize = 0x7FFFFFFF;

[[noreturn]] void Refuse(const std::string& message) {
  WriteLine(message);
  throw EAbort();
}

void CheckBgmSize(platform::ByteCount size) {
  if (size > kMaxBgmSize) Refuse("BgmFile Too Large !");
}

// The size the Bgm file must have, from the third argument: a byte count in
// the syntax of plivex's sample rate, or else the name of an existing file
// (typically the original that the music replaces), whose size is taken.
// Nothing when the argument is not given or empty. Checked before any file
// is opened, so naming the output itself (to replace the original in
// place) takes its size before anything is written.
std::optional<platform::ByteCount> TakeBgmSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  platform::ByteCount size = 0;
  if (HasIntegerForm(text)) {
    // Whatever its value: a number too large to read is still a number,
    // never a file name.
    std::int32_t number = 0;
    try {
      number = ParseInteger(text);
    } catch (const EConvertError&) {
      if (text.find('-') != std::string::npos) Refuse("Invalid Size !");
      Refuse("BgmFile Too Large !");
    }
    if (number <= 0) Refuse("Invalid Size !");
    size = static_cast<platform::ByteCount>(number);
  } else {
    const platform::PathInfo file = platform::LookUp(text);
    if (file.kind == platform::PathKind::kMissing) Refuse("Size File Not Found \"" + text + "\" !");
    if (file.kind == platform::PathKind::kOther) Refuse("Size File Is Not A Regular File \"" + text + "\" !");
    if (file.size == 0) Refuse("Invalid Size !");
    size = file.size;
  }
  CheckBgmSize(size);
  return size;
}

// "12.345 Seconds": `frames` at `rate` frames a second, to the millisecond.
// A few frames read as 0.001, never as nothing.
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

// Tells how the `frames` of the music fitted the size the user asked for.
// A cut is what was asked for, so the run still succeeds, but it ends in
// " !" like every line that needs the user's eye.
void ReportFit(platform::ByteCount frames, std::uint32_t rate, platform::ByteCount bgm_size) {
  const FrameFit fit = FitFrames(frames, bgm_size);
  const auto amount = [&](platform::ByteCount count) {
    return Count(count, "Frame", "Frames") + " (" + Seconds(count, rate) + ")";
  };
  if (fit.dropped != 0) WriteLine("WavFile Longer Than Size: Last " + amount(fit.dropped) + " Cut Off !");
  if (fit.added != 0) WriteLine("WavFile Shorter Than Size: " + amount(fit.added) + " Of Silence Added");
}

// The whole frames of a stream's samples. When the Size cut them, the rest
// of the stream is read to its end (or to the end its header gives) and
// counted, so that the cut can be told, and so that the program writing
// into the pipe (ffmpeg, sox) finishes instead of failing on a pipe that
// was closed under it.
platform::ByteCount StreamFrames(platform::File& input, const WavLayout& layout, const PackResult& packed,
                                 const BlockBuffers& buffers) {
  if (packed.samples_ended) return packed.frames;
  const platform::ByteCount frame_size = FrameSize(layout);
  const platform::ByteCount taken = packed.frames * frame_size;
  platform::ByteCount left = layout.data_length > taken ? layout.data_length - taken : 0;
  platform::ByteCount rest = 0;
  const std::span<std::uint8_t> buffer = buffers.Source();
  while (left != 0) {
    const auto want = static_cast<std::size_t>(std::min<platform::ByteCount>(buffer.size(), left));
    const std::size_t got = input.Read(buffer.first(want));
    rest += got;
    left -= got;
    if (got < want) break;  // the end of the stream
  }
  return packed.frames + rest / frame_size;
}

// What the samples of `layout` are, as the console names them: "24Bit
// Mono", "32Bit Float Stereo".
std::string Kind(const WavLayout& layout) {
  const bool is_float =
      layout.encoding == SampleEncoding::kFloat32 || layout.encoding == SampleEncoding::kFloat64;
  return std::to_string(layout.bits) + "Bit" + (is_float ? " Float" : "") +
         (layout.channels == 1 ? " Mono" : " Stereo");
}

// The words for why a file operation failed. A missing name means a missing
// folder when the file is being created.
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

// The line that says what failed and why, for the failure being handled;
// called only from inside a catch block. Empty for EAbort, whose message is
// out already.
std::string FailureLine(const FileNames& names) {
  const auto line = [](std::string_view what, const std::string& name, const FileError& error,
                        bool creating) {
    return std::string(what) + " \"" + name + "\": " + Why(error.failure, creating) + " !";
  };
  try {
    throw;
  } catch (const EFOpenError& error) {
    return line("Cannot Open WavFile", names.input, error, false);
  } catch (const EReadError& error) {
    return line("Cannot Read WavFile", names.input, error, false);
  } catch (const EFCreateError& error) {
    return line("Cannot Create BgmFile", names.output, error, true);
  } catch (const EWriteError& error) {
    return line("Cannot Write BgmFile", names.output, error, true);
  } catch (const EReplaceError& error) {
    return line("Cannot Replace BgmFile", names.output, error, true);
  } catch (const EConvertError&) {
    return "Invalid Sample Rate !";  // not an integer
  } catch (const std::bad_alloc&) {
    return "Not Enough Memory !";
  } catch (...) {
  }
  return "";
}

}  // namespace

bool RunPacker(const std::vector<std::string>& arguments) {
  StartRun(kTexts);
  FileNames names;
  platform::File input;
  platform::Replacement output;
  try {
    names = CheckFileNames(kTexts, arguments);
    const std::optional<platform::ByteCount> bgm_size = TakeBgmSize(Argument(arguments, 2));
    const std::string rate_text = Argument(arguments, 3);
    const std::int32_t required_rate = rate_text.empty() ? 0 : TakeSampleRate(rate_text);  // 0: any
    const bool from_pipe = names.input == kTexts.standard_input;
    if (from_pipe && platform::StandardInputIsTerminal()) {
      Refuse("Standard Input Is A Terminal, Not A WavFile !");
    }
    input = from_pipe ? platform::OpenStandardInput() : platform::OpenInput(names.input);
    // The whole header is read and checked, and the memory taken, before
    // the output is created: a refused file never touches an existing one.
    const WavHeader header = from_pipe ? ReadWavStream(input) : ReadWavHeader(input);
    if (const auto* refusal = std::get_if<WavRefusal>(&header)) Refuse(RefusalMessage(*refusal));
    const WavLayout layout = std::get<WavLayout>(header);
    // The Bgm file keeps no rate: music at another rate would play too fast
    // or too slow, and too high or too low, with nothing to tell why.
    if (required_rate != 0 && layout.sample_rate != static_cast<std::uint32_t>(required_rate)) {
      Refuse("WavFile Sample Rate Is " + std::to_string(layout.sample_rate) + " Hz, Not " +
             std::to_string(required_rate) + " Hz !");
    }
    // A stream's length is known only at its end: without a Size, the
    // packing itself stops at the limit.
    if (!bgm_size && !layout.length_is_upper_bound) CheckBgmSize(PackedSize(layout));
    const platform::ByteCount most = bgm_size                       ? *bgm_size
                                     : layout.length_is_upper_bound ? kMaxBgmSize + 1
                                                                    : PackedSize(layout);
    const BlockBuffers buffers(most);
    // Written under a temporary name and renamed over the output only once
    // complete: the original it replaces survives any failure.
    output = platform::BeginReplacement(names.output, input);

    WriteLine("Please Wait ...");
    WriteLine("");
    const PackResult packed = PackBlocks(input, output.Output(), layout, bgm_size, kMaxBgmSize + 1, buffers);
    if (packed.limit_reached) Refuse("BgmFile Too Large !");
    const platform::ByteCount frames =
        from_pipe ? StreamFrames(input, layout, packed, buffers) : FrameCount(layout);

    (void)input.Close();  // nothing was written to it
    output.Commit();
    if (NeedsConversion(layout)) WriteLine("WavFile Is " + Kind(layout) + ": Converted To 16Bit Stereo");
    if (packed.clipped != 0) {
      WriteLine("WavFile Louder Than Full Scale: " + Count(packed.clipped, "Sample", "Samples") +
                " Clipped !");
    }
    // The Bgm file keeps no sample rate: the game plays it at its own, so
    // the user needs to know the one the samples were made for.
    WriteLine("WavFile Sample Rate Is " + std::to_string(layout.sample_rate) + " Hz (Not Stored In BgmFile)");
    if (bgm_size) ReportFit(frames, layout.sample_rate, *bgm_size);
    WriteLine("Operation Successfully Completed.");
    return true;
  } catch (...) {
    output.Abandon();
    FailureEnding(FailureLine(names), input, output.Output(), Wait::kAtTerminal);
  }
  return false;
}

}  // namespace plivex
