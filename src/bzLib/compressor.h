// The parallel compressor: the same bytes as one library stream fed all the
// data (as bzip2 -9 writes them), made on several threads.
//
// A cutter on the calling thread imitates the library's input stage to find
// where each level-9 block starts; each piece between two starts, compressed
// as a stream of its own by a worker, comes out as exactly that block.  A
// splicer on the calling thread joins the blocks' bits in order under one
// stream header and closes them with the end marker and the combined CRC.
// The first piece is compressed on the calling thread while the cutter looks
// for its end: input of one block never starts a thread, and its stream is
// the library's own.  A job granted fewer than two workers stays serial, and
// so does every job when a small probe finds that the bound library's input
// stage is not the one the cutter imitates.
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

#include "bzLib/library.h"
#include "bzLib/threads.h"
#include "platform/platform.h"

namespace quorvane::parallel {

// A piece did not come out as exactly one block: the library's input stage
// differs from the one the cutter imitates, and the spliced stream would
// not be the library's.  The probe makes this all but impossible; a job that
// still meets it must start again serially or fail.
class EMismatch : public EBZCompressionError {
 public:
  EMismatch() : EBZCompressionError("a piece did not compress to one block") {}
};

class TCompressor {
 public:
  // `threads`: ConfiguredThreads(), or a count a test chooses; 1 is serial.
  TCompressor(TByteSink& out, int threads, TWaitHook wait);
  // Stops the workers, if any run, and joins them.
  ~TCompressor();
  TCompressor(const TCompressor&) = delete;
  TCompressor& operator=(const TCompressor&) = delete;

  // Takes all of `data`; may wait while the workers catch up.  Raises
  // EStopped, EBZCompressionError (EMismatch among them) or the sink's error.
  void Write(const char* data, std::size_t count);
  // Completes the stream and joins the workers.
  void Finish();

 private:
  enum class Mode { kSerial, kFirstPiece, kParallel };
  struct Piece;
  struct Shared;
  class FirstPieceSink;
  class Splicer;

  void Append(const char* data, std::size_t count);
  void EndPiece();
  void StartWorkers();
  template <typename Ready>
  void WaitFor(std::unique_lock<platform::Mutex>& lock, Ready ready);
  void SpliceFinished(std::unique_lock<platform::Mutex>& lock);
  void StopWorkers() noexcept;
  // Whether cutting and splicing give the library's own bytes, tried at
  // level 1 (the input stage is the same at every level but for the block
  // size) on input whose block ends inside a run.
  static bool InputStageMatches();

  TByteSink& out_;
  const int threads_;
  TWaitHook wait_;
  Mode mode_;
  std::unique_ptr<FirstPieceSink> first_sink_;
  std::unique_ptr<TBZEncoder> encoder_;
  std::vector<char> first_output_;
  // Finds where the library starts each block of the given level.
  struct Cutter {
    explicit Cutter(int level) : limit(100000 * static_cast<std::uint32_t>(level) - 19) {}
    const std::uint32_t limit;  // the library closes a block at this fill
    unsigned ch = 256, run = 0;
    std::uint32_t filled = 0;
    std::size_t Scan(const unsigned char* data, std::size_t count);
  } cutter_{9};
  std::unique_ptr<Splicer> splicer_;
  std::unique_ptr<Shared> shared_;
  std::shared_ptr<Piece> current_;
  TWorkerGrant grant_;
  std::vector<platform::Thread> workers_;
};

}  // namespace quorvane::parallel
