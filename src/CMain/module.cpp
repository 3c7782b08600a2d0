// The module's load and unload.  Everything here is built when the host
// loads the plugin and torn down when it unloads it; the open archives and
// the in-memory jobs are owned by their own tables (reader.cpp, mempack.cpp),
// whose destructors release whatever the host left behind.
#include "CMain/module.h"

#include <atomic>
#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "unique_name.h"

namespace quorvane {
namespace {

struct Directories {
  platform::Path temp_dir;
  platform::Path module_dir;

  Directories() {
    qvcommon::SeedRandom();
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
  std::unordered_map<std::uint64_t, TProgress> by_thread;
};

PackingCallbacks packing_callbacks;

std::atomic<std::uintptr_t> last_handle{0};

}  // namespace

const platform::Path& ModuleDir() { return directories.module_dir; }
const platform::Path& TempDir() { return directories.temp_dir; }

void TCallback::ApplyTo(TProgress& progress) const {
#ifdef _WIN32
  if (wide) {
    progress.proc_w = proc_w;
    return;
  }
#endif
  progress.proc = proc;
}

TProgressText::TProgressText(std::string_view utf8, const platform::Path& path)
    : host(platform::MessageToHost(utf8) + platform::ToHost(path)) {
#ifdef _WIN32
  wide = platform::MessageToWide(utf8) + path;
#endif
}

int ReportProgress(const TProgress& progress, const TProgressText* text, int size) {
#ifdef _WIN32
  if (progress.proc_w)
    return progress.proc_w(text ? const_cast<wchar_t*>(text->wide.c_str()) : nullptr, size);
#endif
  if (!progress.proc) return 1;
  return progress.proc(text ? const_cast<char*>(text->host.c_str()) : nullptr, size);
}

TProgress PackingCallback() {
  std::lock_guard guard(packing_callbacks.lock);
  auto found = packing_callbacks.by_thread.find(platform::CurrentThreadId());
  return found == packing_callbacks.by_thread.end() ? TProgress() : found->second;
}

void SetPackingCallback(const TCallback& callback) {
  std::lock_guard guard(packing_callbacks.lock);
  TProgress& progress = packing_callbacks.by_thread[platform::CurrentThreadId()];
  callback.ApplyTo(progress);
  bool empty = !progress.proc;
#ifdef _WIN32
  empty = empty && !progress.proc_w;
#endif
  if (empty) packing_callbacks.by_thread.erase(platform::CurrentThreadId());
}

std::uintptr_t NewHandleValue() {
  std::uintptr_t value;
  do {
    value = ++last_handle;
  } while (value == 0 || value == static_cast<std::uintptr_t>(-1));
  return value;
}

int GetPackerCaps() {
  return wcx::PK_CAPS_NEW | wcx::PK_CAPS_OPTIONS | wcx::PK_CAPS_MEMPACK | wcx::PK_CAPS_BY_CONTENT |
         wcx::PK_CAPS_SEARCHTEXT;
}

void ExtensionInitialize(const wcx::tExtensionStartupInfo* info) {
  constexpr std::uint32_t kNeeded =
      offsetof(wcx::tExtensionStartupInfo, MessageBox) + sizeof(info->MessageBox);
  if (info && info->StructSize >= kNeeded) platform::SetHostMessageBox(info->MessageBox);
}

}  // namespace quorvane
