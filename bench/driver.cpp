// Benchmark driver: loads the plugin the way a file manager does and runs one
// operation through its exported entry points, so that bench/run can time it,
// count its instructions under callgrind and read its peak memory.
//
//   driver PLUGIN pack SOURCE ARCHIVE
//   driver PLUGIN extract ARCHIVE OUTPUT
//   driver PLUGIN test ARCHIVE
//   driver PLUGIN list ARCHIVE ITERATIONS    (prints microseconds per listing)
//
// The exit status is the plugin's result code (0 on success).  With
// QV_BENCH_IO set, it also prints "io READ WRITTEN": the bytes the operation
// read and wrote through system calls (/proc/self/io), loading aside.
#include <dlfcn.h>

#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using ProcessDataProc = int (*)(char*, int);

struct Plugin {
  void* (*OpenArchive)(void*) = nullptr;
  int (*ReadHeader)(void*, void*) = nullptr;
  int (*ProcessFile)(void*, int, char*, char*) = nullptr;
  int (*CloseArchive)(void*) = nullptr;
  void (*SetProcessDataProc)(void*, ProcessDataProc) = nullptr;
  int (*PackFiles)(char*, char*, char*, char*, int) = nullptr;
};

template <typename F>
void Bind(void* module, const char* name, F& slot) {
  void* address = dlsym(module, name);
  if (address == nullptr) {
    std::fprintf(stderr, "driver: the plugin lacks %s\n", name);
    std::exit(100);
  }
  slot = reinterpret_cast<F>(address);
}

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

constexpr std::size_t kOpenRecordSize = 64;
constexpr std::size_t kHeaderRecordSize = 576;
constexpr std::size_t kOpenResultOffset = 12;

// Opens, lists and (for operation >= 0) processes the single entry.
int RunArchive(const Plugin& plugin, const std::string& archive, int operation,
               const char* output) {
  std::vector<char> open_record(kOpenRecordSize, 0);
  char* name = const_cast<char*>(archive.c_str());
  std::memcpy(open_record.data(), &name, sizeof name);
  void* handle = plugin.OpenArchive(open_record.data());
  if (handle == nullptr) {
    std::int32_t result = 0;
    std::memcpy(&result, open_record.data() + kOpenResultOffset, sizeof result);
    return result != 0 ? result : 14;
  }
  plugin.SetProcessDataProc(handle, KeepGoing);
  std::vector<char> header(kHeaderRecordSize, 0);
  int result = plugin.ReadHeader(handle, header.data());
  if (result == 0 && operation >= 0) {
    result = plugin.ProcessFile(handle, operation, nullptr, const_cast<char*>(output));
  }
  if (result == 0 && plugin.ReadHeader(handle, header.data()) != 10) result = 99;
  plugin.CloseArchive(handle);
  return result;
}

int Pack(const Plugin& plugin, const std::string& source, const std::string& archive) {
  std::string directory = ".";
  std::string name = source;
  if (auto slash = source.rfind('/'); slash != std::string::npos) {
    directory = source.substr(0, slash + 1);
    name = source.substr(slash + 1);
  }
  std::vector<char> add_list(name.begin(), name.end());
  add_list.push_back('\0');
  add_list.push_back('\0');
  plugin.SetProcessDataProc(nullptr, KeepGoing);
  return plugin.PackFiles(const_cast<char*>(archive.c_str()), nullptr,
                          const_cast<char*>(directory.c_str()), add_list.data(), 0);
}

int Usage() {
  std::fprintf(stderr,
               "usage: driver PLUGIN pack SOURCE ARCHIVE | extract ARCHIVE OUTPUT |"
               " test ARCHIVE | list ARCHIVE ITERATIONS\n");
  return 100;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::setlocale(LC_ALL, "C.UTF-8");
  void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::fprintf(stderr, "driver: %s\n", dlerror());
    return 100;
  }
  Plugin plugin;
  Bind(module, "OpenArchive", plugin.OpenArchive);
  Bind(module, "ReadHeader", plugin.ReadHeader);
  Bind(module, "ProcessFile", plugin.ProcessFile);
  Bind(module, "CloseArchive", plugin.CloseArchive);
  Bind(module, "SetProcessDataProc", plugin.SetProcessDataProc);
  Bind(module, "PackFiles", plugin.PackFiles);

  const std::string command = argv[2];
  int result = 0;
  const IoCounts before = ReadIoCounts();
  if (command == "pack" && argc == 5) {
    result = Pack(plugin, argv[3], argv[4]);
  } else if (command == "extract" && argc == 5) {
    result = RunArchive(plugin, argv[3], 2, argv[4]);
  } else if (command == "test" && argc == 4) {
    result = RunArchive(plugin, argv[3], 1, "quorvane-test");
  } else if (command == "list" && argc == 5) {
    const long iterations = std::strtol(argv[4], nullptr, 10);
    if (iterations <= 0) return Usage();
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < iterations && result == 0; ++i) {
      result = RunArchive(plugin, argv[3], -1, nullptr);
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
  if (result != 0) std::fprintf(stderr, "driver: %s ended with code %d\n", command.c_str(), result);
  dlclose(module);
  return result;
}
