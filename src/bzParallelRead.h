// Decompression on several threads: the reading thread reads the stream and
// finds where blocks may start, workers decode a block each through the
// bound library, and the reading thread hands their output on in order.
// What it gives out, and where it fails, is what the serial stream gives.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>

#include "platform/platform.h"

namespace quorvane {

// Raised by Read when the host answered "stop" to a report made while the
// reading thread waited for the workers.
class EBZStopped : public std::runtime_error {
 public:
  EBZStopped() : std::runtime_error("stopped by the host") {}
};

class TBZParallelDecompressionStream {
 public:
  // Called on the reading thread at least every 250 ms while it waits for
  // the workers; false stops the job.
  using TStillWanted = std::function<bool()>;

  // A stream over `source` from its position on, with up to `threads`
  // decoding threads; null when the serial stream is the right one (one
  // thread, one block, or a start that is not a run of blocks), with
  // `source` back at its position.
  static std::unique_ptr<TBZParallelDecompressionStream> Open(platform::File& source, int threads,
                                                              TStillWanted still_wanted);
  // Stops and joins the workers.
  ~TBZParallelDecompressionStream();
  TBZParallelDecompressionStream(const TBZParallelDecompressionStream&) = delete;
  TBZParallelDecompressionStream& operator=(const TBZParallelDecompressionStream&) = delete;

  // Fills `buffer` as far as the data goes.  Damage is raised as the serial
  // stream raises it (EBZDecompressionError), once everything decoded
  // before it has been given out; a failed read of the source raises the
  // file layer's error.
  std::size_t Read(void* buffer, std::size_t count);

  struct TJob;

 private:
  explicit TBZParallelDecompressionStream(std::unique_ptr<TJob> job);
  std::unique_ptr<TJob> job_;
};

}  // namespace quorvane
