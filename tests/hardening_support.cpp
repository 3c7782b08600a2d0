// Private plugin copies, the host walk and resource counters for the
// hardening tests.
#include "hardening_support.h"

#include <malloc.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace qvtest {

IsolatedPlugin::IsolatedPlugin(const std::string& module) : root_("qv-hardening") {
  temp_dir_ = root_ / "tmp";
  work_dir_ = root_ / "work";
  const std::string module_dir = root_ / "module";
  for (const std::string& dir : {temp_dir_, work_dir_, module_dir}) {
#ifdef _WIN32
    if (::_mkdir(dir.c_str()) != 0) {
#else
    if (::mkdir(dir.c_str(), 0700) != 0) {
#endif
      std::perror(dir.c_str());
      std::abort();
    }
  }
  // The copy has no bzip2 library beside it, so it binds the system's.
  const std::string copy = CopyPlugin(module_dir, module);
#ifdef _WIN32
  tmpdir_ = std::make_unique<ScopedEnv>("TMP", temp_dir_);  // what GetTempPathW reads first
#else
  tmpdir_ = std::make_unique<ScopedEnv>("TMPDIR", temp_dir_);
#endif
  plugin_ = std::make_unique<Plugin>(copy);
}

IsolatedPlugin::~IsolatedPlugin() {
  plugin_.reset();
  tmpdir_.reset();
}

std::string IsolatedPlugin::Work(const std::string& name) const {
#ifdef _WIN32
  return work_dir_ + "\\" + name;
#else
  return work_dir_ + "/" + name;
#endif
}

Walk WalkArchive(const Plugin& plugin, const std::string& archive, int operation,
                 const std::string& dest_name) {
  Walk walk;
  OpenRecord record(archive);
  void* handle = plugin.OpenArchive(record.data());
  walk.open_result = record.OpenResult();
  walk.opened = handle != nullptr;
  if (!walk.opened) return walk;
  plugin.SetProcessDataProc(handle, ProgressRecorder::Callback);
  HeaderRecord header;
  walk.header = plugin.ReadHeader(handle, header.data());
  if (walk.header == kOk) {
    walk.listed_name = header.FileName();
    std::string name = dest_name;
    walk.process = plugin.ProcessFile(handle, operation, nullptr, name.data());
    walk.second_header = plugin.ReadHeader(handle, header.data());
  }
  plugin.CloseArchive(handle);
  return walk;
}

MemPackRun RunMemPack(const Plugin& plugin, const std::string& archive_name,
                      const std::string& input, std::size_t piece, std::size_t capacity) {
  MemPackRun run;
  std::string name = archive_name;
  void* handle = plugin.StartMemPack(0, name.data());
  for (std::size_t at = 0; at < input.size(); at += piece) {
    std::string chunk = input.substr(at, piece);
    int taken = -1;
    int written = -1;
    const int answer = plugin.PackToMem(handle, chunk.data(), static_cast<int>(chunk.size()),
                                        &taken, nullptr, 0, &written, 0);
    if (answer != 0) {
      run.input_result = answer;
      break;
    }
  }
  std::vector<char> out(capacity);
  const std::size_t limit = 16 + 2 * (input.size() + 4096) / capacity;
  for (std::size_t call = 0; call < limit; ++call) {
    int taken = -1;
    int written = 0;
    const int answer = plugin.PackToMem(handle, nullptr, 0, &taken, out.data(),
                                        static_cast<int>(capacity), &written, 0);
    if (written > 0) run.archive.append(out.data(), static_cast<std::size_t>(written));
    if (answer != 0) {
      run.result = answer;
      run.after = plugin.PackToMem(handle, nullptr, 0, &taken, out.data(),
                                   static_cast<int>(capacity), &written, 0);
      break;
    }
  }
  plugin.DoneMemPack(handle);
  return run;
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

long long HeapInUse() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  const struct mallinfo2 info = mallinfo2();
  // Small blocks in use plus large ones served straight from mmap.
  return static_cast<long long>(info.uordblks + info.hblkhd);
#else
  return -1;
#endif
}

}  // namespace qvtest
