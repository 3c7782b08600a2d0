// The packer's two directions, and how their failures become result codes:
// each failure is mapped once, here, by what failed.
#include "CMain/packer.h"

#include <string>

#include "parallel/compressor.h"

namespace quorvane {
namespace {

constexpr char kUnpackingText[] = "Распаковка: ";

int ProgressSize(std::size_t bytes) { return static_cast<int>(bytes); }

// The plugin's read-error message: the file layer's text and the path.
void ShowReadError(const platform::FileError& error, const platform::Path& path) {
  platform::ShowMessage(platform::MessageToHost("Ошибка '") + error.what() +
                            platform::MessageToHost("' при обработке файла '") + platform::ToHost(path) + "'",
                        kCaption);
}

}  // namespace

TZPacker::TZPacker(const TProgress& progress)
    : progress_(progress), buffer_(std::make_unique<std::array<char, kStagingSize>>()) {
  bound_ = LoadBZip2Library(ModuleDir());
}

TZPacker::~TZPacker() { FreeBZip2Library(); }

int TZPacker::Expand(platform::File& infile, platform::File* outFile) {
  content_ = TContentTally();
  ReportProgress(progress_, nullptr, 0);
  if (!bound_) return wcx::E_EOPEN;
  const TProgressText message(kUnpackingText, infile.Name());
  // While the workers decode, the host still hears from the job, and may
  // stop it.
  const auto still_wanted = [this, &message] { return ReportProgress(progress_, &message, 0) != 0; };
  std::unique_ptr<TBZDecompressionStream> stream;
  try {
    infile.Seek(startpos, platform::Origin::kBegin);
    stream = std::make_unique<TBZDecompressionStream>(infile, still_wanted);
  } catch (const EBZip2Error&) {
    return wcx::E_EOPEN;  // the library would not start
  } catch (const platform::FileError&) {
    return wcx::E_EOPEN;
  }
  try {
    return ExpandBlocks(*stream, message, outFile);
  } catch (const parallel::EStopped&) {
    return wcx::E_EABORTED;
  } catch (const EBZip2Error&) {
    return wcx::E_BAD_ARCHIVE;  // the payload is not one intact bzip2 stream
  } catch (const platform::FileWriteError&) {
    return wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    return wcx::E_EOPEN;  // the archive itself could not be read
  }
}

int TZPacker::ExpandBlocks(TBZDecompressionStream& stream, const TProgressText& message, platform::File* outFile) {
  for (;;) {
    const std::size_t n = stream.Read(buffer_->data(), buffer_->size());
    if (n == 0) return wcx::E_SUCCESS;
    content_.Add(buffer_->data(), n);
    if (outFile) outFile->Write(buffer_->data(), n);
    if (ReportProgress(progress_, &message, ProgressSize(n)) == 0) return wcx::E_EABORTED;
  }
}

int TZPacker::Shrink(platform::File& infile, platform::File& outFile) {
  content_ = TContentTally();
  if (!bound_) return wcx::E_EWRITE;
  const TProgressText message(kPackingText, infile.Name());
  // While the workers catch up, the host still hears from the job, and may
  // stop it.
  const auto still_wanted = [this, &message] { return ReportProgress(progress_, &message, 0) != 0; };
  std::unique_ptr<TBZCompressionStream> stream;
  try {
    outFile.Seek(startpos, platform::Origin::kBegin);
    stream = std::make_unique<TBZCompressionStream>(outFile, still_wanted);
  } catch (const EBZip2Error&) {
    return wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    return wcx::E_EWRITE;
  }
  int result;
  try {
    result = ShrinkBlocks(infile, *stream, message);
    if (result == wcx::E_SUCCESS) stream->Finish();
  } catch (const parallel::EStopped&) {
    result = wcx::E_EABORTED;
  } catch (const platform::FileReadError& error) {
    ShowReadError(error, infile.Name());
    result = wcx::E_EWRITE;
  } catch (const EBZip2Error&) {
    result = wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    result = wcx::E_EWRITE;
  }
  // A job that failed or was stopped leaves no archive: its stream is not
  // worth completing.
  if (result != wcx::E_SUCCESS) stream->Abandon();
  return result;
}

int TZPacker::ShrinkBlocks(platform::File& infile, TBZCompressionStream& stream, const TProgressText& message) {
  // Read to the end, not up to a size taken beforehand: what is stored is
  // exactly what was read, however the file changes meanwhile.  An empty
  // source is reported once, like a block.
  for (bool first = true;; first = false) {
    const std::size_t n = infile.Read(buffer_->data(), buffer_->size());
    if (n == 0 && !first) return wcx::E_SUCCESS;
    content_.Add(buffer_->data(), n);
    stream.Write(buffer_->data(), n);
    if (ReportProgress(progress_, &message, ProgressSize(n)) == 0) return wcx::E_EABORTED;
    if (n == 0) return wcx::E_SUCCESS;
  }
}

}  // namespace quorvane
