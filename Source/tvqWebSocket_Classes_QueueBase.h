// Public: the generic queue family that every shared index and pending list
// of the library is made of; it knows nothing of connections (those that
// hold connections or their events are declared in tvqWebSocket_Classes.h,
// beside the connection). All queues derive from TtvqThreadList, so each has
// its own lock and every operation holds it for its own duration.
//
// Ownership: a queue whose OwnObjects is true frees each item it removes
// (Delete, DeleteItem, Clear, destruction); AddItem then hands the item over.
// Where AddItem can refuse (TtvqQueueNameListBase), a refused item stays the
// caller's.
//
// Lock order: where two locks are held at once, the outer list's lock is
// taken before the inner queue's, never the other way round.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tvqWebSocket_Classes_SyncObjs.h"

// ---------------------------------------------------------------- items

// Base of everything held in an ID-addressed queue.
class TtvqQueueItemBase {
 public:
  TtvqQueueItemBase() = default;
  explicit TtvqQueueItemBase(std::string aID) : ID(std::move(aID)) {}
  virtual ~TtvqQueueItemBase() = default;
  std::string ID;
};

// An item that belongs to a named queue.
class TtvqQueueNameItemBase : public TtvqQueueItemBase {
 public:
  using TtvqQueueItemBase::TtvqQueueItemBase;
  std::string Queue;
};

// ---------------------------------------------------------------- queues

// Joins names with commas; a name with a blank, a control character, a comma
// or a double quote is enclosed in double quotes, its own quotes doubled.
std::string TtvqDelimitedText(const std::vector<std::string>& aNames);

// A thread list that can own its items.
template <class T>
class TtvqQueueCommon : public TtvqThreadList<T> {
 public:
  ~TtvqQueueCommon() override { TtvqQueueCommon::Clear(); }

  bool OwnObjects() const { return FOwnObjects.load(std::memory_order_relaxed); }
  void SetOwnObjects(bool aValue) { FOwnObjects.store(aValue, std::memory_order_relaxed); }

  std::size_t Count() const {
    TtvqLock guard(this->FLock);
    return this->FList.size();
  }

  void Clear() override { TtvqThreadList<T>::Clear(); }

 protected:
  void ReleaseItem(T* aItem) override {
    if (OwnObjects()) delete aItem;
  }

 private:
  std::atomic<bool> FOwnObjects{false};
};

// A queue of items addressed by their ID (exact, case-sensitive); look-ups
// find the first match from the front.
template <class T = TtvqQueueItemBase>
class TtvqQueueBase : public TtvqQueueCommon<T> {
 public:
  virtual void AddItem(T* aItem) {
    TtvqLock guard(this->FLock);
    this->Append(aItem);
  }

  bool DeleteItem(const std::string& aID) {
    TtvqLock guard(this->FLock);
    const std::ptrdiff_t i = IndexOf(aID);
    if (i < 0) return false;
    this->EraseAt(static_cast<std::size_t>(i));
    return true;
  }

  bool DeleteItem(std::size_t aIndex) {
    TtvqLock guard(this->FLock);
    if (aIndex >= this->FList.size()) return false;
    this->EraseAt(aIndex);
    return true;
  }

  T* GetItem(const std::string& aID) const {
    TtvqLock guard(this->FLock);
    const std::ptrdiff_t i = IndexOf(aID);
    return i < 0 ? nullptr : this->FList[static_cast<std::size_t>(i)];
  }

  T* GetItem(std::size_t aIndex) const { return GetItemByIndex(aIndex); }

  T* GetItemByIndex(std::size_t aIndex) const {
    TtvqLock guard(this->FLock);
    return aIndex < this->FList.size() ? this->FList[aIndex] : nullptr;
  }

 protected:
  // The caller holds FLock.
  std::ptrdiff_t IndexOf(const std::string& aID) const {
    for (std::size_t i = 0; i < this->FList.size(); ++i)
      if (this->FList[i]->ID == aID) return static_cast<std::ptrdiff_t>(i);
    return -1;
  }
};

template <class T = TtvqQueueItemBase>
class TtvqQueue : public TtvqQueueBase<T> {};

// A queue that keeps at most MaxItems items (0: unbounded), dropping the
// oldest to make room. Count, eviction and append are one step.
template <class T = TtvqQueueItemBase>
class TtvqFIFOQueue : public TtvqQueueBase<T> {
 public:
  int MaxItems() const { return FMaxItems.load(std::memory_order_relaxed); }
  void SetMaxItems(int aValue) { FMaxItems.store(aValue, std::memory_order_relaxed); }

  void AddItem(T* aItem) override {
    TtvqLock guard(this->FLock);
    const int max = MaxItems();
    if (max > 0 && this->FList.size() >= static_cast<std::size_t>(max)) this->EraseAt(0);
    this->Append(aItem);
  }

 private:
  std::atomic<int> FMaxItems{0};
};

template <class T = TtvqQueueItemBase>
class TtvqQueueNameBase : public TtvqQueueBase<T> {
 public:
  explicit TtvqQueueNameBase(std::string aQueueName = {}) : QueueName(std::move(aQueueName)) {}
  // Fixed once the queue is in a list.
  std::string QueueName;
};

// One bucket of the connection index: the items, and a first-in-first-out
// cache of the last CacheSize items that a look-up had to find in the queue.
// The cache never owns its items.
//
// A look-up that fills the cache and a deletion that empties it run one at a
// time (FBucketLock), so the cache can never keep an item the queue has
// already freed.
template <class T = TtvqQueueItemBase>
class TtvqCacheQueue {
 public:
  explicit TtvqCacheQueue(std::string aQueueName = {}) : QueueName(std::move(aQueueName)) {}
  TtvqCacheQueue(const TtvqCacheQueue&) = delete;
  TtvqCacheQueue& operator=(const TtvqCacheQueue&) = delete;
  ~TtvqCacheQueue() { Clear(); }

  const std::string QueueName;

  int CacheSize() const { return FCache.MaxItems(); }
  void SetCacheSize(int aValue) { FCache.SetMaxItems(aValue); }
  std::size_t Count() const { return FQueue.Count(); }
  bool OwnObjects() const { return FQueue.OwnObjects(); }
  void SetOwnObjects(bool aValue) { FQueue.SetOwnObjects(aValue); }

  void AddItem(T* aItem) { FQueue.AddItem(aItem); }

  T* GetItem(const std::string& aID) {
    if (CacheSize() <= 0) return FQueue.GetItem(aID);
    TtvqLock guard(FBucketLock);
    if (T* hit = FCache.GetItem(aID)) return hit;
    T* found = FQueue.GetItem(aID);
    if (found) FCache.AddItem(found);
    return found;
  }

  bool DeleteItem(const std::string& aID) {
    TtvqLock guard(FBucketLock);
    if (CacheSize() > 0) FCache.DeleteItem(aID);
    return FQueue.DeleteItem(aID);
  }

  T* GetItemByIndex(std::size_t aIndex) const { return FQueue.GetItemByIndex(aIndex); }

  // Calls aVisitor with the item of aID (or none) while no deletion can
  // free it; returns what aVisitor returns.
  template <class F>
  auto Visit(const std::string& aID, F&& aVisitor) {
    TtvqLock guard(FBucketLock);
    return aVisitor(GetItem(aID));
  }

  void Clear() {
    TtvqLock guard(FBucketLock);
    FCache.Clear();
    FQueue.Clear();
  }

 private:
  TtvqCriticalSection FBucketLock;
  TtvqFIFOQueue<T> FCache;
  TtvqQueue<T> FQueue;
};

// Spreads items over TtvqCacheQueue buckets keyed by the first GroupLevel
// characters of their ID (one bucket for all when GroupLevel <= 0). A
// missing bucket is created by any operation that needs it, look-ups and
// deletions included; finding and creating it is one step under this list's
// lock, so two threads never create two buckets of one key.
template <class T = TtvqQueueItemBase>
class TtvqCacheQueueListBase : public TtvqQueueCommon<TtvqCacheQueue<T>> {
 public:
  TtvqCacheQueueListBase() { this->SetOwnObjects(true); }

  // The cache size of buckets made from now on.
  int CacheSize() const { return FCacheSize.load(std::memory_order_relaxed); }
  void SetCacheSize(int aValue) { FCacheSize.store(aValue, std::memory_order_relaxed); }
  // How many leading characters of an ID make its bucket key; change it
  // only while the list is empty.
  int GroupLevel() const { return FGroupLevel.load(std::memory_order_relaxed); }
  void SetGroupLevel(int aValue) { FGroupLevel.store(aValue, std::memory_order_relaxed); }

  void AddItem(T* aItem) { BucketOf(aItem->ID).AddItem(aItem); }
  // The item may be freed by a deletion as soon as this returns; use Visit
  // to read it safely while other threads delete.
  T* GetItem(const std::string& aID) { return BucketOf(aID).GetItem(aID); }
  template <class F>
  auto Visit(const std::string& aID, F&& aVisitor) {
    return BucketOf(aID).Visit(aID, std::forward<F>(aVisitor));
  }
  bool DeleteItem(const std::string& aID) { return BucketOf(aID).DeleteItem(aID); }

  // The sum of the items of every bucket.
  std::size_t Count() const {
    TtvqLock guard(this->FLock);
    std::size_t sum = 0;
    for (const auto* bucket : this->FList) sum += bucket->Count();
    return sum;
  }

  std::string BucketKey(const std::string& aID) const {
    const int level = GroupLevel();
    if (level <= 0) return {};
    return aID.substr(0, static_cast<std::size_t>(level));
  }

 private:
  TtvqCacheQueue<T>& BucketOf(const std::string& aID) {
    const std::string key = BucketKey(aID);
    TtvqLock guard(this->FLock);
    for (auto* bucket : this->FList)
      if (bucket->QueueName == key) return *bucket;
    auto fresh = std::make_unique<TtvqCacheQueue<T>>(key);
    fresh->SetCacheSize(CacheSize());
    fresh->SetOwnObjects(true);
    this->Append(fresh.get());
    return *fresh.release();
  }

  std::atomic<int> FCacheSize{0};
  std::atomic<int> FGroupLevel{1};
};

// The bucketed index as a standalone object.
template <class T = TtvqQueueItemBase>
class TtvqCacheQueueList {
 public:
  int CacheSize() const { return FQueueCache.CacheSize(); }
  void SetCacheSize(int aValue) { FQueueCache.SetCacheSize(aValue); }
  int GroupLevel() const { return FQueueCache.GroupLevel(); }
  void SetGroupLevel(int aValue) { FQueueCache.SetGroupLevel(aValue); }
  std::size_t Count() const { return FQueueCache.Count(); }

  void AddItem(T* aItem) { FQueueCache.AddItem(aItem); }
  bool DeleteItem(const std::string& aID) { return FQueueCache.DeleteItem(aID); }
  T* GetItem(const std::string& aID) { return FQueueCache.GetItem(aID); }
  template <class F>
  auto Visit(const std::string& aID, F&& aVisitor) {
    return FQueueCache.Visit(aID, std::forward<F>(aVisitor));
  }

 protected:
  TtvqCacheQueueListBase<T> FQueueCache;
};

// A list of named queues; it owns them. Looking a name up creates the queue
// when missing, in one step under this list's lock. Names are found through
// a hash index, so a list of many thousands of names costs no scan per
// look-up.
//
// With Reclaim on, a queue that an item deletion leaves empty is forgotten at
// once (a later look-up of its name makes a new one) and freed in batches,
// so that names nobody uses any more cost nothing; a queue pointer handed
// out by GetQueueByName then stays valid only until the next deletion.
template <class T = TtvqQueueNameItemBase>
class TtvqQueueNameListBase : public TtvqQueueCommon<TtvqQueueNameBase<T>> {
 public:
  using TQueue = TtvqQueueNameBase<T>;

  TtvqQueueNameListBase() { this->SetOwnObjects(true); }

  bool Reclaim = false;

  // The queue with that name; never none.
  TQueue* GetQueueByName(const std::string& aQueueName) {
    TtvqLock guard(this->FLock);
    return QueueOf(aQueueName, true);
  }

  // The queue with that name, or none; never creates one.
  TQueue* FindQueueByName(const std::string& aQueueName) const {
    TtvqLock guard(this->FLock);
    const auto it = FByName.find(aQueueName);
    return it == FByName.end() ? nullptr : it->second;
  }

  // How many names the list knows (reclaimed ones not counted).
  std::size_t NameCount() const {
    TtvqLock guard(this->FLock);
    return FByName.size();
  }

  // Takes the item into the queue named aItem->Queue, unless that queue
  // already holds an item with its ID: then returns false and the item
  // stays the caller's.
  bool AddItem(T* aItem) {
    TtvqLock guard(this->FLock);
    TQueue* queue = QueueOf(aItem->Queue, true);
    auto held = queue->Lock();
    if (queue->GetItem(aItem->ID)) return false;
    queue->AddItem(aItem);
    return true;
  }

  // Removes the first item with that ID from every queue, last queue first.
  void DeleteItem(const std::string& aID) {
    TtvqLock guard(this->FLock);
    for (auto it = this->FList.rbegin(); it != this->FList.rend(); ++it)
      if ((*it)->DeleteItem(aID)) Forget(**it);
    Compact();
  }

  // Removes aID from the queue named aQueueName; false when no queue has
  // that name.
  bool DeleteItem(const std::string& aQueueName, const std::string& aID) {
    TtvqLock guard(this->FLock);
    TQueue* queue = QueueOf(aQueueName, false);
    if (!queue) return false;
    if (queue->DeleteItem(aID)) Forget(*queue);
    Compact();
    return true;
  }

  // The queue names from the last to the first, comma-separated; a name
  // with a blank, a control character, a comma or a double quote is quoted.
  std::string GetQueuesDelimitedText() const {
    std::vector<std::string> names;
    {
      TtvqLock guard(this->FLock);
      for (auto it = this->FList.rbegin(); it != this->FList.rend(); ++it)
        if (IsKnown(**it)) names.push_back((*it)->QueueName);
    }
    return TtvqDelimitedText(names);
  }

  // The sum of the items of every queue.
  std::size_t Count() const {
    TtvqLock guard(this->FLock);
    std::size_t sum = 0;
    for (const auto* queue : this->FList) sum += queue->Count();
    return sum;
  }

  void Clear() override {
    TtvqLock guard(this->FLock);
    FByName.clear();
    FForgotten = 0;
    TtvqQueueCommon<TQueue>::Clear();
  }

  // Whether aQueue is the one its name stands for (not a reclaimed one
  // waiting to be freed). The caller holds the list's lock.
  bool IsKnown(const TQueue& aQueue) const {
    const auto it = FByName.find(aQueue.QueueName);
    return it != FByName.end() && it->second == &aQueue;
  }

 private:
  // The caller holds FLock.
  TQueue* QueueOf(const std::string& aQueueName, bool aCreate) {
    const auto it = FByName.find(aQueueName);
    if (it != FByName.end()) return it->second;
    if (!aCreate) return nullptr;
    auto fresh = std::make_unique<TQueue>(aQueueName);
    fresh->SetOwnObjects(true);
    this->Append(fresh.get());
    FByName.emplace(aQueueName, fresh.get());
    return fresh.release();
  }

  // An emptied queue's name is dropped (Forget); the forgotten queues are
  // freed in one pass once they are half the list (Compact), so that
  // forgetting many names one by one stays linear. The caller holds FLock.
  void Forget(TQueue& aQueue) {
    if (!Reclaim || aQueue.Count() != 0 || !IsKnown(aQueue)) return;
    FByName.erase(aQueue.QueueName);
    ++FForgotten;
  }

  void Compact() {
    if (FForgotten == 0 || FForgotten * 2 < this->FList.size()) return;
    std::vector<TQueue*> all;
    all.swap(this->FList);
    FForgotten = 0;
    for (TQueue* queue : all) {
      if (IsKnown(*queue))
        this->Append(queue);
      else
        this->ReleaseItem(queue);
    }
    this->LockList();  // re-entrant: unlocking once stores the new count
    this->UnlockList();
  }

  std::unordered_map<std::string, TQueue*> FByName;
  std::size_t FForgotten = 0;
};

// ---------------------------------------------------------------- pings

// A ping sent and not yet answered.
class TtvqPing {
 public:
  std::chrono::system_clock::time_point Date;
  std::string Text;
};

// A connection's pings awaiting their pong, oldest first. It owns them:
// Delete, Remove and Clear free what they remove.
class TtvqThreadListQueuePings : public TtvqThreadList<TtvqPing> {
 public:
  TtvqThreadListQueuePings() { Duplicates = dupAccept; }
  ~TtvqThreadListQueuePings() override { Clear(); }

 protected:
  void ReleaseItem(TtvqPing* aItem) override { delete aItem; }
};
