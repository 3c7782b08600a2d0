// bzip2 behind a stream interface: a write-only stream that compresses
// into a file and a read-only stream that decompresses from one, each
// serial or on worker threads behind the same calls.
#pragma once

#include <array>
#include <cstddef>
#include <exception>
#include <memory>

#include "bzLib/library.h"
#include "bzLib/threads.h"
#include "platform/platform.h"

namespace quorvane {
namespace parallel {
class TCompressor;
class TDecompressor;
}  // namespace parallel

// Common part of both adapters: the underlying file (not owned), the library
// record and the staging buffer.
class TCustomBZip2Stream {
 public:
  TCustomBZip2Stream(const TCustomBZip2Stream&) = delete;
  TCustomBZip2Stream& operator=(const TCustomBZip2Stream&) = delete;

 protected:
  explicit TCustomBZip2Stream(platform::File& strm) : FStrm(strm) {}
  ~TCustomBZip2Stream() = default;

  platform::File& FStrm;
  TBZStreamRec FBZRec{};
  std::array<char, kStagingSize> FBuffer;
};

// Compresses what is written into the file it was made on, from the file's
// position on.  The adapters work while `library` is bound and raise
// EBZLibraryError when it is not.
class TBZCompressionStream final : public TCustomBZip2Stream {
 public:
  // `wait` is called on this thread at least every parallel::kHeartbeat
  // while a write or Finish waits for the worker threads; answering false
  // stops the job.
  TBZCompressionStream(const TBZip2Library& library, platform::File& dest, parallel::TWaitHook wait = {},
                       int threads = parallel::ConfiguredThreads());
  // Completes the stream if neither Finish() nor Abandon() was called,
  // swallowing errors.
  ~TBZCompressionStream();

  // Raises parallel::EStopped when the wait hook answered false.
  void Write(const void* buffer, std::size_t count);
  // Writes the end of the stream and joins the workers.  Raises when the
  // final writes fail.
  void Finish();
  // Stops at once, leaving the stream incomplete: its file is thrown away.
  void Abandon() noexcept;

 private:
  class FileSink;
  bool ended_ = false;
  std::unique_ptr<FileSink> sink_;
  std::unique_ptr<parallel::TCompressor> engine_;
};

// Decompresses the stream that starts at the file's position: the serial
// stream, or the parallel decompressor behind the same call.
class TBZDecompressionStream final : public TCustomBZip2Stream {
 public:
  // `wait` is called on this thread at least every parallel::kHeartbeat
  // while a read waits for the worker threads; answering false stops the
  // job.
  TBZDecompressionStream(const TBZip2Library& library, platform::File& source, parallel::TWaitHook wait = {},
                         int threads = parallel::ConfiguredThreads());
  ~TBZDecompressionStream();

  // Fills `buffer` but at the end of the data: fewer bytes, then 0.  Damage
  // raises EBZDecompressionError, after the bytes decoded before it have
  // been given out; parallel::EStopped when the wait hook answered false.
  std::size_t Read(void* buffer, std::size_t count);

 private:
  std::size_t ReadSerial(char* out, std::size_t count);
  // Gives the decoder the next bytes of the file; 0 at its end.
  std::size_t Refill();

  std::unique_ptr<parallel::TDecompressor> engine_;
  std::unique_ptr<TBZDecoder> decoder_;  // when serial
  bool stream_end_ = false;
  // Damage found after some bytes of a call were decoded: raised by the next.
  std::exception_ptr failure_;
};

}  // namespace quorvane
