// bzip2 behind a stream interface: the run-time binding of the library, a
// write-only stream that compresses into a file and a read-only stream that
// decompresses from one.
#pragma once

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>

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

// A negative library status raises the side's error, "error %d"; the
// library running out of memory raises std::bad_alloc, like any other
// allocation that fails.
int CheckCompress(int status);
int CheckDecompress(int status);

inline constexpr std::size_t kStagingSize = 65536;

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
  TBZCompressionStream(const TBZip2Library& library, platform::File& dest);
  // Completes the stream if Finish() was not called, swallowing errors.
  ~TBZCompressionStream();

  void Write(const void* buffer, std::size_t count);
  // Writes the end of the stream and ends the library record.  Raises when
  // the final writes fail; the record is ended either way.
  void Finish();

 private:
  void FlushStaging(std::size_t count);
  bool ended_ = false;
};

// Decompresses the stream that starts at the file's position.
class TBZDecompressionStream final : public TCustomBZip2Stream {
 public:
  TBZDecompressionStream(const TBZip2Library& library, platform::File& source);
  ~TBZDecompressionStream();

  // Fills `buffer` but at the end of the data: fewer bytes, then 0.
  std::size_t Read(void* buffer, std::size_t count);

 private:
  bool stream_end_ = false;
};

}  // namespace quorvane
