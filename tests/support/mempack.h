// The host side of in-memory packing: one job driven call by call, and a
// whole job run from start to end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host.h"

namespace qvtest {

// One answer of PackToMem with the counts it left.
struct MemPackCall {
  int answer;
  int taken;
  int written;
};

// One in-memory packing job, driven as a host drives it.  What the plugin
// delivers while answering 0 is collected in archive().
class MemPackJob {
 public:
  // Starts a job for `target` through StartMemPack.
  MemPackJob(const Plugin& plugin, std::string target);
  // Drives a job the caller started (StartMemPackW, say), or a handle of the
  // caller's choosing.
  static MemPackJob On(const Plugin& plugin, void* handle);

  void* handle() const { return handle_; }

  // Pushes input, with room for output.
  MemPackCall Push(const char* data, int length);
  MemPackCall Push(const std::string& data) { return Push(data.data(), static_cast<int>(data.size())); }
  // One call without input; the counts it leaves untouched stay -77.
  MemPackCall Pull(int capacity);
  // Pulls until the answer is not 0 (a bounded number of times).
  std::vector<MemPackCall> PullAll(int capacity);

  const std::string& archive() const { return archive_; }

 private:
  explicit MemPackJob(const Plugin& plugin) : plugin_(&plugin) {}
  MemPackCall Call(char* input, int length, int capacity);

  const Plugin* plugin_;
  std::string target_;
  void* handle_ = nullptr;
  std::vector<char> out_ = std::vector<char>(65536);
  std::string archive_;
};

// What a host gets from one whole in-memory packing job.
struct MemPackRun {
  int input_result = -1;  // the first answer other than 0 while input was pushed; -1: none
  int result = -1;        // the first answer other than 0 while pulling: 1 when the archive came out whole
  int after = -1;         // the answer to one more call after `result`
  std::string archive;    // the bytes handed out

  // The code the job failed with, 0 when it did not.
  int Failure() const { return input_result > 1 ? input_result : result > 1 ? result : 0; }
  // Whether the job is over: it answers 1 (finished) in the end.
  bool Finished() const { return result == 1 || after == 1; }
};

// Pushes `input` into the job `handle` in pieces of `piece` bytes, then pulls
// the archive out `capacity` bytes at a time until an answer other than 0,
// and ends the job (DoneMemPack).  Gives up (result -1) after far more calls
// than the job needs.
MemPackRun RunMemPack(const Plugin& plugin, void* handle, const std::string& input,
                      std::size_t piece = 65536, int capacity = 65536);
// The same for a job started for `archive_name` through StartMemPack.
MemPackRun RunMemPack(const Plugin& plugin, const std::string& archive_name,
                      const std::string& input, std::size_t piece = 65536, int capacity = 65536);

}  // namespace qvtest
