// One in-memory packing job: data pushed into the plugin piece by piece, the
// archive it hands back written to an ArchiveOutput as it comes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"

namespace wcx {

class MemPackJob {
 public:
  // `job_name` is the archive name the plugin is told, from which it
  // makes the stored name.
  MemPackJob(const Plugin& plugin, const std::string& job_name, ArchiveOutput& output);
  MemPackJob(const MemPackJob&) = delete;
  MemPackJob& operator=(const MemPackJob&) = delete;
  ~MemPackJob();

  // Pushes input; false once the plugin has given up (see result()).
  bool Push(const char* data, std::size_t length);
  // Ends the input and collects the finished archive.  After an interrupt
  // the plugin is still called, so it can stop and clean up through its
  // own progress callback.
  void Finish();
  // Ends a job that is being given up: the callback answers "stop", so
  // the plugin ends early; whatever it answers is of no interest.
  void Cancel() noexcept;
  // Raises the failure that ended the job, if any.
  void Check() const;

  int result() const noexcept { return result_; }
  std::uint64_t pushed() const noexcept { return pushed_; }

 private:
  void Emit(int written);

  const Plugin& plugin_;
  ArchiveOutput& output_;
  std::vector<char> buffer_;
  void* handle_ = nullptr;
  int result_ = 0;
  std::uint64_t pushed_ = 0;
};

}  // namespace wcx
