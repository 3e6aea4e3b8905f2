#include "tvqWebSocket_Classes_Queues.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// An item that counts its destructions, to show who frees what.
struct Tracked : TtvqQueueItemBase {
  Tracked(std::string id, std::atomic<int>* freed) : TtvqQueueItemBase(std::move(id)), freed(freed) {}
  ~Tracked() override { ++*freed; }
  std::atomic<int>* freed;
};

template <class Q>
std::vector<std::string> Ids(Q& queue) {
  std::vector<std::string> ids;
  auto items = queue.Lock();
  for (auto* item : *items) ids.push_back(item->ID);
  return ids;
}

TEST(TtvqQueueBase, DeleteItemRemovesOnlyTheFirstMatchFromTheFront) {
  std::atomic<int> freed{0};
  TtvqQueue<> queue;
  queue.SetOwnObjects(true);
  auto* first = new Tracked("x", &freed);
  auto* second = new Tracked("x", &freed);
  queue.AddItem(first);
  queue.AddItem(new Tracked("y", &freed));
  queue.AddItem(second);
  EXPECT_TRUE(queue.DeleteItem(std::string("x")));
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(queue.GetItem(std::string("x")), second);
  EXPECT_FALSE(queue.DeleteItem(std::string("X")));  // case counts
  EXPECT_THAT(Ids(queue), ElementsAre("y", "x"));
}

TEST(TtvqQueueBase, IndexAccessOutsideTheQueueGivesNothing) {
  TtvqQueue<> queue;
  TtvqQueueItemBase a("a");
  queue.AddItem(&a);
  EXPECT_EQ(queue.GetItem(std::size_t{0}), &a);
  EXPECT_EQ(queue.GetItemByIndex(1), nullptr);
  EXPECT_FALSE(queue.DeleteItem(std::size_t{1}));
  EXPECT_TRUE(queue.DeleteItem(std::size_t{0}));
  EXPECT_EQ(queue.Count(), 0u);
}

TEST(TtvqQueueCommon, FreesRemovedItemsOnlyWhenItOwnsThem) {
  for (bool own : {false, true}) {
    std::atomic<int> freed{0};
    std::vector<std::unique_ptr<Tracked>> keep;
    {
      TtvqQueue<> queue;
      queue.SetOwnObjects(own);
      for (const char* id : {"a", "b", "c"}) {
        auto item = std::make_unique<Tracked>(id, &freed);
        queue.AddItem(item.get());
        if (own) item.release();
        else keep.push_back(std::move(item));
      }
      queue.DeleteItem(std::string("a"));
      queue.Clear();
      queue.AddItem(own ? new Tracked("d", &freed) : keep.emplace_back(new Tracked("d", &freed)).get());
    }  // destruction clears
    EXPECT_EQ(freed, own ? 4 : 0) << "own=" << own;
  }
}

TEST(TtvqFIFOQueue, DropsTheOldestPastMaxItems) {
  struct Case {
    int maxItems;
    std::vector<std::string> expected;
  };
  for (const Case& c : {Case{3, {"B", "C", "D"}}, Case{0, {"A", "B", "C", "D"}},
                        Case{1, {"D"}}}) {
    TtvqFIFOQueue<> queue;
    queue.SetMaxItems(c.maxItems);
    std::vector<std::unique_ptr<TtvqQueueItemBase>> items;
    for (const char* id : {"A", "B", "C", "D"}) {
      items.push_back(std::make_unique<TtvqQueueItemBase>(id));
      queue.AddItem(items.back().get());
    }
    EXPECT_EQ(Ids(queue), c.expected) << "MaxItems " << c.maxItems;
  }
}

TEST(TtvqCacheQueue, FindsItemsThroughTheCacheAndForgetsDeletedOnes) {
  std::atomic<int> freed{0};
  TtvqCacheQueue<> bucket("A");
  bucket.SetCacheSize(2);
  bucket.SetOwnObjects(true);
  for (const char* id : {"A1", "A2", "A3"}) bucket.AddItem(new Tracked(id, &freed));
  for (int round = 0; round < 2; ++round)  // the second round is served from the cache
    for (const char* id : {"A1", "A2", "A3"}) {
      ASSERT_NE(bucket.GetItem(id), nullptr);
      EXPECT_EQ(bucket.GetItem(id)->ID, id);
    }
  EXPECT_TRUE(bucket.DeleteItem("A3"));
  EXPECT_EQ(freed, 1);
  EXPECT_EQ(bucket.GetItem("A3"), nullptr);  // not served from a stale cache entry
  EXPECT_FALSE(bucket.DeleteItem("A3"));
  EXPECT_EQ(bucket.Count(), 2u);
}

TEST(TtvqCacheQueueListBase, SpreadsItemsOverBucketsByTheLeadingCharacters) {
  struct Case {
    int groupLevel;
    std::vector<std::string> buckets;
  };
  for (const Case& c : {Case{1, {"0", "A", "F"}}, Case{2, {"0A", "A1", "F0"}}, Case{0, {""}},
                        Case{-1, {""}}}) {
    TtvqCacheQueueListBase<> list;
    list.SetGroupLevel(c.groupLevel);
    for (const char* id : {"0A", "A1", "F0", "A1"}) list.AddItem(new TtvqQueueItemBase(id));
    std::vector<std::string> names;
    for (auto* bucket : *list.Lock()) names.push_back(bucket->QueueName);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
              std::set<std::string>(c.buckets.begin(), c.buckets.end()))
        << "GroupLevel " << c.groupLevel;
    EXPECT_EQ(names.size(), c.buckets.size());
    EXPECT_EQ(list.Count(), 4u);
    EXPECT_TRUE(list.DeleteItem("A1"));
    EXPECT_NE(list.GetItem("A1"), nullptr);  // the second A1 remains
    EXPECT_EQ(list.Count(), 3u);
  }
}

TEST(TtvqCacheQueueListBase, LookUpOfAnUnknownBucketLeavesAnEmptyBucket) {
  TtvqCacheQueueListBase<> list;
  EXPECT_EQ(list.GetItem("Zed"), nullptr);
  EXPECT_EQ(list.Lock()->size(), 1u);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_FALSE(list.DeleteItem("Q1"));
  EXPECT_EQ(list.Lock()->size(), 2u);
}

TEST(TtvqCacheQueueListConnections, FindsConnectionsByGuid) {
  std::vector<std::unique_ptr<TtvqWSConnection>> connections(200);
  TtvqCacheQueueListConnections index;
  index.SetCacheSize(100);
  for (auto& c : connections) {
    c = std::make_unique<TtvqWSConnection>();
    index.AddItem(new TtvqQueueItemConnection(c.get()));
  }
  EXPECT_EQ(index.Count(), connections.size());
  for (int round = 0; round < 2; ++round)
    for (auto& c : connections) ASSERT_EQ(index.GetConnection(c->Guid()), c.get());
  EXPECT_TRUE(index.DeleteItem(connections[7]->Guid()));
  EXPECT_EQ(index.GetConnection(connections[7]->Guid()), nullptr);
  EXPECT_EQ(index.GetConnection("0123456789ABCDEF0123456789ABCDEF"), nullptr);
  EXPECT_EQ(index.Count(), connections.size() - 1);
}

TEST(TtvqQueueItemConnection, TakesTheGuidOfItsConnection) {
  TtvqWSConnection connection;
  TtvqQueueItemConnection item(&connection);
  EXPECT_EQ(item.ID, connection.Guid());
  item.SetConnection(nullptr);
  EXPECT_EQ(item.Connection(), nullptr);
  EXPECT_EQ(item.ID, connection.Guid());  // none leaves the ID as it was
}

TEST(TtvqQueueNameListBase, AddItemRefusesAnIdAlreadyInItsQueue) {
  TtvqQueueNameListBase<> list;
  auto item = [](const char* id, const char* queue) {
    auto* i = new TtvqQueueNameItemBase(id);
    i->Queue = queue;
    return i;
  };
  EXPECT_TRUE(list.AddItem(item("1", "q")));
  EXPECT_TRUE(list.AddItem(item("1", "r")));  // other queue: fine
  std::unique_ptr<TtvqQueueNameItemBase> refused(item("1", "q"));
  EXPECT_FALSE(list.AddItem(refused.get()));  // stays ours
  EXPECT_EQ(list.GetQueueByName("q")->Count(), 1u);
  EXPECT_EQ(list.Count(), 2u);
}

TEST(TtvqQueueNameListBase, DeletesById) {
  TtvqQueueNameListBase<> list;
  for (const char* queue : {"a", "b"})
    for (const char* id : {"1", "2"}) {
      auto* i = new TtvqQueueNameItemBase(id);
      i->Queue = queue;
      list.AddItem(i);
    }
  list.DeleteItem("1");
  EXPECT_THAT(Ids(*list.GetQueueByName("a")), ElementsAre("2"));
  EXPECT_THAT(Ids(*list.GetQueueByName("b")), ElementsAre("2"));
  EXPECT_TRUE(list.DeleteItem("a", "2"));
  EXPECT_TRUE(list.DeleteItem("a", "absent"));  // the queue exists
  EXPECT_FALSE(list.DeleteItem("nope", "2"));
  EXPECT_THAT(Ids(*list.GetQueueByName("a")), IsEmpty());
  EXPECT_EQ(list.Count(), 1u);
}

TEST(TtvqQueueNameListBase, DelimitedTextListsTheNewestNameFirst) {
  struct Case {
    std::vector<std::string> created;
    std::string expected;
  };
  for (const Case& c : {
           Case{{"a", "b c"}, "\"b c\",a"},
           Case{{"x,y"}, "\"x,y\""},
           Case{{"say \"hi\""}, "\"say \"\"hi\"\"\""},
           Case{{"tab\there", "plain"}, "plain,\"tab\there\""},
           Case{{"tvq@dataset@update", "tvq@dataset@new"}, "tvq@dataset@new,tvq@dataset@update"},
           Case{{}, ""},
       }) {
    TtvqQueueNameListBase<> list;
    for (const auto& name : c.created) list.GetQueueByName(name);
    EXPECT_EQ(list.GetQueuesDelimitedText(), c.expected);
  }
}

TEST(TtvqQueueListChannels, ListsConnectionsAndChannels) {
  TtvqWSConnection first, second;
  TtvqQueueListChannels channels;
  EXPECT_TRUE(channels.AddItem(new TtvqQueueItemChannel(&first, "update")));
  EXPECT_TRUE(channels.AddItem(new TtvqQueueItemChannel(&second, "update")));
  EXPECT_TRUE(channels.AddItem(new TtvqQueueItemChannel(&first, "delete")));

  std::vector<TtvqWSConnection*> connections;
  channels.GetConnections("update", connections);
  EXPECT_THAT(connections, ElementsAre(&second, &first));  // newest first

  std::vector<TtvqQueueItemChannel*> items;
  channels.GetChannels(first.Guid(), items);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->Queue, "delete");  // last channel first
  EXPECT_EQ(items[1]->Queue, "update");

  connections.clear();
  channels.GetConnections("unknown", connections);
  EXPECT_THAT(connections, IsEmpty());
  EXPECT_EQ(channels.GetQueuesDelimitedText(), "delete,update");  // a look-up makes no channel

  channels.DeleteItem(first.Guid());  // the connection went away
  connections.clear();
  channels.GetConnections("update", connections);
  EXPECT_THAT(connections, ElementsAre(&second));
  EXPECT_EQ(channels.GetQueuesDelimitedText(), "update");  // "delete" had no one left
  EXPECT_EQ(channels.NameCount(), 1u);
}

// Names come and go in their thousands without a scan per name, and none is
// left behind once nobody subscribes; a name used again after it went is a
// fresh channel.
TEST(TtvqQueueListChannels, ForgetsEveryNameItsLastSubscriberLeaves) {
  TtvqWSConnection first, second;
  TtvqQueueListChannels channels;
  constexpr int kNames = 40000;
  for (int i = 0; i < kNames; ++i) {
    channels.AddItem(new TtvqQueueItemChannel(&first, "c" + std::to_string(i)));
    if (i % 2 == 0) channels.AddItem(new TtvqQueueItemChannel(&second, "c" + std::to_string(i)));
  }
  EXPECT_EQ(channels.NameCount(), static_cast<std::size_t>(kNames));
  for (int i = 0; i < kNames; ++i) channels.DeleteItem("c" + std::to_string(i), first.Guid());
  EXPECT_EQ(channels.NameCount(), static_cast<std::size_t>(kNames / 2));  // the second still holds those
  channels.DeleteItem(second.Guid());
  EXPECT_EQ(channels.NameCount(), 0u);
  EXPECT_EQ(channels.Count(), 0u);
  EXPECT_EQ(channels.GetQueuesDelimitedText(), "");

  EXPECT_TRUE(channels.AddItem(new TtvqQueueItemChannel(&first, "c2")));
  std::vector<TtvqWSConnection*> connections;
  channels.GetConnections("c2", connections);
  EXPECT_THAT(connections, ElementsAre(&first));
}

TEST(TtvqWSObjectList, EachOverloadFillsItsFields) {
  TtvqWSConnection connection;
  TtvqWSObjectList list;
  const TtvqBytes bytes{1, 2, 3};
  list.AddNotifyObject(&connection);
  list.AddNotifyObject(&connection, std::string("text"));
  list.AddNotifyObject(&connection, 1002);
  list.AddNotifyObject(&connection, bytes);
  list.AddNotifyObject(&connection, std::string("t"), std::string("t1"));
  list.AddNotifyObject(&connection, bytes, opBinary, true);
  list.AddNotifyObject(&connection, bytes, opContinuation, false);
  list.AddNotifyObject(&connection, std::string("boom"),
                       std::make_exception_ptr(std::runtime_error("raw")));

  struct Expected {
    int Int;
    std::string Text, Text1;
    TtvqBytes Stream;
    bool hasException;
  };
  const std::vector<Expected> expected{
      {0, "", "", {}, false},      {0, "text", "", {}, false}, {1002, "", "", {}, false},
      {0, "", "", bytes, false},   {0, "t", "t1", {}, false},  {opBinary, "", "1", bytes, false},
      {opContinuation, "", "0", bytes, false}, {0, "boom", "", {}, true},
  };
  auto items = list.Lock();
  ASSERT_EQ(items->size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const TtvqWSNotifyObject& o = *(*items)[i];
    EXPECT_EQ(o.Connection, &connection);
    EXPECT_EQ(o.Int, expected[i].Int);
    EXPECT_EQ(o.Text, expected[i].Text);
    EXPECT_EQ(o.Text1, expected[i].Text1);
    EXPECT_EQ(o.Stream, expected[i].Stream);
    EXPECT_EQ(static_cast<bool>(o.RawException), expected[i].hasException);
  }
}

TEST(TtvqWSObjectList, FreeingANotifyObjectLeavesItsExceptionAlive) {
  std::exception_ptr raw = std::make_exception_ptr(std::runtime_error("still here"));
  {
    TtvqWSObjectList list;
    list.AddNotifyObject(nullptr, std::string("e"), raw);
    list.DeleteAll();
    EXPECT_TRUE(list.IsEmpty());
  }
  try {
    std::rethrow_exception(raw);
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "still here");
  }
}

TEST(TtvqQueueList, FreeObjectsEmptiesTheList) {
  TtvqQueueList list;
  for (int i = 0; i < 3; ++i) {
    auto* o = new TtvqQueueObject;
    o->Text = "m" + std::to_string(i);
    list.Add(o);
  }
  list.FreeObjects();  // LeakSanitizer reports it if the objects were not freed
  EXPECT_TRUE(list.IsEmpty());
  list.Add(new TtvqQueueObject);  // destruction frees what is left
}

TEST(TtvqThreadListQueuePings, FreesAnsweredPings) {
  TtvqThreadListQueuePings pings;
  pings.Add(new TtvqPing{std::chrono::system_clock::now(), "a"});
  pings.Add(new TtvqPing{std::chrono::system_clock::now(), "a"});
  EXPECT_EQ(pings.Lock()->size(), 2u);  // the same text may be pending twice
  pings.Delete(0);
  EXPECT_EQ(pings.Lock()->size(), 1u);
}

// Connection threads add, look up and remove index entries and subscriptions
// while others do the same; every look-up of a live entry must succeed, and a
// name looked up by many threads at once must give one queue.
TEST(QueuesUnderContention, IndexAndChannelsStayConsistent) {
  constexpr int kThreads = 4, kPerThread = 300;
  TtvqCacheQueueListConnections index;
  index.SetCacheSize(100);
  TtvqQueueListChannels channels;
  std::vector<std::unique_ptr<TtvqWSConnection>> connections(kThreads * kPerThread);
  for (auto& c : connections) c = std::make_unique<TtvqWSConnection>();
  std::atomic<int> misses{0};
  std::atomic<int> refusals{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        TtvqWSConnection* c = connections[static_cast<std::size_t>(t * kPerThread + i)].get();
        index.AddItem(new TtvqQueueItemConnection(c));
        for (const char* channel : {"shared", "shared", c->Guid().c_str()}) {
          std::unique_ptr<TtvqQueueItemChannel> item(new TtvqQueueItemChannel(c, channel));
          if (channels.AddItem(item.get())) item.release();
          else ++refusals;
        }
        if (index.GetConnection(c->Guid()) != c) ++misses;
        std::vector<TtvqWSConnection*> subscribers;
        channels.GetConnections("shared", subscribers);
        if (i % 2 == 0) {
          channels.DeleteItem(c->Guid());
          index.DeleteItem(c->Guid());
          if (index.GetConnection(c->Guid()) != nullptr) ++misses;
        }
      }
    });
  for (auto& t : threads) t.join();

  EXPECT_EQ(misses, 0);
  EXPECT_EQ(refusals, kThreads * kPerThread);  // the second "shared" of each connection
  EXPECT_EQ(index.Count(), static_cast<std::size_t>(kThreads * kPerThread / 2));
  std::vector<TtvqWSConnection*> subscribers;
  channels.GetConnections("shared", subscribers);
  EXPECT_EQ(subscribers.size(), static_cast<std::size_t>(kThreads * kPerThread / 2));
  std::set<std::string> names;
  for (auto* queue : *channels.Lock()) names.insert(queue->QueueName);
  EXPECT_EQ(names.size(), channels.Lock()->size()) << "a channel queue was created twice";
}

// A look-up racing with the removal of the very entry it looks up must
// never read a freed entry (ASan and TSan builds catch it if it does).
TEST(QueuesUnderContention, LookUpRacingRemovalOfTheSameEntry) {
  TtvqCacheQueueListConnections index;
  index.SetCacheSize(100);
  TtvqWSConnection connection;
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; i < 20000; ++i) {
      index.AddItem(new TtvqQueueItemConnection(&connection));
      index.DeleteItem(connection.Guid());
    }
    done = true;
  });
  int found = 0;
  while (!done) {
    TtvqWSConnection* c = index.GetConnection(connection.Guid());
    if (c) {
      EXPECT_EQ(c, &connection);
      ++found;
    }
  }
  churn.join();
  EXPECT_EQ(index.GetConnection(connection.Guid()), nullptr);
}

}  // namespace
