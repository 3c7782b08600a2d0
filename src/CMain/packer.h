// The packer: moves data between files and the bzip2 streams in one pass,
// counting and checksumming the uncompressed side on the way.
//
//   Shrink: source file -> tally -> compressor -> archive file
//   Expand: archive file -> decompressor -> tally -> output file (or nowhere)
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "CMain/module.h"
#include "bzLib/streams.h"
#include "crc32.h"
#include "platform/platform.h"

namespace quorvane {

// The text of packing's progress reports, before the name.
inline constexpr char kPackingText[] = "Orvel's Quorvane - Упаковка: ";

// How many bytes went by, and their CRC-32.
class TContentTally {
 public:
  void Add(const void* data, std::size_t count) {
    register_ = UpdateCRC32(register_, data, count);
    size_ += count;
  }
  std::uint64_t size() const { return size_; }
  std::uint32_t crc32() const { return ~register_; }

 private:
  std::uint32_t register_ = 0xFFFFFFFF;
  std::uint64_t size_ = 0;
};

// One operation per object.  The payload starts at `startpos` of the
// archive; `library` must stay bound while the packer lives; progress goes
// to `progress`, once per block, and at least every parallel::kHeartbeat
// while worker threads keep the calling thread waiting.  Failures pass up
// as the layers below raise them; a stop through the callback raises
// EFailure(TFailed::kStop), or parallel::EStopped while the calling thread
// waits for the workers.
class TZPacker {
 public:
  TZPacker(std::int64_t startpos, const TBZip2Library& library, const TProgress& progress);
  TZPacker(const TZPacker&) = delete;
  TZPacker& operator=(const TZPacker&) = delete;

  // Unpacks the payload of `archive` into `output`, or nowhere when it is
  // null.  False when the payload is not one intact bzip2 stream; what came
  // out before the damage has been written all the same.
  bool Expand(platform::File& archive, platform::File* output);
  // Packs `source`, read to its end, into `archive` from `startpos` on.
  // After a failure or a stop the stream is left incomplete: the archive is
  // thrown away.  Should the spliced stream of the worker threads turn out
  // not to be the library's own, the source is packed again on one thread.
  void Shrink(platform::File& source, platform::File& archive);

  // What passed the uncompressed side of the last Expand or Shrink.
  const TContentTally& content() const { return content_; }

 private:
  void ExpandBlocks(TBZDecompressionStream& stream, const TProgressText& message, platform::File* output);
  void ShrinkOnce(platform::File& source, platform::File& archive, int threads);
  void ShrinkBlocks(platform::File& source, TBZCompressionStream& stream, const TProgressText& message);
  // Reports a block of `bytes` to the host; its answer to stop is raised.
  void Report(const TProgressText& text, std::size_t bytes);
  // Asks the host, with `text`, whether to go on while the workers catch up.
  parallel::TWaitHook StillWanted(const TProgressText& text);

  std::int64_t startpos_;
  const TBZip2Library& library_;
  TProgress progress_;
  TContentTally content_;
  std::uint64_t heard_ = 0;  // source bytes reported by an earlier pass
  std::unique_ptr<std::array<char, kStagingSize>> buffer_;
};

}  // namespace quorvane
