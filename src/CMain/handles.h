// The handles the host holds: each names one object of the plugin's (an
// open archive, an in-memory job).  A value the plugin never issued, or one
// already closed, finds nothing instead of reaching freed memory.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "CMain/module.h"
#include "platform/platform.h"

namespace quorvane {

// What a handle can name: an object with its own progress callback in `pdp`
// and its own lock in `lock`, under which the callback is replaced.
template <typename T>
concept THandleObject = requires(T& object) {
  requires std::same_as<decltype(object.pdp), TProgress>;
  requires std::same_as<decltype(object.lock), platform::Mutex>;
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

  // Gives the object behind `handle` the callback, under the object's own
  // lock; false for an unknown handle.
  bool SetCallback(void* handle, const TCallback& callback) const {
    const std::shared_ptr<T> item = Find(handle);
    if (!item) return false;
    std::lock_guard guard(item->lock);
    callback.ApplyTo(item->pdp);
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
