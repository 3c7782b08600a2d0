// The packer's two directions.  Failures pass up as they are raised; what
// the packer decides itself is that a payload the decompressor refuses is
// damaged data, which still gives back what came out before the damage.
#include "CMain/packer.h"

#include <algorithm>

#include "CMain/failure.h"
#include "bzLib/compressor.h"

namespace quorvane {
namespace {

constexpr char kUnpackingText[] = "Распаковка: ";

}  // namespace

TZPacker::TZPacker(std::int64_t startpos, const TBZip2Library& library, const TProgress& progress)
    : startpos_(startpos),
      library_(library),
      progress_(progress),
      buffer_(std::make_unique<std::array<char, kStagingSize>>()) {}

void TZPacker::Report(const TProgressText& text, std::size_t bytes) {
  if (ReportProgress(progress_, &text, static_cast<int>(bytes)) == 0) throw EFailure(TFailed::kStop);
}

parallel::TWaitHook TZPacker::StillWanted(const TProgressText& text) {
  // While the workers catch up, the host still hears from the job, and may
  // stop it.
  return [this, &text] { return ReportProgress(progress_, &text, 0) != 0; };
}

bool TZPacker::Expand(platform::File& archive, platform::File* output) {
  content_ = TContentTally();
  ReportProgress(progress_, nullptr, 0);
  archive.Seek(startpos_, platform::Origin::kBegin);
  const TProgressText message(kUnpackingText, archive.Name());
  TBZDecompressionStream stream(library_, archive, StillWanted(message));
  try {
    ExpandBlocks(stream, message, output);
  } catch (const EBZDecompressionError&) {
    return false;
  }
  return true;
}

void TZPacker::ExpandBlocks(TBZDecompressionStream& stream, const TProgressText& message, platform::File* output) {
  for (;;) {
    const std::size_t n = stream.Read(buffer_->data(), buffer_->size());
    if (n == 0) return;
    content_.Add(buffer_->data(), n);
    if (output) output->Write(buffer_->data(), n);
    Report(message, n);
  }
}

void TZPacker::Shrink(platform::File& source, platform::File& archive) {
  const std::int64_t start = source.Seek(0, platform::Origin::kCurrent);
  heard_ = 0;
  try {
    ShrinkOnce(source, archive, parallel::ConfiguredThreads());
  } catch (const parallel::EMismatch&) {
    // The library cut a block where the cutter did not: read on one thread,
    // the source gives the library's own bytes, written over the others.
    heard_ = content_.size();
    source.Seek(start, platform::Origin::kBegin);
    archive.Seek(startpos_, platform::Origin::kBegin);
    archive.Truncate();
    ShrinkOnce(source, archive, 1);
  }
}

void TZPacker::ShrinkOnce(platform::File& source, platform::File& archive, int threads) {
  content_ = TContentTally();
  archive.Seek(startpos_, platform::Origin::kBegin);
  const TProgressText message(kPackingText, source.Name());
  TBZCompressionStream stream(library_, archive, StillWanted(message), threads);
  try {
    ShrinkBlocks(source, stream, message);
    // Ending the compressor completes the stream; its final writes can fail
    // like any other.
    stream.Finish();
  } catch (...) {
    // A job that failed or was stopped leaves no archive: its stream is not
    // worth completing.
    stream.Abandon();
    throw;
  }
}

void TZPacker::ShrinkBlocks(platform::File& source, TBZCompressionStream& stream, const TProgressText& message) {
  // Read to the end, not up to a size taken beforehand: what is stored is
  // exactly what was read, however the file changes meanwhile.  An empty
  // source is reported once, like a block.  A second pass reports only the
  // bytes the host has not heard of, and asks at every block all the same.
  for (bool first = true;; first = false) {
    const std::size_t n = source.Read(buffer_->data(), buffer_->size());
    if (n == 0 && !first) return;
    stream.Write(buffer_->data(), n);
    content_.Add(buffer_->data(), n);
    const std::uint64_t done = content_.size();
    Report(message, done <= heard_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, done - heard_)));
    if (n == 0) return;
  }
}

}  // namespace quorvane
