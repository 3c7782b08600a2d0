// The packer's two directions, and how their failures become result codes:
// each failure is mapped once, here, by what failed.
#include "CMain/packer.h"

#include <string>

namespace quorvane {
namespace {

constexpr char kUnpackingText[] = "Распаковка: ";
constexpr char kPackingText[] = "Orvel's Quorvane - Упаковка: ";

int ProgressSize(std::size_t bytes) { return static_cast<int>(bytes); }

// The plugin's read-error message: the file layer's text and the path.
void ShowReadError(const platform::FileError& error, const platform::Path& path) {
  platform::ShowMessage(platform::MessageToHost("Ошибка '") + error.what() +
                            platform::MessageToHost("' при обработке файла '") + platform::ToHost(path) + "'",
                        kCaption);
}

}  // namespace

TZPacker::TZPacker(std::int64_t startpos, const TBZip2Library& library, const TProgress& progress)
    : startpos_(startpos),
      library_(library),
      progress_(progress),
      buffer_(std::make_unique<std::array<char, kStagingSize>>()) {}

int TZPacker::Expand(platform::File& infile, platform::File* outFile) {
  content_ = TContentTally();
  ReportProgress(progress_, nullptr, 0);
  std::unique_ptr<TBZDecompressionStream> stream;
  try {
    infile.Seek(startpos_, platform::Origin::kBegin);
    stream = std::make_unique<TBZDecompressionStream>(library_, infile);
  } catch (const EBZip2Error&) {
    return wcx::E_EOPEN;  // no library, or it would not start
  } catch (const platform::FileError&) {
    return wcx::E_EOPEN;
  }
  try {
    return ExpandBlocks(*stream, infile.Name(), outFile);
  } catch (const EBZip2Error&) {
    return wcx::E_BAD_ARCHIVE;  // the payload is not one intact bzip2 stream
  } catch (const platform::FileWriteError&) {
    return wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    return wcx::E_EOPEN;  // the archive itself could not be read
  }
}

int TZPacker::ExpandBlocks(TBZDecompressionStream& stream, const platform::Path& archive_name,
                           platform::File* outFile) {
  const TProgressText message(kUnpackingText, archive_name);
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
  std::unique_ptr<TBZCompressionStream> stream;
  try {
    outFile.Seek(startpos_, platform::Origin::kBegin);
    stream = std::make_unique<TBZCompressionStream>(library_, outFile);
  } catch (const EBZip2Error&) {
    return wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    return wcx::E_EWRITE;
  }
  int result;
  try {
    result = ShrinkBlocks(infile, *stream);
  } catch (const platform::FileReadError& error) {
    ShowReadError(error, infile.Name());
    result = wcx::E_EWRITE;
  } catch (const EBZip2Error&) {
    result = wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    result = wcx::E_EWRITE;
  }
  // Ending the compressor completes the stream, after a stop as well; its
  // final writes can fail like any other.
  try {
    stream->Finish();
  } catch (const EBZip2Error&) {
    if (result == wcx::E_SUCCESS) result = wcx::E_EWRITE;
  } catch (const platform::FileError&) {
    if (result == wcx::E_SUCCESS) result = wcx::E_EWRITE;
  }
  return result;
}

int TZPacker::ShrinkBlocks(platform::File& infile, TBZCompressionStream& stream) {
  const TProgressText message(kPackingText, infile.Name());
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
