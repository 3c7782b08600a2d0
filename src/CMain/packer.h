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
#include "bzLib.h"
#include "crc32.h"
#include "platform/platform.h"
#include "wcxhead.h"

namespace quorvane {

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
// to `progress`, once per block.
class TZPacker {
 public:
  TZPacker(std::int64_t startpos, const TBZip2Library& library, const TProgress& progress);
  TZPacker(const TZPacker&) = delete;
  TZPacker& operator=(const TZPacker&) = delete;

  // Unpacks the payload that starts at `startpos` of `infile` into
  // `outFile`, or nowhere when it is null.  0, or 13 (the payload is not an
  // intact bzip2 stream), 15 (the archive cannot be read, or there is no
  // library), 19 (the output cannot be written), 21 (stopped).
  int Expand(platform::File& infile, platform::File* outFile);
  // Packs `infile`, read to its end, into `outFile` from `startpos` on.  0,
  // or 19 (the source cannot be read, compressing or writing failed, or
  // there is no library), 21 (stopped).  A source that cannot be read is
  // also reported to the user.
  int Shrink(platform::File& infile, platform::File& outFile);

  // What passed the uncompressed side of the last Expand or Shrink.
  const TContentTally& content() const { return content_; }

 private:
  int ExpandBlocks(TBZDecompressionStream& stream, const platform::Path& archive_name,
                   platform::File* outFile);
  int ShrinkBlocks(platform::File& infile, TBZCompressionStream& stream);

  std::int64_t startpos_;
  const TBZip2Library& library_;
  TProgress progress_;
  TContentTally content_;
  std::unique_ptr<std::array<char, kStagingSize>> buffer_;
};

}  // namespace quorvane
