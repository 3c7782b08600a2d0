// The bzip2 library bound at run time, and one library stream in each
// direction over it.
#include "bzLib/library.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace quorvane {
namespace {

// The library's compression actions.
constexpr int kBzRun = 0;
constexpr int kBzFinish = 2;
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

// ---------------------------------------------------------------- encoder

namespace {

// Each block the cache hands out starts with its size.
constexpr std::size_t kSizeRoom = alignof(std::max_align_t);

// The encoder and the decoder run while an adapter holds the library.
void RequireComplete() {
  if (!Bz().Complete()) throw EBZLibraryError("the bzip2 library is not available");
}

}  // namespace

TBZMemoryCache::~TBZMemoryCache() {
  for (void* block : idle_) std::free(block);
}

void* TBZMemoryCache::Alloc(void* self, int items, int size) {
  auto& cache = *static_cast<TBZMemoryCache*>(self);
  const std::size_t bytes = static_cast<std::size_t>(items) * static_cast<std::size_t>(size);
  for (auto it = cache.idle_.begin(); it != cache.idle_.end(); ++it) {
    if (*static_cast<std::size_t*>(*it) == bytes) {
      void* block = *it;
      cache.idle_.erase(it);
      return static_cast<char*>(block) + kSizeRoom;
    }
  }
  void* block = std::malloc(bytes + kSizeRoom);
  if (!block) return nullptr;
  *static_cast<std::size_t*>(block) = bytes;
  return static_cast<char*>(block) + kSizeRoom;
}

void TBZMemoryCache::Free(void* self, void* block) {
  if (!block) return;
  auto& cache = *static_cast<TBZMemoryCache*>(self);
  void* start = static_cast<char*>(block) - kSizeRoom;
  try {
    cache.idle_.push_back(start);
  } catch (...) {
    std::free(start);
  }
}

TBZEncoder::TBZEncoder(TByteSink& out, TBZMemoryCache* cache, int level)
    : out_(out), staging_(std::make_unique<std::array<char, kStagingSize>>()) {
  RequireComplete();
  if (cache) cache->UseFor(rec_);
  rec_.next_out = staging_->data();
  rec_.avail_out = kStagingSize;
  CheckStart(Bz().compress_init(&rec_, level, 0, 0));
}

TBZEncoder::~TBZEncoder() { Bz().compress_end(&rec_); }

void TBZEncoder::Flush(std::size_t count) {
  out_.Put(staging_->data(), count);
  rec_.next_out = staging_->data();
  rec_.avail_out = kStagingSize;
}

void TBZEncoder::Compress(const void* data, std::size_t count) {
  if (ended_) throw EBZCompressionError("Invalid stream operation");
  const char* next = static_cast<const char*>(data);
  while (count > 0) {
    const unsigned int chunk = ClampCount(count);
    rec_.next_in = const_cast<char*>(next);
    rec_.avail_in = chunk;
    while (rec_.avail_in > 0) {
      CheckCompress(Bz().compress(&rec_, kBzRun));
      if (rec_.avail_out == 0) Flush(kStagingSize);
    }
    next += chunk;
    count -= chunk;
  }
}

void TBZEncoder::Finish() {
  if (ended_) return;
  ended_ = true;
  rec_.next_in = nullptr;
  rec_.avail_in = 0;
  for (;;) {
    const int status = CheckCompress(Bz().compress(&rec_, kBzFinish));
    if (status == kBzStreamEnd || rec_.avail_out != 0) break;
    Flush(kStagingSize);
  }
  if (rec_.avail_out < kStagingSize) Flush(kStagingSize - rec_.avail_out);
}

// ---------------------------------------------------------------- decoder

TBZDecoder::TBZDecoder(TBZMemoryCache* cache) {
  RequireComplete();
  if (cache) cache->UseFor(rec_);
  CheckStart(Bz().decompress_init(&rec_, 0, 0));
}

TBZDecoder::~TBZDecoder() { Bz().decompress_end(&rec_); }

void TBZDecoder::Supply(const char* data, std::size_t count) {
  rec_.next_in = const_cast<char*>(data);
  rec_.avail_in = ClampCount(count);
}

int TBZDecoder::Decode(char* out, std::size_t room, std::size_t& produced) {
  produced = 0;
  char nowhere;
  for (;;) {
    const int status = Output(out, room, produced);
    if (status != kBzOk || produced == room || rec_.avail_in == 0) return status;
    rec_.next_out = &nowhere;
    rec_.avail_out = 0;
    const int decoded = Bz().decompress(&rec_);
    if (decoded != kBzOk) return decoded;
  }
}

// One call with no input; on a failure, the same call a byte at a time.
int TBZDecoder::Output(char* out, std::size_t room, std::size_t& produced) {
  const unsigned int input = rec_.avail_in;
  rec_.avail_in = 0;
  rec_.next_out = out + produced;
  rec_.avail_out = ClampCount(room - produced);
  const unsigned int window = rec_.avail_out;
  const int status = Bz().decompress(&rec_);
  produced += window - rec_.avail_out;
  if (status < 0) {
    while (produced < room) {
      rec_.next_out = out + produced;
      rec_.avail_out = 1;
      if (Bz().decompress(&rec_) < 0 || rec_.avail_out != 0) break;
      ++produced;
    }
  }
  rec_.avail_in = input;
  return status;
}

}  // namespace quorvane
