// Worker threads shared by the parallel compressor and decompressor: how many
// a job may use, and the process-wide allowance every job draws them from.
//
// Use: a job asks for ConfiguredThreads() workers with TWorkerGrant::Take,
// and runs its serial path when the grant has fewer than two (one thread
// configured, or other jobs hold the allowance).  It starts its workers as
// platform::Thread (each holds a reference on the module while it runs, so
// an unload cannot pull the code from under it), joins every one of them
// before the entry point that started them returns (an in-memory job: when
// its input ends, on a stop or at DoneMemPack), and only then lets the grant
// go.  Workers never call the host: progress reaches the host from the
// thread the host called on.
#pragma once

#include <chrono>
#include <exception>
#include <functional>

namespace quorvane::parallel {

// Called on the calling thread at least every kHeartbeat while it waits for
// the workers; answering false stops the job.  The host hears from a job at
// least every 250 ms: the heartbeat leaves room for the calling thread's own
// work between two waits, slowed by workers that share its processors.
using TWaitHook = std::function<bool()>;
inline constexpr std::chrono::milliseconds kHeartbeat{100};

// The job was stopped through its wait hook.
class EStopped : public std::exception {
 public:
  const char* what() const noexcept override { return "stopped"; }
};

// The most threads one job uses without being told otherwise.
inline constexpr int kDefaultThreadCap = 16;
// The most it uses at all.
inline constexpr int kMaxThreads = 64;

// QUORVANE_THREADS when it holds a number from 1 on (1: serial; at most
// kMaxThreads), else the processors this process may use, at most
// kDefaultThreadCap.  Read anew for every job.
int ConfiguredThreads();

// A share of the process-wide allowance of worker threads, which is as
// large as ConfiguredThreads() at the time of taking: several jobs at once
// together start no more workers than one would.  Given back when the
// grant is destroyed.
class TWorkerGrant {
 public:
  TWorkerGrant() noexcept = default;
  TWorkerGrant(TWorkerGrant&& other) noexcept;
  TWorkerGrant& operator=(TWorkerGrant&& other) noexcept;
  TWorkerGrant(const TWorkerGrant&) = delete;
  TWorkerGrant& operator=(const TWorkerGrant&) = delete;
  ~TWorkerGrant();

  // Up to `wanted` workers: fewer, or none, when other jobs hold the rest.
  static TWorkerGrant Take(int wanted);
  int count() const noexcept { return count_; }
  // Gives the workers back before the grant's end.
  void Release() noexcept;

 private:
  int count_ = 0;
};

}  // namespace quorvane::parallel
