// The bzip2 library bound at run time, and the two stream adapters over it.
#include "bzLib.h"

#include <algorithm>
#include <climits>
#include <new>

namespace quorvane {
namespace {

// Library statuses and actions used here.
constexpr int kBzRun = 0;
constexpr int kBzFinish = 2;
constexpr int kBzStreamEnd = 4;
constexpr int kBzSequenceError = -1;
constexpr int kBzMemError = -3;

using CompressInitFn = int (*)(TBZStreamRec*, int block_size, int verbosity, int work_factor);
using CompressFn = int (*)(TBZStreamRec*, int action);
using DecompressInitFn = int (*)(TBZStreamRec*, int verbosity, int small);
using StreamFn = int (*)(TBZStreamRec*);

// The module-wide binding.  The slots change only when the first reference
// is taken or the last one given back, under the lock; a packer reads them
// while it holds a reference, so they cannot change under it.
struct Binding {
  platform::Mutex lock;
  int references = 0;
  platform::LibraryHandle library = nullptr;
  CompressInitFn compress_init = nullptr;
  CompressFn compress = nullptr;
  StreamFn compress_end = nullptr;
  DecompressInitFn decompress_init = nullptr;
  StreamFn decompress = nullptr;
  StreamFn decompress_end = nullptr;

  bool Complete() const {
    return compress_init && compress && compress_end && decompress_init && decompress && decompress_end;
  }
};

Binding& Bz() {
  static Binding binding;
  return binding;
}

template <typename Fn>
Fn Lookup(platform::LibraryHandle library, const char* name) {
  return reinterpret_cast<Fn>(platform::LibraryFunction(library, name));
}

std::string StatusMessage(int status) { return "error " + std::to_string(status); }

void CheckMemory(int status) {
  if (status == kBzMemError) throw std::bad_alloc();
}

void RequireBound(const TBZip2Library& library) {
  if (!library.bound()) throw EBZLibraryError("the bzip2 library is not available");
}

// A stream the library will not start is the library's failure, on either
// side.
void CheckStart(int status) {
  CheckMemory(status);
  if (status < 0) throw EBZLibraryError(StatusMessage(status));
}

unsigned int ClampCount(std::size_t count) {
  return static_cast<unsigned int>(std::min<std::size_t>(count, UINT_MAX));
}

// Takes one reference and binds the six functions; false when the library
// or one of the functions is missing, the reference taken all the same.
// Raises only when memory runs out, and then takes nothing.
bool LoadBZip2Library(const platform::Path& dir) {
  Binding& bz = Bz();
  std::lock_guard guard(bz.lock);
  // The reference is counted once nothing more can fail: an allocation that
  // fails on the way leaves nothing taken.
  if (bz.references == 0) {
    bz.library = platform::LoadLibrary(platform::CompressionLibraryPath(dir));
    bz.compress_init = Lookup<CompressInitFn>(bz.library, "BZ2_bzCompressInit");
    bz.compress = Lookup<CompressFn>(bz.library, "BZ2_bzCompress");
    bz.compress_end = Lookup<StreamFn>(bz.library, "BZ2_bzCompressEnd");
    bz.decompress_init = Lookup<DecompressInitFn>(bz.library, "BZ2_bzDecompressInit");
    bz.decompress = Lookup<StreamFn>(bz.library, "BZ2_bzDecompress");
    bz.decompress_end = Lookup<StreamFn>(bz.library, "BZ2_bzDecompressEnd");
  }
  ++bz.references;
  return bz.Complete();
}

// Gives back one reference; the library is unloaded with the last one.
void FreeBZip2Library() {
  Binding& bz = Bz();
  std::lock_guard guard(bz.lock);
  if (bz.references == 0 || --bz.references > 0) return;
  platform::FreeLibrary(bz.library);
  bz.library = nullptr;
  bz.compress_init = nullptr;
  bz.compress = nullptr;
  bz.compress_end = nullptr;
  bz.decompress_init = nullptr;
  bz.decompress = nullptr;
  bz.decompress_end = nullptr;
}

}  // namespace

TBZip2Library::TBZip2Library(const platform::Path& dir) : bound_(LoadBZip2Library(dir)) {}

TBZip2Library::~TBZip2Library() { FreeBZip2Library(); }

int BZip2LibraryReferences() {
  Binding& bz = Bz();
  std::lock_guard guard(bz.lock);
  return bz.references;
}

int CheckCompress(int status) {
  CheckMemory(status);
  if (status < 0) throw EBZCompressionError(StatusMessage(status));
  return status;
}

int CheckDecompress(int status) {
  CheckMemory(status);
  if (status < 0) throw EBZDecompressionError(StatusMessage(status));
  return status;
}

// ------------------------------------------------------------- compressor

TBZCompressionStream::TBZCompressionStream(const TBZip2Library& library, platform::File& dest)
    : TCustomBZip2Stream(dest) {
  FBZRec.next_out = FBuffer.data();
  FBZRec.avail_out = kStagingSize;
  RequireBound(library);
  CheckStart(Bz().compress_init(&FBZRec, 9, 0, 0));
}

TBZCompressionStream::~TBZCompressionStream() {
  try {
    Finish();
  } catch (...) {
    // Whoever needed to know called Finish() first.
  }
}

void TBZCompressionStream::FlushStaging(std::size_t count) {
  FStrm.Write(FBuffer.data(), count);
  FBZRec.next_out = FBuffer.data();
  FBZRec.avail_out = kStagingSize;
}

void TBZCompressionStream::Write(const void* buffer, std::size_t count) {
  if (ended_ || !Bz().compress) throw EBZCompressionError("Invalid stream operation");
  const char* next = static_cast<const char*>(buffer);
  std::size_t left = count;
  while (left > 0) {
    unsigned int chunk = ClampCount(left);
    FBZRec.next_in = const_cast<char*>(next);
    FBZRec.avail_in = chunk;
    while (FBZRec.avail_in > 0) {
      CheckCompress(Bz().compress(&FBZRec, kBzRun));
      if (FBZRec.avail_out == 0) FlushStaging(kStagingSize);
    }
    next += chunk;
    left -= chunk;
  }
}

void TBZCompressionStream::Finish() {
  if (ended_) return;
  ended_ = true;
  FBZRec.next_in = nullptr;
  FBZRec.avail_in = 0;
  try {
    for (;;) {
      int status = CheckCompress(Bz().compress(&FBZRec, kBzFinish));
      if (status == kBzStreamEnd || FBZRec.avail_out != 0) break;
      FlushStaging(kStagingSize);
    }
    if (FBZRec.avail_out < kStagingSize) FlushStaging(kStagingSize - FBZRec.avail_out);
  } catch (...) {
    Bz().compress_end(&FBZRec);
    throw;
  }
  Bz().compress_end(&FBZRec);
}

// ----------------------------------------------------------- decompressor

TBZDecompressionStream::TBZDecompressionStream(const TBZip2Library& library, platform::File& source)
    : TCustomBZip2Stream(source) {
  FBZRec.next_in = FBuffer.data();
  FBZRec.avail_in = 0;
  RequireBound(library);
  CheckStart(Bz().decompress_init(&FBZRec, 0, 0));
}

TBZDecompressionStream::~TBZDecompressionStream() { Bz().decompress_end(&FBZRec); }

std::size_t TBZDecompressionStream::Read(void* buffer, std::size_t count) {
  count = ClampCount(count);
  FBZRec.next_out = static_cast<char*>(buffer);
  FBZRec.avail_out = static_cast<unsigned int>(count);
  // Each call looks for more input afresh: bytes that turn up after the end
  // of the stream must still be noticed.
  bool input_exhausted = false;
  while (FBZRec.avail_out > 0) {
    if (FBZRec.avail_in == 0 && !input_exhausted) {
      std::size_t n = FStrm.Read(FBuffer.data(), kStagingSize);
      if (n == 0) {
        input_exhausted = true;
      } else {
        FBZRec.next_in = FBuffer.data();
        FBZRec.avail_in = static_cast<unsigned int>(n);
      }
    }
    if (stream_end_) {
      // Anything after the end of the stream is an error, as the library
      // itself would answer; it is never asked again once it has ended.
      if (FBZRec.avail_in > 0) CheckDecompress(kBzSequenceError);
      break;
    }
    unsigned int room = FBZRec.avail_out;
    if (CheckDecompress(Bz().decompress(&FBZRec)) == kBzStreamEnd) stream_end_ = true;
    // Without input the library may still hold decoded data of a block it
    // has read whole; the data ends only once it has nothing more to give.
    if (input_exhausted && FBZRec.avail_in == 0 && FBZRec.avail_out == room) break;
  }
  return count - FBZRec.avail_out;
}

}  // namespace quorvane
