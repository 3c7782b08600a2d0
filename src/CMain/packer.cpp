// The packer's two directions.  Failures pass up as they are raised; what
// the packer decides itself is that a payload the decompressor refuses is
// damaged data, which still gives back what came out before the damage.
#include "CMain/packer.h"

#include "CMain/failure.h"

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
  content_ = TContentTally();
  archive.Seek(startpos_, platform::Origin::kBegin);
  const TProgressText message(kPackingText, source.Name());
  TBZCompressionStream stream(library_, archive, StillWanted(message));
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
  // source is reported once, like a block.
  for (bool first = true;; first = false) {
    const std::size_t n = source.Read(buffer_->data(), buffer_->size());
    if (n == 0 && !first) return;
    content_.Add(buffer_->data(), n);
    stream.Write(buffer_->data(), n);
    Report(message, n);
    if (n == 0) return;
  }
}

}  // namespace quorvane
