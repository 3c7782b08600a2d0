// The two stream adapters over the bound library: serial, or the parallel
// compressor and decompressor behind the same calls.
#include "bzLib/streams.h"

#include "bzLib/compressor.h"
#include "bzLib/decompressor.h"

namespace quorvane {
namespace {

void RequireBound(const TBZip2Library& library) {
  if (!library.bound()) throw EBZLibraryError("the bzip2 library is not available");
}

}  // namespace

// ------------------------------------------------------------- compressor

// The compressed bytes go to the adapter's file.
class TBZCompressionStream::FileSink final : public TByteSink {
 public:
  explicit FileSink(TBZCompressionStream& owner) : owner_(owner) {}
  void Put(const char* data, std::size_t count) override { owner_.FStrm.Write(data, count); }

 private:
  TBZCompressionStream& owner_;
};

TBZCompressionStream::TBZCompressionStream(const TBZip2Library& library, platform::File& dest,
                                           parallel::TWaitHook wait, int threads)
    : TCustomBZip2Stream(dest), sink_(std::make_unique<FileSink>(*this)) {
  RequireBound(library);
  engine_ = std::make_unique<parallel::TCompressor>(*sink_, threads, std::move(wait));
}

TBZCompressionStream::~TBZCompressionStream() {
  try {
    Finish();
  } catch (...) {
    // Whoever needed to know called Finish() first.
  }
}

void TBZCompressionStream::Write(const void* buffer, std::size_t count) {
  if (ended_) throw EBZCompressionError("Invalid stream operation");
  engine_->Write(static_cast<const char*>(buffer), count);
}

void TBZCompressionStream::Finish() {
  if (ended_) return;
  ended_ = true;
  engine_->Finish();
}

void TBZCompressionStream::Abandon() noexcept {
  ended_ = true;
  engine_.reset();
}

// ----------------------------------------------------------- decompressor

TBZDecompressionStream::TBZDecompressionStream(const TBZip2Library& library, platform::File& source,
                                               parallel::TWaitHook wait, int threads)
    : TCustomBZip2Stream(source) {
  RequireBound(library);
  engine_ = parallel::TDecompressor::Open(source, threads, std::move(wait));
  if (!engine_) decoder_ = std::make_unique<TBZDecoder>();
}

TBZDecompressionStream::~TBZDecompressionStream() = default;

std::size_t TBZDecompressionStream::Read(void* buffer, std::size_t count) {
  if (failure_) std::rethrow_exception(failure_);
  return engine_ ? engine_->Read(buffer, count) : ReadSerial(static_cast<char*>(buffer), count);
}

std::size_t TBZDecompressionStream::ReadSerial(char* out, std::size_t count) {
  std::size_t got = 0;
  try {
    while (got < count) {
      if (stream_end_) {
        // Anything after the end of the stream is an error, as the library
        // itself would answer; each call looks afresh, so bytes that turn up
        // later are noticed too.
        if (decoder_->Unused() == 0) Refill();
        if (decoder_->Unused() > 0) CheckDecompress(kBzSequenceError);
        break;
      }
      std::size_t produced = 0;
      const int status = decoder_->Decode(out + got, count - got, produced);
      got += produced;
      if (CheckDecompress(status) == kBzStreamEnd) {
        stream_end_ = true;
      } else if (got < count && Refill() == 0) {
        CheckDecompress(kBzUnexpectedEnd);  // a stream must end with its end marker
      }
    }
  } catch (const EBZDecompressionError&) {
    // What was decoded before the damage is given out first; the error
    // comes with the next call.
    if (got == 0) throw;
    failure_ = std::current_exception();
  }
  return got;
}

std::size_t TBZDecompressionStream::Refill() {
  const std::size_t n = FStrm.Read(FBuffer.data(), kStagingSize);
  decoder_->Supply(FBuffer.data(), n);
  return n;
}

}  // namespace quorvane
