// The bzip2 library bound at run time: its errors and statuses, the
// binding itself, and one library stream in each direction.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace quorvane {

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

// One library compression stream, at level 9 unless told otherwise, fed the
// way the bzip2 program feeds it (BZ_RUN for all the data, then BZ_FINISH
// with no input), so its bytes are the program's whatever the sizes of the
// pieces written.
class TBZEncoder {
 public:
  // Raises EBZLibraryError when the library is missing or will not start.
  explicit TBZEncoder(TByteSink& out, TBZMemoryCache* cache = nullptr, int level = 9);
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

}  // namespace quorvane
