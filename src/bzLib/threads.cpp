// The thread count and the process-wide allowance of worker threads.
#include "bzLib/threads.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace quorvane::parallel {
namespace {

constexpr char kThreadsVariable[] = "QUORVANE_THREADS";

struct Allowance {
  platform::Mutex lock;
  int in_use = 0;
};

Allowance& allowance() {
  static Allowance instance;
  return instance;
}

}  // namespace

int ConfiguredThreads() {
  const std::string value = platform::EnvironmentValue(kThreadsVariable);
  int threads = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), threads);
  if (error == std::errc() && end == value.data() + value.size() && threads >= 1) {
    return std::min(threads, kMaxThreads);
  }
  if (error == std::errc::result_out_of_range) return kMaxThreads;
  return std::clamp(platform::ProcessorCount(), 1, kDefaultThreadCap);
}

TWorkerGrant::TWorkerGrant(TWorkerGrant&& other) noexcept : count_(std::exchange(other.count_, 0)) {}

TWorkerGrant& TWorkerGrant::operator=(TWorkerGrant&& other) noexcept {
  if (this != &other) {
    Release();
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

TWorkerGrant::~TWorkerGrant() { Release(); }

TWorkerGrant TWorkerGrant::Take(int wanted) {
  const int limit = ConfiguredThreads();
  Allowance& shared = allowance();
  std::lock_guard guard(shared.lock);
  TWorkerGrant grant;
  grant.count_ = std::clamp(limit - shared.in_use, 0, std::max(wanted, 0));
  shared.in_use += grant.count_;
  return grant;
}

void TWorkerGrant::Release() noexcept {
  if (count_ == 0) return;
  Allowance& shared = allowance();
  std::lock_guard guard(shared.lock);
  shared.in_use -= count_;
  count_ = 0;
}

}  // namespace quorvane::parallel
