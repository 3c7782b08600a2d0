// The random source behind unique names: SplitMix64 over one atomic word.
// A constant-initialized atomic needs no start-up code and no system object,
// so it works from the first call in any thread and, on Windows, leaves
// nothing behind when the plugin is unloaded (a mutex of the static runtime
// would).
#include "unique_name.h"

#include <atomic>
#include <chrono>

namespace qvcommon {
namespace {

constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15u;

std::atomic<std::uint64_t> state{0};
std::atomic<bool> seeded{false};

std::uint64_t Mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
  return z ^ (z >> 31);
}

}  // namespace

void SeedRandom() noexcept {
  const auto ticks = static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  const auto place = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&ticks));
  state.store(Mix(ticks) ^ Mix(place + kGoldenGamma));
  seeded.store(true);
}

std::uint32_t NextRandom() noexcept {
  if (!seeded.load()) SeedRandom();
  const std::uint64_t z = Mix(state.fetch_add(kGoldenGamma) + kGoldenGamma);
  return static_cast<std::uint32_t>(z % 2147483647u);
}

}  // namespace qvcommon
