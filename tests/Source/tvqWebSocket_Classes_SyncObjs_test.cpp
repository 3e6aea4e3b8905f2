#include "tvqWebSocket_Classes_SyncObjs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// TryAcquire from another thread: tells whether the lock is free for others.
bool FreeForOthers(TtvqCriticalSection& cs) {
  return std::async(std::launch::async, [&cs] {
           if (!cs.TryAcquire()) return false;
           cs.Release();
           return true;
         }).get();
}

TEST(TtvqCriticalSection, IsReentrantAndNeedsEveryRelease) {
  TtvqCriticalSection cs;
  cs.Acquire();
  cs.Acquire();
  EXPECT_TRUE(cs.TryAcquire());
  cs.Release();
  cs.Release();
  EXPECT_FALSE(FreeForOthers(cs));
  cs.Release();
  EXPECT_TRUE(FreeForOthers(cs));
}

TEST(TtvqCriticalSection, ReleaseByANonHolderIsIgnored) {
  TtvqCriticalSection cs;
  cs.Acquire();
  std::thread([&cs] { cs.Release(); }).join();
  EXPECT_FALSE(FreeForOthers(cs));
  cs.Release();
  cs.Release();  // one too many: ignored as well
  EXPECT_TRUE(FreeForOthers(cs));
}

TEST(TtvqCriticalSection, ExcludesOtherThreads) {
  TtvqCriticalSection cs;
  long counter = 0;  // guarded by cs only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        TtvqLock outer(cs);
        TtvqLock inner(cs);
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
}

struct Item {
  int value;
};

std::vector<int> Values(TtvqThreadList<Item>& list) {
  std::vector<int> out;
  auto items = list.Lock();
  for (Item* item : *items) out.push_back(item->value);
  return out;
}

TEST(TtvqThreadList, AddOfAReferenceAlreadyPresentFollowsDuplicates) {
  Item a{1};
  struct Case {
    TDuplicates mode;
    std::vector<int> expected;
    bool raises;
  };
  for (const Case& c : {Case{dupIgnore, {1}, false}, Case{dupAccept, {1, 1}, false},
                        Case{dupError, {1}, true}}) {
    SCOPED_TRACE(c.mode);
    TtvqThreadList<Item> list;
    list.Duplicates = c.mode;
    list.Add(&a);
    if (c.raises) {
      try {
        list.Add(&a);
        ADD_FAILURE() << "no error raised";
      } catch (const EListError& e) {
        EXPECT_THAT(e.what(), HasSubstr("List does not allow duplicates ($0"));
      }
    } else {
      list.Add(&a);
    }
    EXPECT_EQ(Values(list), c.expected);
  }
}

TEST(TtvqThreadList, DefaultListIgnoresDuplicatesSilently) {
  TtvqThreadList<Item> list;
  Item a{1};
  list.Add(&a);
  EXPECT_NO_THROW(list.Add(&a));
  EXPECT_THAT(Values(list), ElementsAre(1));
}

TEST(TtvqThreadList, KeepsNoKeyIndex) {
  TtvqThreadList<Item> list;
  Item a{1};
  list.AddKey(&a, "k");
  EXPECT_EQ(list.GetValue("k"), nullptr);
  list.SetListType(tdlThreadDictionary);
  EXPECT_EQ(list.ListType(), tdlOnlyThread);
  list.DeleteKey(0, "ignored");
  EXPECT_TRUE(list.IsEmpty());
}

TEST(TtvqThreadList, RemoveItemSearchesFromTheChosenEnd) {
  Item a{1}, b{2}, a2{3};
  struct Case {
    TtvqListDirection direction;
    std::vector<Item*> expected;
  };
  for (const Case& c : {Case{FromBeginning, {&b, &a}}, Case{FromEnd, {&a, &b}}}) {
    TtvqThreadList<Item> list;
    list.Duplicates = dupAccept;
    list.Add(&a);
    list.Add(&b);
    list.Add(&a);
    list.RemoveItem(&a, c.direction);
    EXPECT_EQ(*list.Lock(), c.expected) << c.direction;
  }
  TtvqThreadList<Item> list;
  list.Add(&a);
  list.Remove(&a2);  // absent: nothing happens
  EXPECT_THAT(Values(list), ElementsAre(1));
}

TEST(TtvqThreadList, DeleteOutsideTheListRaises) {
  TtvqThreadList<Item> list;
  Item a{1};
  list.Add(&a);
  EXPECT_THROW(list.Delete(1), EListError);
  list.Delete(0);
  EXPECT_TRUE(list.IsEmpty());
}

TEST(TtvqThreadList, IsEmptyFollowsEditsMadeThroughLockList) {
  TtvqThreadList<Item> list;
  Item a{1};
  list.LockList().push_back(&a);
  list.UnlockList();
  EXPECT_FALSE(list.IsEmpty());
  {
    auto items = list.Lock();
    items->clear();
  }
  EXPECT_TRUE(list.IsEmpty());
}

TEST(TtvqThreadList, HolderOfLockListMayCallOtherOperations) {
  TtvqThreadList<Item> list;
  Item a{1}, b{2};
  auto items = list.Lock();
  list.Add(&a);  // re-entrant: does not dead-lock
  list.Add(&b);
  list.Remove(&a);
  EXPECT_EQ(items->size(), 1u);
}

TEST(TtvqThreadList, ConcurrentAddAndRemoveKeepTheListConsistent) {
  constexpr int kThreads = 4, kPerThread = 2000;
  std::vector<Item> items(kThreads * kPerThread);
  TtvqThreadList<Item> list;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        Item* mine = &items[static_cast<std::size_t>(t * kPerThread + i)];
        list.Add(mine);
        list.Add(mine);  // ignored duplicate
        if (i % 2 == 0) list.Remove(mine);
        (void)list.IsEmpty();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(list.Lock()->size(), static_cast<std::size_t>(kThreads * kPerThread / 2));
}

}  // namespace
