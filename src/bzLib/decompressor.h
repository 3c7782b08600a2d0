// The parallel decompressor: reads one bzip2 stream with its blocks decoded
// on several threads, giving exactly what the serial stream gives, damage
// included.
//
// The calling thread reads the stream and finds the marks where blocks may
// start; workers decode from each block mark through the bound library; the
// calling thread follows the chain of blocks from the first mark (each
// block's worker says where it ended, which is where the next one starts),
// hands their output on in order, and checks the stream's checksum and end
// itself.  A stream of one block, a start that is not a block, or a job
// granted fewer than two workers stays serial.
#pragma once

#include <cstddef>
#include <memory>

#include "bzLib/threads.h"
#include "platform/platform.h"

namespace quorvane::parallel {

class TDecompressor {
 public:
  // A decompressor for the stream in `source` from its position on; null
  // when the serial stream is the one to use, with `source` back where it
  // was.  `threads`: ConfiguredThreads(), or a count a test chooses.
  static std::unique_ptr<TDecompressor> Open(platform::File& source, int threads, TWaitHook wait);
  // Stops the workers and joins them.
  ~TDecompressor();
  TDecompressor(const TDecompressor&) = delete;
  TDecompressor& operator=(const TDecompressor&) = delete;

  // Fills `buffer` as far as the data goes; 0 at the end.  Damage raises
  // the serial stream's EBZDecompressionError once everything decoded before
  // it has been given out; a failed read of the source raises the file
  // layer's error; EStopped when the wait hook answered false.
  std::size_t Read(void* buffer, std::size_t count);

  struct TJob;

 private:
  explicit TDecompressor(std::unique_ptr<TJob> job);
  std::unique_ptr<TJob> job_;
};

}  // namespace quorvane::parallel
