// Benchmark driver: loads the plugin through wcx's host layer, the way a
// file manager does, and runs one operation through its exported entry
// points, so that bench/run can time it, count its instructions under
// callgrind and read its peak memory.
//
//   driver PLUGIN pack SOURCE ARCHIVE
//   driver PLUGIN extract ARCHIVE OUTPUT
//   driver PLUGIN test ARCHIVE
//   driver PLUGIN list ARCHIVE ITERATIONS    (prints microseconds per listing)
//
// The exit status is the plugin's result code (0 on success).  With
// QV_BENCH_IO set, it also prints "io READ WRITTEN": the bytes the operation
// read and wrote through system calls (/proc/self/io), loading aside.
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "plugin.h"
#include "results.h"

namespace {

constexpr int kUsageStatus = 100;
constexpr int kNotAtTheEnd = 99;

// Bytes this process has read and written through system calls so far.
struct IoCounts {
  long long read = -1;
  long long written = -1;
};

IoCounts ReadIoCounts() {
  IoCounts counts;
  if (std::FILE* file = std::fopen("/proc/self/io", "r")) {
    char key[32];
    long long value;
    while (std::fscanf(file, "%31s %lld", key, &value) == 2) {
      if (std::strcmp(key, "rchar:") == 0) counts.read = value;
      if (std::strcmp(key, "wchar:") == 0) counts.written = value;
    }
    std::fclose(file);
  }
  return counts;
}

// A host that never asks to stop; the call itself is part of the real cost.
int KeepGoing(char*, int) { return 1; }

// Opens, lists and (for an operation other than skipping) processes the
// single entry.
int RunArchive(const wcx::Plugin& plugin, const std::string& archive, int operation,
               const char* output) {
  int result = wcx::E_SUCCESS;
  void* handle = plugin.OpenArchive(
      archive, operation == wcx::PK_SKIP ? wcx::PK_OM_LIST : wcx::PK_OM_EXTRACT, result);
  if (handle == nullptr) return result != wcx::E_SUCCESS ? result : wcx::E_UNKNOWN_FORMAT;
  plugin.SetCallbacks(handle, KeepGoing);
  wcx::Entry header;
  result = plugin.ReadHeader(handle, header);
  if (result == wcx::E_SUCCESS && operation != wcx::PK_SKIP) {
    result = plugin.ProcessFile(handle, operation, nullptr, output);
  }
  if (result == wcx::E_SUCCESS && plugin.ReadHeader(handle, header) != wcx::E_END_ARCHIVE) {
    result = kNotAtTheEnd;
  }
  plugin.CloseArchive(handle);
  return result;
}

int Pack(const wcx::Plugin& plugin, const std::string& source, const std::string& archive) {
  std::string directory = ".";
  std::string name = source;
  if (auto slash = source.rfind('/'); slash != std::string::npos) {
    directory = source.substr(0, slash + 1);
    name = source.substr(slash + 1);
  }
  plugin.SetPackingCallback(KeepGoing);
  return plugin.PackFiles(archive, directory, name);
}

int Usage() {
  std::fprintf(stderr,
               "usage: driver PLUGIN pack SOURCE ARCHIVE | extract ARCHIVE OUTPUT |"
               " test ARCHIVE | list ARCHIVE ITERATIONS\n");
  return kUsageStatus;
}

int Run(const wcx::Plugin& plugin, int argc, char** argv) {
  const std::string command = argv[2];
  int result = wcx::E_SUCCESS;
  const IoCounts before = ReadIoCounts();
  if (command == "pack" && argc == 5) {
    result = Pack(plugin, argv[3], argv[4]);
  } else if (command == "extract" && argc == 5) {
    result = RunArchive(plugin, argv[3], wcx::PK_EXTRACT, argv[4]);
  } else if (command == "test" && argc == 4) {
    result = RunArchive(plugin, argv[3], wcx::PK_TEST, "quorvane-test");
  } else if (command == "list" && argc == 5) {
    const long iterations = std::strtol(argv[4], nullptr, 10);
    if (iterations <= 0) return Usage();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations && result == wcx::E_SUCCESS; ++i) {
      result = RunArchive(plugin, argv[3], wcx::PK_SKIP, nullptr);
    }
    const std::chrono::duration<double, std::micro> spent =
        std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", spent.count() / static_cast<double>(iterations));
  } else {
    return Usage();
  }
  if (std::getenv("QV_BENCH_IO") != nullptr) {
    const IoCounts after = ReadIoCounts();
    std::printf("io %lld %lld\n", after.read - before.read, after.written - before.written);
  }
  if (result != wcx::E_SUCCESS) {
    std::fprintf(stderr, "driver: %s ended with code %d\n", command.c_str(), result);
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::setlocale(LC_ALL, "C.UTF-8");
  try {
    const wcx::Plugin plugin = wcx::Plugin::Load(argv[1]);
    return Run(plugin, argc, argv);
  } catch (const wcx::Failure& failure) {
    std::fprintf(stderr, "driver: %s: %s\n", failure.subject().c_str(), failure.what());
    return kUsageStatus;
  }
}
