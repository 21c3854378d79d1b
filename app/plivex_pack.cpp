#include "app/plivex_pack.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "app/dialogue.h"
#include "app/integer_text.h"
#include "app/pack_texts.h"
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

// What --version prints: the program and the whole version of the release.
constexpr std::string_view kVersionLine = "Plivex-Pack " PLIVEX_VERSION;

constexpr ProgramTexts kTexts = {
    .banner = kBanner,
    .print_usage = PrintUsage,
    .no_output = "Output Bgm File Not Specified !",
    .standard_input = "-",
    // Its failures name the file and the reason instead (FailureLine).
    .cannot_read = {},
    .cannot_write = {},
};

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
    // A hexadecimal number keeps its 32 bits, read as signed: from
    // $80000000 on it is negative, and as large as a decimal 2147483648.
    const bool hexadecimal = text[text.find_first_not_of(' ')] == '$';
    if (number < 0 && hexadecimal) Refuse("BgmFile Too Large !");
    if (number <= 0) Refuse("Invalid Size !");
    size = static_cast<platform::ByteCount>(number);
  } else {
    const platform::PathInfo file = platform::LookUp(text);
    if (file.kind == platform::PathKind::kMissing) {
      if (file.failure.fault == FileFault::kNotFound) Refuse("Size File Not Found \"" + text + "\" !");
      // There may be a file of that name, behind a folder the user may not
      // enter or a name the system does not take: not a missing file.
      Refuse("Cannot Read Size File \"" + text + "\": " + Why(file.failure, false) + " !");
    }
    if (file.kind == platform::PathKind::kOther) Refuse("Size File Is Not A Regular File \"" + text + "\" !");
    if (file.size == 0) Refuse("Invalid Size !");
    size = file.size;
  }
  CheckBgmSize(size);
  return size;
}

// How the music fitted the Size that cut it short of the end of its data:
// the words of the fit line. The samples of a file all count; its header
// gave their length, which the file was found to have. A stream's past the
// cut are read on, unpacked, up to the length its header gives, so that
// the cut can be counted, and so that the program writing into the pipe
// (ffmpeg, sox) finishes instead of failing on a pipe that was closed under
// it; a stream that ends first is a read failure, as a file cut short is.
// An open stream, which may never end (a loop, a generator), is read no
// further than a frame, to tell whether anything was cut off at all.
FitWords CutFit(platform::File& input, const WavLayout& layout, const PackResult& packed,
                platform::ByteCount bgm_size, bool from_pipe, const BlockBuffers& buffers) {
  platform::ByteCount frames = FrameCount(layout);
  const std::span<std::uint8_t> buffer = buffers.Source();
  if (layout.length_is_open) {
    frames = packed.frames;
    if (input.Read(buffer.first(FrameSize(layout))) == FrameSize(layout)) {
      return {std::string(kRestOfStreamCutOff), {}};
    }
  } else if (from_pipe) {
    // Whole frames were taken, whole blocks of them for 16-bit stereo.
    for (platform::ByteCount left = layout.data_length - packed.frames * FrameSize(layout); left != 0;) {
      const auto want = static_cast<std::size_t>(std::min<platform::ByteCount>(buffer.size(), left));
      input.ReadExactly(buffer.first(want));
      left -= want;
    }
  }
  return DescribeFit(frames, layout.sample_rate, bgm_size);
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
  // What a newcomer tries first. Each is a success: the usage asked for is
  // no refused run, and needs no Enter.
  const std::string first = Argument(arguments, 0);
  if (first == "--version" || first == "-V") {
    platform::PrepareProcess();
    WriteLine(kVersionLine);
    return true;
  }
  StartRun(kTexts);
  if (first == "--help" || first == "-h") {
    PrintUsage();
    return true;
  }
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
    // An open stream's length is known only at its end: without a Size,
    // the packing itself finds that it has no samples, or stops at the
    // limit. Without a Size, no samples would make an empty Bgm file, which
    // no game takes: that is no music to put back.
    if (!bgm_size && !layout.length_is_open) {
      if (PackedSize(layout) == 0) Refuse("WavFile Has No Samples !");
      CheckBgmSize(PackedSize(layout));
    }
    const platform::ByteCount most = bgm_size                ? *bgm_size
                                     : layout.length_is_open ? kMaxBgmSize + 1
                                                             : PackedSize(layout);
    const BlockBuffers buffers(most);
    // Written under a temporary name and renamed over the output only once
    // complete: the original it replaces survives any failure.
    output = platform::BeginReplacement(names.output, input);

    WriteLine("Please Wait ...");
    WriteLine("");
    const PackResult packed = PackBlocks(input, output.Output(), layout, bgm_size, kMaxBgmSize + 1, buffers);
    if (packed.limit_reached) Refuse("BgmFile Too Large !");
    if (packed.bgm_size == 0) Refuse("WavFile Has No Samples !");  // an open stream's, without a Size
    FitWords fit;
    if (bgm_size) {
      fit = packed.samples_ended ? DescribeFit(packed.frames, layout.sample_rate, *bgm_size)
                                 : CutFit(input, layout, packed, *bgm_size, from_pipe, buffers);
    }

    // Read no further: a writer that goes on learns from the closed pipe
    // that the rest is not wanted. Nothing was written to the input.
    (void)input.Close();
    output.Commit();
    if (NeedsConversion(layout)) WriteLine("WavFile Is " + Kind(layout) + ": Converted To 16Bit Stereo");
    if (packed.clipped != 0) {
      WriteLine("WavFile Louder Than Full Scale: " + Count(packed.clipped, "Sample", "Samples") +
                " Clipped !");
    }
    // The Bgm file keeps no sample rate: the game plays it at its own, so
    // the user needs to know the one the samples were made for.
    WriteLine("WavFile Sample Rate Is " + std::to_string(layout.sample_rate) + " Hz (Not Stored In BgmFile)");
    if (const std::string line = FitLine(fit); !line.empty()) WriteLine(line);
    // The new file has the original's place, rights and ACL; an attribute
    // the file system would not take is said, as its loss needs the eye.
    for (const platform::AttributeNotKept& attribute : output.AttributesNotKept()) {
      WriteLine("BgmFile " + NotKept(attribute) + " !");
    }
    WriteLine("Operation Successfully Completed.");
    return true;
  } catch (...) {
    output.Abandon();
    FailureEnding(FailureLine(names), input, output.Output(), Wait::kAtTerminal);
  }
  return false;
}

}  // namespace plivex
