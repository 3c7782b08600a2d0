// The module's load and unload.  Everything here is built when the host
// loads the plugin and torn down when it unloads it; the open archives and
// the in-memory jobs are owned by their own tables (reader.cpp, mempack.cpp),
// whose destructors release whatever the host left behind.
#include "CMain/module.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <unordered_map>

namespace quorvane {
namespace {

struct Directories {
  platform::Path temp_dir;
  platform::Path module_dir;

  Directories() {
    platform::SeedRandom();
    temp_dir = platform::TempDirectory();
    module_dir = platform::ModuleDirectory();
  }
};

const Directories directories;

// Packing callbacks by thread.  A thread that goes away leaves its entry
// until the module unloads or the thread's id is reused, which only ever
// hands the new thread a callback of the same host.
struct PackingCallbacks {
  platform::Mutex lock;
  std::unordered_map<std::uint64_t, wcx::TProcessDataProc> by_thread;
};

PackingCallbacks packing_callbacks;

std::atomic<std::uintptr_t> last_handle{0};

}  // namespace

const platform::Path& ModuleDir() { return directories.module_dir; }
const platform::Path& TempDir() { return directories.temp_dir; }

int ReportProgress(wcx::TProcessDataProc proc, const char* file_name, int size) {
  if (!proc) return 1;
  return proc(const_cast<char*>(file_name), size);
}

wcx::TProcessDataProc PackingCallback() {
  std::lock_guard guard(packing_callbacks.lock);
  auto found = packing_callbacks.by_thread.find(platform::CurrentThreadId());
  return found == packing_callbacks.by_thread.end() ? nullptr : found->second;
}

void SetPackingCallback(wcx::TProcessDataProc proc) {
  std::lock_guard guard(packing_callbacks.lock);
  if (proc) {
    packing_callbacks.by_thread[platform::CurrentThreadId()] = proc;
  } else {
    packing_callbacks.by_thread.erase(platform::CurrentThreadId());
  }
}

std::uintptr_t NewHandleValue() {
  std::uintptr_t value;
  do {
    value = ++last_handle;
  } while (value == 0 || value == static_cast<std::uintptr_t>(-1));
  return value;
}

int GetPackerCaps() {
  return wcx::kCapsNew | wcx::kCapsOptions | wcx::kCapsMemPack | wcx::kCapsByContent |
         wcx::kCapsSearchText;
}

void ExtensionInitialize(const wcx::tExtensionStartupInfo* info) {
  constexpr std::uint32_t kNeeded =
      offsetof(wcx::tExtensionStartupInfo, MessageBox) + sizeof(info->MessageBox);
  if (info && info->StructSize >= kNeeded) platform::SetHostMessageBox(info->MessageBox);
}

}  // namespace quorvane
