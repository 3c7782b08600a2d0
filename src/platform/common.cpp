// The parts of the platform layer that need no system call of their own:
// the choice between the host's message box and the system's, the fault
// points of the test flavour, and what a thread handle does on either system.
#include <atomic>
#include <new>
#include <string>
#include <utility>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/system.h"

namespace platform {
namespace {

std::atomic<HostMessageBox> host_message_box{nullptr};

}  // namespace

void SetHostMessageBox(HostMessageBox message_box) noexcept { host_message_box = message_box; }

void ShowMessage(const std::string& text, const std::string& caption) noexcept {
  HostMessageBox box = host_message_box.load();
  if (!box) {
    ShowSystemMessage(text, caption);
    return;
  }
  try {
    // The host's box takes mutable strings.
    std::string text_copy = text, caption_copy = caption;
    box(text_copy.data(), caption_copy.data(), 0);
  } catch (...) {
    // Nowhere left to report to.
  }
}

#ifdef QUORVANE_FAULT_INJECTION
namespace faults {
namespace {
std::atomic<long> armed[kKinds];
std::atomic<long> calls[kKinds];
}  // namespace

bool Hit(Kind kind) noexcept {
  long n = ++calls[kind];
  return armed[kind] != 0 && n == armed[kind];
}

void Arm(int kind, long n) noexcept {
  if (kind < 0 || kind >= kKinds) return;
  calls[kind] = 0;
  armed[kind] = n;
}

long Calls(int kind) noexcept { return kind >= 0 && kind < kKinds ? calls[kind].load() : 0; }
}  // namespace faults
#endif

// ---------------------------------------------------------------- threads

Thread::Thread(Thread&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), started_(std::exchange(other.started_, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
  if (this != &other) {
    Join();
    handle_ = std::exchange(other.handle_, 0);
    started_ = std::exchange(other.started_, false);
  }
  return *this;
}

Thread::~Thread() { Join(); }

}  // namespace platform

#if defined(QUORVANE_FAULT_INJECTION) && !defined(_WIN32)
// The test flavour's allocation, which the armed call fails.  The export
// list keeps it inside the module, so it counts the plugin's allocations and
// nobody else's.  Not on Windows, where the runtime is linked in and its
// nothrow form would call back into this one.
void* operator new(std::size_t size) {
  void* memory = nullptr;
  if (!platform::faults::Hit(platform::faults::kAlloc)) memory = ::operator new(size, std::nothrow);
  if (!memory) throw std::bad_alloc();
  return memory;
}
#endif
