// The handles the host holds: each names one object of the plugin's (an
// open archive, an in-memory job).  A value the plugin never issued, or one
// already closed, finds nothing instead of reaching freed memory.  Each
// object runs one operation at a time and takes a new callback at any time,
// and no call on it ever waits for itself.
#pragma once

#include <atomic>
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "CMain/module.h"
#include "platform/platform.h"

namespace quorvane {

// A progress callback that can be replaced at any moment, from any thread,
// without waiting: its users take a copy when they report (an archive's
// operation once, when it starts).
class TProgressSlot {
 public:
  TProgress Get() const {
    std::lock_guard guard(lock_);
    return progress_;
  }
  void Set(const TCallback& callback) {
    std::lock_guard guard(lock_);
    callback.ApplyTo(progress_);
  }
  void Set(const TProgress& progress) {
    std::lock_guard guard(lock_);
    progress_ = progress;
  }

 private:
  mutable platform::Mutex lock_;  // never held across a call out
  TProgress progress_;
};

// One operation at a time on an object, whatever thread calls: another
// thread's call waits for the one under way.  A call from inside the
// operation under way (its progress callback calling back in, on the same
// thread) is turned away instead of waiting for itself forever.
class TOperationLock {
 public:
  // False, at once, when the calling thread is already inside.
  bool Enter() {
    const std::uint64_t caller = platform::CurrentThreadId();
    if (owner_.load() == caller) return false;
    mutex_.lock();
    owner_.store(caller);
    return true;
  }
  void Leave() {
    owner_.store(0);
    mutex_.unlock();
  }

 private:
  platform::Mutex mutex_;
  std::atomic<std::uint64_t> owner_{0};  // no thread has the id 0
};

// Holds an object's operation lock for a scope, when it could be entered.
class TEntered {
 public:
  explicit TEntered(TOperationLock& lock) : lock_(lock.Enter() ? &lock : nullptr) {}
  ~TEntered() {
    if (lock_) lock_->Leave();
  }
  TEntered(const TEntered&) = delete;
  TEntered& operator=(const TEntered&) = delete;
  explicit operator bool() const { return lock_ != nullptr; }

 private:
  TOperationLock* lock_;
};

// What a handle can name: an object with its own progress callback in `pdp`
// and its own operation lock in `lock`.
template <typename T>
concept THandleObject = requires(T& object) {
  requires std::same_as<decltype(object.pdp), TProgressSlot>;
  requires std::same_as<decltype(object.lock), TOperationLock>;
};

template <THandleObject T>
class THandleTable {
 public:
  THandleTable() = default;
  THandleTable(const THandleTable&) = delete;
  THandleTable& operator=(const THandleTable&) = delete;

  void* Add(std::shared_ptr<T> item) {
    const std::uintptr_t value = NewHandleValue();
    std::lock_guard guard(lock_);
    items_.emplace(value, std::move(item));
    return reinterpret_cast<void*>(value);
  }

  // The object behind `handle`, kept alive for the caller even if another
  // thread closes the handle meanwhile; null for an unknown handle.
  std::shared_ptr<T> Find(void* handle) const {
    std::lock_guard guard(lock_);
    auto found = items_.find(reinterpret_cast<std::uintptr_t>(handle));
    return found == items_.end() ? nullptr : found->second;
  }

  // Gives the object behind `handle` the callback, for its next operation;
  // false for an unknown handle.
  bool SetCallback(void* handle, const TCallback& callback) const {
    const std::shared_ptr<T> item = Find(handle);
    if (!item) return false;
    item->pdp.Set(callback);
    return true;
  }

  // Takes the object out of the table; null for an unknown handle.
  std::shared_ptr<T> Remove(void* handle) {
    std::lock_guard guard(lock_);
    auto found = items_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (found == items_.end()) return nullptr;
    std::shared_ptr<T> item = std::move(found->second);
    items_.erase(found);
    return item;
  }

 private:
  mutable platform::Mutex lock_;
  std::map<std::uintptr_t, std::shared_ptr<T>> items_;
};

}  // namespace quorvane
