// The parts of the platform layer that need no system call of their own: the
// random source and the unique temporary names drawn from it, the choice
// between the host's message box and the system's, and the fault points of
// the test flavour.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>

#include "platform/faults.h"
#include "platform/platform.h"
#include "platform/system.h"

namespace platform {
namespace {

// Constructed before the ordinary static objects of every other file, since
// the module's start-up elsewhere seeds it.  (A function-local static would
// do the same, but its first-use guard leaves the static runtime's thread
// state behind when the Windows module is unloaded.)
struct RandomSource {
  Mutex lock;
  std::mt19937 engine;
};

RandomSource random_source __attribute__((init_priority(102)));

RandomSource& Random() { return random_source; }

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

void SeedRandom() noexcept {
  // A high-resolution clock, and an address that differs from process to
  // process, so two processes started at once draw different names.
  const auto ticks = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  const auto place = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&ticks));
  std::seed_seq seed{static_cast<std::uint32_t>(ticks), static_cast<std::uint32_t>(ticks >> 32),
                     static_cast<std::uint32_t>(place), static_cast<std::uint32_t>(place >> 32)};
  RandomSource& random = Random();
  std::lock_guard lock(random.lock);
  random.engine.seed(seed);
}

std::uint32_t NextRandom() noexcept {
  RandomSource& random = Random();
  std::lock_guard lock(random.lock);
  return std::uniform_int_distribution<std::uint32_t>(0, 2147483646)(random.engine);
}

File CreateUniqueFile(const Path& directory, PathView prefix, PathView suffix,
                      Visibility visibility, Path& path) {
  for (int attempt = 0;; ++attempt) {
    Path candidate = directory;
    candidate.append(prefix);
    for (char digit : std::to_string(NextRandom())) candidate += static_cast<PathChar>(digit);
    candidate.append(suffix);
    try {
      File file = File::CreateNew(candidate, Share::kNone, visibility);
      path = std::move(candidate);
      return file;
    } catch (const FileExistsError&) {
      if (attempt >= 1000) throw;
    }
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

}  // namespace platform
