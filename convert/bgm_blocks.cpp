#include "convert/bgm_blocks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "convert/samples.h"
#include "convert/wav_format.h"
#include "convert/wav_header.h"

namespace plivex {

namespace {

// Blocks moved per read and per write. One read and one write per block
// cost several times a plain file copy; at 1 MiB per call the system calls
// no longer count and the time goes into copying the bytes.
constexpr std::size_t kBlocksPerChunk = 1024;
constexpr std::size_t kChunkSize = kBlocksPerChunk * kBlockSize;

constexpr std::align_val_t kPageAlignment{BlockBuffers::kPageSize};

constexpr platform::ByteCount kMostBytes = std::numeric_limits<platform::ByteCount>::max();

// Whole blocks for `length` bytes; no more than the largest count holds (an
// open stream's length would otherwise wrap round).
platform::ByteCount RoundUpToBlocks(platform::ByteCount length) {
  return (std::min(length, kMostBytes / kBlockSize * kBlockSize) + kBlockSize - 1) &
         ~platform::ByteCount{kBlockSize - 1};
}

// The bytes of `frames` frames of 16-bit stereo, likewise limited.
platform::ByteCount StereoBytes(platform::ByteCount frames) {
  return std::min(frames, kMostBytes / kWavBlockAlign) * kWavBlockAlign;
}

}  // namespace

void BlockBuffers::Release::operator()(std::uint8_t* bytes) const {
  ::operator delete[](bytes, kPageAlignment);
}

BlockBuffers::Buffer BlockBuffers::Allocate(std::size_t size) {
  if (size == 0) return Buffer();
  // Not zeroed: every byte that is written out is first read or padded.
  return Buffer(static_cast<std::uint8_t*>(::operator new[](size, kPageAlignment)));
}

BlockBuffers::BlockBuffers(platform::ByteCount length)
    : size_(static_cast<std::size_t>(RoundUpToBlocks(std::min<platform::ByteCount>(length, kChunkSize)))),
      source_(Allocate(size_)),
      target_(Allocate(size_ == 0 ? 0 : size_ + kPageSize)) {}

void DeinterleaveBlock(std::span<const std::uint8_t, kBlockSize> input,
                       std::span<std::uint8_t, kBlockSize> output) {
  const std::uint8_t* left = input.data();
  const std::uint8_t* right = input.data() + kChannelHalf;
  std::uint8_t* frame = output.data();
  // Two-byte copies rather than single bytes: compilers turn this loop into
  // vector word interleaves (punpcklwd/punpckhwd on x86-64), whatever the
  // host's byte order, since the bytes of a sample are never reordered.
  for (std::size_t j = 0; j < kChannelHalf / 2; ++j) {
    std::memcpy(frame + 4 * j, left + 2 * j, 2);
    std::memcpy(frame + 4 * j + 2, right + 2 * j, 2);
  }
}

void InterleaveBlock(std::span<const std::uint8_t, kBlockSize> frames,
                     std::span<std::uint8_t, kBlockSize> block) {
  const std::uint8_t* frame = frames.data();
  std::uint8_t* left = block.data();
  std::uint8_t* right = block.data() + kChannelHalf;
  // Two-byte copies, as in DeinterleaveBlock: they become vector word
  // shuffles.
  for (std::size_t j = 0; j < kChannelHalf / 2; ++j) {
    std::memcpy(left + 2 * j, frame + 4 * j, 2);
    std::memcpy(right + 2 * j, frame + 4 * j + 2, 2);
  }
}

namespace {

// What MapBlocks did.
struct Mapped {
  platform::ByteCount read;     // input bytes taken
  platform::ByteCount written;  // output bytes written
  bool input_ended;             // every input byte wanted was taken, or the input ended
  bool limit_reached;
  bool stopped;                 // the output stopped it
};

// The output of MapBlocks: a file, written, or a sink, which may stop it.
struct ToFile {
  platform::File& file;

  bool Take(std::span<const std::uint8_t> bytes) const {
    file.Write(bytes);
    return true;
  }
};

// The loop both directions share. It asks `blocks` for at most
// `input_length` bytes of input a chunk at a time, which it turns into
// whole blocks of output (see Mapping and Converting), and writes exactly
// `output_length` bytes of blocks: cut there, or followed by silence.
// Without `output_length` it writes the whole blocks of what it takes, up
// to the end of the input, but stops before a block that would bring the
// output to `limit` bytes. Nothing the output does not need is read. A
// template, so that the mapping and the reading are compiled into the
// loop.
//
// Every write but the first starts on a page boundary both in the file and
// in memory: the kernel copies into the page cache markedly slower from a
// source that is not aligned like its destination (a quarter more CPU for a
// whole conversion after a 44-byte header). The output starts `position`
// bytes into the file, so the blocks are mapped that far into the page-
// aligned target buffer; each write ends on a page boundary, and the bytes
// past it move to the buffer's start, ahead of the next chunk.
template <typename Blocks, typename Output>
Mapped MapBlocks(Blocks& blocks_from, Output&& output, platform::ByteCount input_length,
                 std::optional<platform::ByteCount> output_length, platform::ByteCount limit,
                 platform::ByteCount position, const BlockBuffers& buffers) {
  constexpr std::size_t kPage = BlockBuffers::kPageSize;
  const std::span<std::uint8_t> source = buffers.Source();
  const std::span<std::uint8_t> target = buffers.Target();

  platform::ByteCount to_read = input_length;
  platform::ByteCount to_write = output_length.value_or(0);
  bool last = output_length ? to_write == 0 : to_read == 0;
  if (!last && source.empty()) throw std::invalid_argument("MapBlocks: no buffers");
  Mapped done{0, 0, false, false, false};
  std::size_t begin = static_cast<std::size_t>(position % kPage);  // where the next write starts
  std::size_t end = begin;                                         // past the bytes mapped so far
  while (!last) {
    // As many blocks as both buffers hold (one at least: the target has a
    // page more than the source, and less than a page is carried) and the
    // output still needs.
    const std::size_t room = std::min(source.size(), target.size() - end) / kBlockSize;
    const auto blocks = output_length ? static_cast<std::size_t>(std::min<platform::ByteCount>(
                                            room, RoundUpToBlocks(to_write) / kBlockSize))
                                      : room;
    const auto count = static_cast<std::size_t>(std::min<platform::ByteCount>(to_read, blocks * kBlockSize));
    // The bytes of these blocks that go into the output: all, unless its
    // length ends inside them (a limit ends the run in failure).
    const auto kept =
        output_length ? static_cast<std::size_t>(std::min<platform::ByteCount>(to_write, blocks * kBlockSize))
                      : blocks * kBlockSize;
    const std::size_t got =
        count == 0 ? 0 : blocks_from(count, target.subspan(end, blocks * kBlockSize), kept);
    done.read += got;
    // An input that ended gives nothing more.
    to_read = got < count ? 0 : to_read - got;
    const std::size_t read_blocks = (got + kBlockSize - 1) / kBlockSize;

    std::size_t produced = 0;
    if (output_length) {
      // Past the samples, whole blocks of silence.
      std::ranges::fill(target.subspan(end + read_blocks * kBlockSize, (blocks - read_blocks) * kBlockSize),
                        std::uint8_t{0});
      produced = static_cast<std::size_t>(std::min<platform::ByteCount>(to_write, blocks * kBlockSize));
      to_write -= produced;
      last = to_write == 0;
    } else {
      produced = read_blocks * kBlockSize;
      // The blocks that keep the output below the limit.
      const platform::ByteCount below =
          limit > done.written ? (limit - done.written - 1) / kBlockSize * kBlockSize : 0;
      if (produced > below) {
        produced = static_cast<std::size_t>(below);
        done.limit_reached = true;
      }
      last = to_read == 0 || done.limit_reached;
    }
    done.written += produced;
    end += produced;
    const std::size_t upto = last ? end : end / kPage * kPage;
    if (upto > begin) {
      if (!output.Take(target.subspan(begin, upto - begin))) {
        done.stopped = true;
        return done;
      }
      std::copy(target.begin() + static_cast<std::ptrdiff_t>(upto),
                target.begin() + static_cast<std::ptrdiff_t>(end), target.begin());
      end -= upto;
      begin = 0;
    }
  }
  done.input_ended = to_read == 0;
  return done;
}

// Takes the next bytes of a file: all that are asked for, or EReadError.
struct TakeExactly {
  platform::File& input;

  std::size_t operator()(std::span<std::uint8_t> bytes) const {
    input.ReadExactly(bytes);
    return bytes.size();
  }
};

// Takes the next bytes of a stream, which may end before they do.
struct TakeUpTo {
  platform::File& input;

  std::size_t operator()(std::span<std::uint8_t> bytes) const { return input.Read(bytes); }
};

// Blocks for MapBlocks whose bytes are the input's own, moved by
// `map_block`: reads the `count` bytes asked for through `take` into the
// source buffer, and maps the blocks they fill into the target, the last
// one filled up with zero bytes (silence) first, never with bytes left
// over from the previous chunk. Returns the bytes read. (Which of the
// blocks' bytes are kept in the output does not change what they are.)
template <auto map_block, typename Take>
struct Mapping {
  Take take;
  std::span<std::uint8_t> source;

  std::size_t operator()(std::size_t count, std::span<std::uint8_t> blocks, std::size_t /*kept*/) {
    const std::size_t got = take(source.first(count));
    const std::size_t read_blocks = (got + kBlockSize - 1) / kBlockSize;
    std::ranges::fill(source.subspan(got, read_blocks * kBlockSize - got), std::uint8_t{0});
    for (std::size_t b = 0; b < read_blocks; ++b) {
      map_block(source.subspan(b * kBlockSize).first<kBlockSize>(),
                blocks.subspan(b * kBlockSize).first<kBlockSize>());
    }
    return got;
  }
};

// Blocks for MapBlocks converted from samples that are not 16-bit stereo:
// `count` bytes of 16-bit stereo are count / 4 frames, read as raw frames
// through the source buffer (as many whole frames as it holds at a time)
// and converted straight into the halves of the target's blocks, the last
// block's rest silence. All of them, or EReadError; from an open stream,
// those before its end, a part frame there dropped. Returns the bytes of
// 16-bit stereo they make, and counts the samples clipped among those
// whose two bytes lie in the first `kept` bytes of the blocks, the part
// that goes into the output.
class Converting {
 public:
  Converting(platform::File& input, const WavLayout& layout, std::span<std::uint8_t> source)
      : input_(input),
        encoding_(layout.encoding),
        channels_(layout.channels),
        stream_(layout.length_is_open),
        frame_size_(FrameSize(layout)),
        raw_(source.first(source.size() / frame_size_ * frame_size_)) {}

  std::size_t operator()(std::size_t count, std::span<std::uint8_t> blocks, std::size_t kept) {
    constexpr std::size_t kFramesPerBlock = kBlockSize / kWavBlockAlign;
    const std::size_t wanted = count / kWavBlockAlign;
    // Frame j of block b has its left sample at 1024b + 2j and its right
    // one (or a mono sample's copy) 512 bytes on. In the block that `kept`
    // ends inside, the frames before both_in have both in, those before
    // left_in their left one, which is a mono sample's first copy; the
    // frames after are cut off.
    const std::size_t cut = kept % kBlockSize;
    const std::size_t cut_block = kept / kBlockSize * kFramesPerBlock;
    const std::size_t left_in = cut_block + std::min(cut / 2, kFramesPerBlock);
    const std::size_t both_in = cut_block + (cut > kChannelHalf ? (cut - kChannelHalf) / 2 : 0);
    std::size_t done = 0;
    while (done < wanted) {
      const auto raw = raw_.first(std::min(wanted - done, raw_.size() / frame_size_) * frame_size_);
      std::size_t got = raw.size();
      if (stream_) {
        got = input_.Read(raw);
      } else {
        input_.ReadExactly(raw);
      }
      // Frame k goes to block k / 256, place k % 256 of both its halves.
      const std::size_t whole = got / frame_size_;
      for (std::size_t k = done; k < done + whole;) {
        const std::size_t place = k % kFramesPerBlock;
        const std::size_t run = std::min(kFramesPerBlock - place, done + whole - k);
        const auto block = blocks.subspan(k / kFramesPerBlock * kBlockSize);
        const auto frames = raw.subspan((k - done) * frame_size_, run * frame_size_);
        const std::uint64_t clipped =
            ConvertFrames(frames, encoding_, channels_, block.subspan(2 * place, 2 * run),
                          block.subspan(kChannelHalf + 2 * place, 2 * run));
        clipped_ += k + run <= both_in ? clipped : ClippedAndKept(frames, k, both_in, left_in);
        k += run;
      }
      done += whole;
      if (got < raw.size()) break;
    }
    if (const std::size_t place = done % kFramesPerBlock; place != 0) {
      const auto block = blocks.subspan(done / kFramesPerBlock * kBlockSize, kBlockSize);
      std::ranges::fill(block.subspan(2 * place, kChannelHalf - 2 * place), std::uint8_t{0});
      std::ranges::fill(block.subspan(kChannelHalf + 2 * place), std::uint8_t{0});
    }
    return done * kWavBlockAlign;
  }

  platform::ByteCount clipped() const { return clipped_; }

 private:
  // The clipped samples of `frames`, the first of which is frame `first`,
  // that are kept (see operator()): counted again apart, since the Size
  // cuts them, which happens in one block of a run at most.
  std::uint64_t ClippedAndKept(std::span<const std::uint8_t> frames, std::size_t first, std::size_t both_in,
                               std::size_t left_in) const {
    std::array<std::uint8_t, kChannelHalf> left{};
    std::array<std::uint8_t, kChannelHalf> right{};
    const std::size_t count = frames.size() / frame_size_;
    const std::size_t whole = std::min(count, both_in > first ? both_in - first : 0);
    std::uint64_t clipped =
        ConvertFrames(frames.first(whole * frame_size_), encoding_, channels_, left, right);
    // Frames whose left sample alone is in: that sample, as a mono frame
    // (a mono frame is one already).
    const std::size_t sample_size = SampleSize(encoding_);
    for (std::size_t i = whole; i < count && first + i < left_in; ++i) {
      clipped += ConvertFrames(frames.subspan(i * frame_size_, sample_size), encoding_, 1,
                               std::span(left).first(2), std::span(right).first(2));
    }
    return clipped;
  }

  platform::File& input_;
  SampleEncoding encoding_;
  std::uint32_t channels_;
  bool stream_;
  std::size_t frame_size_;
  std::span<std::uint8_t> raw_;
  platform::ByteCount clipped_ = 0;
};

}  // namespace

namespace {

template <typename Output>
void Convert(platform::File& input, Output&& output, platform::ByteCount input_length,
             const BlockBuffers& buffers) {
  Mapping<DeinterleaveBlock, TakeExactly> blocks{{input}, buffers.Source()};
  MapBlocks(blocks, output, input_length, RoundUpToBlocks(input_length), kMostBytes, kWavHeaderSize, buffers);
}

template <typename Output>
PackResult Pack(platform::File& input, Output&& output, const WavLayout& layout,
                std::optional<platform::ByteCount> bgm_size, platform::ByteCount limit,
                const BlockBuffers& buffers) {
  const bool stream = layout.length_is_open;
  // Samples of a known length fill a size known now; an open stream's only
  // once it ends.
  if (!bgm_size && !stream) {
    bgm_size = PackedSize(layout);
    if (*bgm_size >= limit) return {0, 0, 0, false, true};
  }
  Mapped done{};
  platform::ByteCount clipped = 0;
  if (!NeedsConversion(layout)) {
    if (stream) {
      Mapping<InterleaveBlock, TakeUpTo> blocks{{input}, buffers.Source()};
      done = MapBlocks(blocks, output, layout.data_length, bgm_size, limit, 0, buffers);
    } else {
      Mapping<InterleaveBlock, TakeExactly> blocks{{input}, buffers.Source()};
      done = MapBlocks(blocks, output, layout.data_length, bgm_size, limit, 0, buffers);
    }
  } else {
    Converting blocks(input, layout, buffers.Source());
    done = MapBlocks(blocks, output, StereoBytes(FrameCount(layout)), bgm_size, limit, 0, buffers);
    clipped = blocks.clipped();
  }
  return {done.read / kWavBlockAlign, clipped, done.written, done.input_ended, done.limit_reached, done.stopped};
}

}  // namespace

void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers) {
  Convert(input, ToFile{output}, input_length, buffers);
}

void ConvertBlocks(platform::File& input, BlockSink& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers) {
  Convert(input, output, input_length, buffers);
}

platform::ByteCount PackedSize(platform::ByteCount data_length) { return RoundUpToBlocks(data_length); }

platform::ByteCount PackedSize(const WavLayout& layout) {
  return RoundUpToBlocks(NeedsConversion(layout) ? StereoBytes(FrameCount(layout)) : layout.data_length);
}

PackResult PackBlocks(platform::File& input, platform::File& output, const WavLayout& layout,
                      std::optional<platform::ByteCount> bgm_size, platform::ByteCount limit,
                      const BlockBuffers& buffers) {
  return Pack(input, ToFile{output}, layout, bgm_size, limit, buffers);
}

PackResult PackBlocks(platform::File& input, BlockSink& output, const WavLayout& layout,
                      std::optional<platform::ByteCount> bgm_size, platform::ByteCount limit,
                      const BlockBuffers& buffers) {
  return Pack(input, output, layout, bgm_size, limit, buffers);
}

FrameFit FitFrames(platform::ByteCount frames, platform::ByteCount bgm_size) {
  // Frame j of a block is whole when its right sample, at bytes 512 + 2j
  // and 513 + 2j of the block, is.
  const platform::ByteCount in_last_block = bgm_size % kBlockSize;
  const platform::ByteCount whole = bgm_size / kBlockSize * (kBlockSize / kWavBlockAlign) +
                                    (in_last_block > kChannelHalf ? (in_last_block - kChannelHalf) / 2 : 0);
  if (frames > whole) return {frames - whole, 0};
  return {0, whole - frames};
}

}  // namespace plivex
