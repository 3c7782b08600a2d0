// bzip2 behind a stream interface: the run-time binding of the library, a
// write-only stream that compresses into a file and a read-only stream that
// decompresses from one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "parallel/threads.h"
#include "platform/platform.h"

namespace quorvane {
namespace parallel {
class TCompressor;
class TDecompressor;
}  // namespace parallel

class EBZip2Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class EBZCompressionError : public EBZip2Error {
 public:
  using EBZip2Error::EBZip2Error;
};
class EBZDecompressionError : public EBZip2Error {
 public:
  using EBZip2Error::EBZip2Error;
};
// The library is missing, lacks a function, or will not start a stream.
class EBZLibraryError : public EBZip2Error {
 public:
  using EBZip2Error::EBZip2Error;
};

// The library's stream control record (bz_stream), field for field.
struct TBZStreamRec {
  char* next_in;
  unsigned int avail_in;
  unsigned int total_in_lo32;
  unsigned int total_in_hi32;
  char* next_out;
  unsigned int avail_out;
  unsigned int total_out_lo32;
  unsigned int total_out_hi32;
  void* state;
  void* (*bzalloc)(void*, int, int);
  void (*bzfree)(void*, void*);
  void* opaque;
};

// One reference on the library in `dir` (or the system's, where the
// platform allows), with its six functions bound, for as long as the object
// lives: the library is loaded with the first reference and unloaded with
// the last.  Safe from several threads.
class TBZip2Library {
 public:
  explicit TBZip2Library(const platform::Path& dir);
  ~TBZip2Library();
  TBZip2Library(const TBZip2Library&) = delete;
  TBZip2Library& operator=(const TBZip2Library&) = delete;

  // Whether the library and all six functions were found.
  bool bound() const { return bound_; }

 private:
  bool bound_;
};

// How many references are held now.
int BZip2LibraryReferences();

// Library statuses.
inline constexpr int kBzOk = 0;
inline constexpr int kBzStreamEnd = 4;
inline constexpr int kBzSequenceError = -1;
inline constexpr int kBzDataError = -4;
// What the library's file interface answers for a stream that stops short.
inline constexpr int kBzUnexpectedEnd = -7;

// A negative library status raises the side's error, "error %d"; the
// library running out of memory raises std::bad_alloc, like any other
// allocation that fails.
int CheckCompress(int status);
int CheckDecompress(int status);

inline constexpr std::size_t kStagingSize = 65536;

// Where compressed bytes go.
class TByteSink {
 public:
  virtual ~TByteSink() = default;
  // Takes all `count` bytes or raises.
  virtual void Put(const char* data, std::size_t count) = 0;
};

// Keeps the library's large arrays between the streams one thread makes
// one after another, so each new stream reuses them instead of mapping
// fresh zeroed pages.  One thread's; gives everything back at its end.
class TBZMemoryCache {
 public:
  TBZMemoryCache() = default;
  TBZMemoryCache(const TBZMemoryCache&) = delete;
  TBZMemoryCache& operator=(const TBZMemoryCache&) = delete;
  ~TBZMemoryCache();
  void UseFor(TBZStreamRec& rec) { rec.bzalloc = Alloc; rec.bzfree = Free; rec.opaque = this; }

 private:
  static void* Alloc(void* self, int items, int size);
  static void Free(void* self, void* block);
  std::vector<void*> idle_;  // blocks given back, each with its size before it
};

// One library compression stream at level 9, fed the way the bzip2 program
// feeds it (BZ_RUN for all the data, then BZ_FINISH with no input), so its
// bytes are the program's whatever the sizes of the pieces written.
class TBZEncoder {
 public:
  // Raises EBZCompressionError when the library is missing or will not start.
  explicit TBZEncoder(TByteSink& out, TBZMemoryCache* cache = nullptr);
  ~TBZEncoder();
  TBZEncoder(const TBZEncoder&) = delete;
  TBZEncoder& operator=(const TBZEncoder&) = delete;

  void Compress(const void* data, std::size_t count);
  // Ends the stream; nothing may be written after.
  void Finish();

 private:
  void Flush(std::size_t count);

  TByteSink& out_;
  TBZStreamRec rec_{};
  bool ended_ = false;
  std::unique_ptr<std::array<char, kStagingSize>> staging_;
};

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
  // `wait` is called on this thread at least every 250 ms while a write or
  // Finish waits for the worker threads; answering false stops the job.
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

// One library decompression stream, driven so that damage costs no decoded
// byte and what comes out before an error does not depend on the sizes of
// the calls: input goes in with no room for output, so a call stops where a
// block's data begins to come out, and output comes out with no input at
// hand.  A call that finds a block inconsistent drops what it wrote, but a
// call without input can be made again, so the failing one is made again a
// byte at a time: every byte the library can give before the damage comes
// out.
class TBZDecoder {
 public:
  // Raises EBZDecompressionError when there is no library or it will not start.
  explicit TBZDecoder(TBZMemoryCache* cache = nullptr);
  ~TBZDecoder();
  TBZDecoder(const TBZDecoder&) = delete;
  TBZDecoder& operator=(const TBZDecoder&) = delete;

  // The input the library takes from next (at most 4 GiB - 1 bytes).
  void Supply(const char* data, std::size_t count);
  std::size_t Unused() const { return rec_.avail_in; }
  // Decodes into `out` until `room` bytes are there, the input is used up,
  // the stream ends or the library fails: the library's status, kBzOk for
  // the first two.  `produced` counts the bytes given, also on a failure.
  int Decode(char* out, std::size_t room, std::size_t& produced);
  std::uint64_t total_out() const { return std::uint64_t{rec_.total_out_hi32} << 32 | rec_.total_out_lo32; }

 private:
  int Output(char* out, std::size_t room, std::size_t& produced);

  TBZStreamRec rec_{};
};

// Decompresses the stream that starts at the file's position: the serial
// stream, or the parallel decompressor behind the same call.
class TBZDecompressionStream final : public TCustomBZip2Stream {
 public:
  // `wait` is called on this thread at least every 200 ms while a read
  // waits for the worker threads; answering false stops the job.
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
