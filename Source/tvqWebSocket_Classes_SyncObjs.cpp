#include "tvqWebSocket_Classes_SyncObjs.h"

#include <cinttypes>
#include <cstdio>

void TtvqCriticalSection::Acquire() noexcept {
  const auto self = std::this_thread::get_id();
  if (FOwner.load(std::memory_order_relaxed) == self) {
    ++FDepth;
    return;
  }
  try {
    FMutex.lock();
  } catch (...) {
    return;  // swallowed: the lock is not held, and a Release will be ignored
  }
  FOwner.store(self, std::memory_order_relaxed);
  FDepth = 1;
}

bool TtvqCriticalSection::TryAcquire() noexcept {
  const auto self = std::this_thread::get_id();
  if (FOwner.load(std::memory_order_relaxed) == self) {
    ++FDepth;
    return true;
  }
  if (!FMutex.try_lock()) return false;
  FOwner.store(self, std::memory_order_relaxed);
  FDepth = 1;
  return true;
}

void TtvqCriticalSection::Release() noexcept {
  if (FOwner.load(std::memory_order_relaxed) != std::this_thread::get_id()) return;
  if (--FDepth == 0) {
    FOwner.store(std::thread::id{}, std::memory_order_relaxed);
    FMutex.unlock();
  }
}

namespace tvq_detail {

void ThrowDuplicate(const void* aItem) {
  char text[64];
  std::snprintf(text, sizeof text, "List does not allow duplicates ($0%" PRIXPTR ")",
                reinterpret_cast<std::uintptr_t>(aItem));
  throw EListError(text);
}

void ThrowIndexOutOfBounds(std::size_t aIndex) {
  throw EListError("List index out of bounds (" + std::to_string(aIndex) + ")");
}

}  // namespace tvq_detail
