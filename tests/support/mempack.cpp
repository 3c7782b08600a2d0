// Driving in-memory packing jobs.
#include "mempack.h"

#include <utility>

namespace qvtest {

MemPackJob::MemPackJob(const Plugin& plugin, std::string target)
    : plugin_(&plugin), target_(std::move(target)) {
  handle_ = plugin_->StartMemPack(0, target_.data());
}

MemPackJob MemPackJob::On(const Plugin& plugin, void* handle) {
  MemPackJob job(plugin);
  job.handle_ = handle;
  return job;
}

MemPackCall MemPackJob::Call(char* input, int length, int capacity) {
  if (capacity > 0 && static_cast<std::size_t>(capacity) > out_.size()) {
    out_.resize(static_cast<std::size_t>(capacity));
  }
  MemPackCall call{-1, -77, -77};
  call.answer = plugin_->PackToMem(handle_, input, length, &call.taken, out_.data(), capacity,
                                   &call.written, 0);
  if (call.answer == 0 && call.written > 0) {
    archive_.append(out_.data(), static_cast<std::size_t>(call.written));
  }
  return call;
}

MemPackCall MemPackJob::Push(const char* data, int length) {
  return Call(const_cast<char*>(data), length, static_cast<int>(out_.size()));
}

MemPackCall MemPackJob::Pull(int capacity) { return Call(nullptr, 0, capacity); }

std::vector<MemPackCall> MemPackJob::PullAll(int capacity) {
  std::vector<MemPackCall> calls;
  for (int i = 0; i < 10000000; ++i) {
    calls.push_back(Pull(capacity));
    if (calls.back().answer != 0) break;
  }
  return calls;
}

MemPackRun RunMemPack(const Plugin& plugin, void* handle, const std::string& input,
                      std::size_t piece, int capacity) {
  MemPackRun run;
  MemPackJob job = MemPackJob::On(plugin, handle);
  for (std::size_t at = 0; at < input.size(); at += piece) {
    const MemPackCall call = job.Push(input.substr(at, piece));
    if (call.answer != 0) {
      run.input_result = call.answer;
      break;
    }
  }
  const std::size_t limit = 16 + 2 * (input.size() + 4096) / static_cast<std::size_t>(capacity);
  for (std::size_t call = 0; call < limit; ++call) {
    const int answer = job.Pull(capacity).answer;
    if (answer != 0) {
      run.result = answer;
      run.after = job.Pull(capacity).answer;
      break;
    }
  }
  run.archive = job.archive();
  plugin.DoneMemPack(handle);
  return run;
}

MemPackRun RunMemPack(const Plugin& plugin, const std::string& archive_name,
                      const std::string& input, std::size_t piece, int capacity) {
  std::string name = archive_name;
  return RunMemPack(plugin, plugin.StartMemPack(0, name.data()), input, piece, capacity);
}

}  // namespace qvtest
