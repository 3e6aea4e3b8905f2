// Public: the re-entrant lock and the lock-guarded list that every container
// shared between threads is built on, and the guard that clears a busy flag.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// Sets a "busy" flag (bool or atomic) back to false when the scope ends,
// however it ends.
template <class TFlag>
class TtvqClearOnExit {
 public:
  explicit TtvqClearOnExit(TFlag& aFlag) : FFlag(aFlag) {}
  ~TtvqClearOnExit() { FFlag = false; }
  TtvqClearOnExit(const TtvqClearOnExit&) = delete;
  TtvqClearOnExit& operator=(const TtvqClearOnExit&) = delete;

 private:
  TFlag& FFlag;
};

// A re-entrant mutual-exclusion lock. The holder may acquire it again and must
// release it as many times. Acquire and Release never report a failure: a
// Release by a thread that does not hold the lock is ignored.
// lock()/unlock()/try_lock() make it usable with std::lock_guard.
class TtvqCriticalSection {
 public:
  TtvqCriticalSection() = default;
  TtvqCriticalSection(const TtvqCriticalSection&) = delete;
  TtvqCriticalSection& operator=(const TtvqCriticalSection&) = delete;

  void Acquire() noexcept;
  void Release() noexcept;
  bool TryAcquire() noexcept;
  bool HeldByCurrentThread() const noexcept {
    return FOwner.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

  void lock() noexcept { Acquire(); }
  void unlock() noexcept { Release(); }
  bool try_lock() noexcept { return TryAcquire(); }

 private:
  std::mutex FMutex;
  std::atomic<std::thread::id> FOwner{};
  std::size_t FDepth = 0;  // guarded by FMutex
};

using TtvqLock = std::lock_guard<TtvqCriticalSection>;

// What Add does with a reference that is already in the list.
enum TDuplicates { dupIgnore, dupAccept, dupError };

enum TtvqThreadListType { tdlThreadDictionary, tdlOnlyThread, tdlOnlyDictionary };

enum TtvqListDirection { FromBeginning, FromEnd };

class EListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace tvq_detail {
[[noreturn]] void ThrowDuplicate(const void* aItem);
[[noreturn]] void ThrowIndexOutOfBounds(std::size_t aIndex);
}  // namespace tvq_detail

// An ordered list of item references guarded by its own re-entrant lock;
// index 0 is the oldest. A plain list does not own its items: removing an
// item only drops the reference. Subclasses that own their items override
// ReleaseItem, which every removal calls while the lock is held.
//
// Every operation holds the lock for its own duration. LockList hands out
// the inner list for compound work; prefer Lock(), which releases for you.
template <class T>
class TtvqThreadList {
 public:
  using TList = std::vector<T*>;

  // Holds the list's lock for its lifetime and gives access to the items.
  class Locked {
   public:
    explicit Locked(TtvqThreadList& aOwner) : FOwner(&aOwner), FList(&aOwner.LockList()) {}
    Locked(Locked&& aOther) noexcept : FOwner(aOther.FOwner), FList(aOther.FList) {
      aOther.FOwner = nullptr;
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    Locked& operator=(Locked&&) = delete;
    ~Locked() {
      if (FOwner) FOwner->UnlockList();
    }
    TList& operator*() const { return *FList; }
    TList* operator->() const { return FList; }

   private:
    TtvqThreadList* FOwner;
    TList* FList;
  };

  TtvqThreadList() = default;
  TtvqThreadList(const TtvqThreadList&) = delete;
  TtvqThreadList& operator=(const TtvqThreadList&) = delete;
  virtual ~TtvqThreadList() = default;

  TDuplicates Duplicates = dupIgnore;

  // The list keeps no key index, whatever is asked for.
  TtvqThreadListType ListType() const { return tdlOnlyThread; }
  void SetListType(TtvqThreadListType) {}

  // Acquires the lock and returns the inner list; UnlockList must follow.
  TList& LockList() {
    FLock.Acquire();
    return FList;
  }
  void UnlockList() {
    if (!FLock.HeldByCurrentThread()) return;  // a stray unlock changes nothing
    FCount.store(FList.size(), std::memory_order_release);
    FLock.Release();
  }
  Locked Lock() { return Locked(*this); }

  void Add(T* aItem) {
    TtvqLock guard(FLock);
    if (Duplicates != dupAccept && std::find(FList.begin(), FList.end(), aItem) != FList.end()) {
      if (Duplicates == dupError) tvq_detail::ThrowDuplicate(aItem);
      return;
    }
    Append(aItem);
  }

  // The key is ignored: the list keeps no dictionary.
  void AddKey(T* aItem, const std::string& /*aKey*/) { Add(aItem); }
  void DeleteKey(std::size_t aIndex, const std::string& /*aKey*/) { Delete(aIndex); }
  T* GetValue(const std::string& /*aKey*/) const { return nullptr; }

  void Delete(std::size_t aIndex) {
    TtvqLock guard(FLock);
    if (aIndex >= FList.size()) tvq_detail::ThrowIndexOutOfBounds(aIndex);
    EraseAt(aIndex);
  }

  // Removes the first occurrence from the front.
  void Remove(T* aItem) { RemoveItem(aItem, FromBeginning); }

  void RemoveItem(T* aItem, TtvqListDirection aDirection) {
    TtvqLock guard(FLock);
    if (aDirection == FromBeginning) {
      auto it = std::find(FList.begin(), FList.end(), aItem);
      if (it != FList.end()) EraseAt(static_cast<std::size_t>(it - FList.begin()));
    } else {
      auto it = std::find(FList.rbegin(), FList.rend(), aItem);
      if (it != FList.rend()) EraseAt(static_cast<std::size_t>(FList.rend() - it - 1));
    }
  }

  virtual void Clear() {
    TtvqLock guard(FLock);
    // Last to first, so that an owning list frees the newest item first.
    while (!FList.empty()) EraseAt(FList.size() - 1);
  }

  // Read without taking the lock: a snapshot that may be stale at once.
  bool IsEmpty() const { return FCount.load(std::memory_order_acquire) == 0; }

 protected:
  // Called under the lock for every item that leaves the list.
  virtual void ReleaseItem(T* /*aItem*/) {}

  // Helpers for subclasses; the caller holds FLock.
  void Append(T* aItem) {
    FList.push_back(aItem);
    FCount.store(FList.size(), std::memory_order_release);
  }
  void EraseAt(std::size_t aIndex) {
    T* item = FList[aIndex];
    FList.erase(FList.begin() + static_cast<std::ptrdiff_t>(aIndex));
    FCount.store(FList.size(), std::memory_order_release);
    ReleaseItem(item);
  }

  TList FList;
  mutable TtvqCriticalSection FLock;

 private:
  std::atomic<std::size_t> FCount{0};
};
