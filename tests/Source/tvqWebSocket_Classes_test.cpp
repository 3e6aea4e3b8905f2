#include "tvqWebSocket_Classes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>
#include <set>
#include <mutex>
#include <thread>

#include "../support/LoopbackClient.h"
#include "tvqWebSocket_Classes_Queues.h"
#include "tvqWebSocket_Platform.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using std::chrono::milliseconds;
using test::WaitUntil;

// ---------------------------------------------------------------- the event loop

TEST(TtvqEventLoop, RunsQueuedCallsInOrderOnItsThread) {
  TtvqEventLoop loop;
  std::vector<int> order;
  std::thread::id ranOn;
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  for (int i = 0; i < 50; ++i) loop.Queue([&, i] { order.push_back(i); ranOn = std::this_thread::get_id(); });
  loop.Synchronize([] {});  // every earlier call has run
  EXPECT_EQ(ranOn, main.get_id());
  std::vector<int> expected(50);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(order, expected);
  loop.Quit();
  main.join();
}

TEST(TtvqEventLoop, SynchronizeWaitsAndPassesErrorsBack) {
  TtvqEventLoop loop;
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  std::atomic<bool> ran{false};
  loop.Synchronize([&] {
    std::this_thread::sleep_for(milliseconds(20));
    ran = true;
  });
  EXPECT_TRUE(ran);
  EXPECT_THROW(loop.Synchronize([] { throw std::runtime_error("inside"); }), std::runtime_error);
  // From the main thread itself it runs at once instead of waiting for ever.
  bool nested = false;
  loop.Synchronize([&] { loop.Synchronize([&] { nested = loop.IsMainThread(); }); });
  EXPECT_TRUE(nested);
  loop.Quit();
  main.join();
}

TEST(TtvqEventLoop, AFailingCallDoesNotEndTheLoop) {
  TtvqEventLoop loop;
  std::atomic<int> errors{0};
  loop.OnException = [&](std::exception_ptr) { ++errors; };
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  loop.Queue([] { throw std::runtime_error("first"); });
  bool later = false;
  loop.Synchronize([&] { later = true; });
  EXPECT_TRUE(later);
  EXPECT_EQ(errors, 1);
  loop.Quit();
  main.join();
}

TEST(TtvqEventLoop, TimersTickOnTheMainThreadUntilStopped) {
  TtvqEventLoop loop;
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  std::atomic<int> ticks{0};
  std::atomic<bool> onMain{true};
  const auto timer = loop.StartTimer(10, [&] {
    ++ticks;
    if (!loop.IsMainThread()) onMain = false;
  });
  EXPECT_TRUE(WaitUntil([&] { return ticks >= 3; }));
  loop.StopTimer(timer);
  loop.Synchronize([] {});
  const int stopped = ticks;
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(ticks, stopped);
  EXPECT_TRUE(onMain);
  loop.Quit();
  main.join();
}

// ---------------------------------------------------------------- TtvqTimer

TEST(TtvqTimer, FiresOnTheThreadItsNotifyModeNames) {
  TtvqEventLoop loop;
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  for (TwsNotifyEvent mode : {neNoSync, neAsynchronous, neSynchronous}) {
    SCOPED_TRACE(mode);
    TtvqTimer timer;
    timer.Platform = &loop;
    timer.Interval = 100;
    timer.NotifyEvents = mode;
    std::atomic<int> ticks{0};
    std::atomic<bool> onMain{false};
    timer.OnTimer = [&](TtvqTimer&) {
      onMain = loop.IsMainThread();
      ++ticks;
    };
    timer.SetEnabled(true);
    EXPECT_TRUE(WaitUntil([&] { return ticks >= 2; }));
    timer.SetEnabled(false);
    EXPECT_EQ(onMain, mode != neNoSync);
  }
  loop.Quit();
  main.join();
}

TEST(TtvqTimer, ATickThatRestartsItsTimerLeavesOneThreadFiring) {
  TtvqTimer timer;
  timer.Interval = 100;
  std::atomic<int> ticks{0};
  timer.OnTimer = [&](TtvqTimer& t) {
    ++ticks;
    t.SetEnabled(false);
    t.SetEnabled(true);
  };
  timer.SetEnabled(true);
  std::this_thread::sleep_for(milliseconds(1050));
  timer.SetEnabled(false);
  // One thread fires about ten times in that second; two would fire twice as often.
  EXPECT_GE(ticks, 4);
  EXPECT_LE(ticks, 11);
}

TEST(TtvqTimer, ASynchronousTimerDestroyedOnTheMainThreadDoesNotHang) {
  TtvqEventLoop loop;
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  auto timer = std::make_unique<TtvqTimer>();
  timer->Platform = &loop;
  timer->Interval = 100;
  timer->NotifyEvents = neSynchronous;
  std::atomic<int> ticks{0};
  std::atomic<bool> destroyed{false};
  timer->OnTimer = [&](TtvqTimer&) { ++ticks; };
  timer->SetEnabled(true);
  // Destroyed on the main thread while the timer thread waits there.
  loop.Queue([&] {
    std::this_thread::sleep_for(milliseconds(250));  // a tick gets queued meanwhile
    timer.reset();
    destroyed = true;
  });
  EXPECT_TRUE(WaitUntil([&] { return destroyed.load(); }));
  loop.Synchronize([] {});
  loop.Quit();
  main.join();
}

TEST(TtvqTimer, ErrorsGoToOnExceptionAndTheTimerGoesOn) {
  TtvqTimer timer;
  timer.Interval = 100;
  std::atomic<int> errors{0};
  timer.OnTimer = [](TtvqTimer&) { throw std::runtime_error("tick failed"); };
  timer.OnException = [&](TtvqTimer&, std::exception_ptr) { ++errors; };
  timer.SetEnabled(true);
  EXPECT_TRUE(WaitUntil([&] { return errors >= 2; }));
}

// ---------------------------------------------------------------- dispatch

// A server component without a transport: the dispatch and bookkeeping of
// the component base, and nothing else.
class TestServer : public TtvqWSComponent_Server {
 public:
  ~TestServer() override { StopDeliveries(); }
  void Broadcast(const std::string&, const std::string&, const std::string&, const std::vector<std::string>&,
                 const std::vector<std::string>&) override {}
  void Broadcast(const TtvqBytes&, const std::string&, const std::string&, const std::vector<std::string>&,
                 const std::vector<std::string>&, int, TwsStreaming) override {}
  bool WriteData(const std::string&, const std::string&) override { return false; }
  bool WriteData(const std::string&, const TtvqBytes&, int, TwsStreaming) override { return false; }
};

// A connection that notes when it is aborted.
class TestConnection : public TtvqWSConnection {
 public:
  void DoAbortConnection() override { aborted = true; }
  bool aborted = false;
};

// Records every event of a component, with the thread it came on.
struct Recorder {
  void Attach(TtvqWSComponent_Base& aComponent, const std::string& aName) {
    aComponent.OnConnect = [this, aName](TtvqWSConnection*) { Note(aName + ":connect"); };
    aComponent.OnDisconnect = [this, aName](TtvqWSConnection* c, int code) {
      Note(aName + ":disconnect " + std::to_string(code) + " " + (c ? c->Guid().substr(0, 4) : ""));
    };
    aComponent.OnMessage = [this, aName](TtvqWSConnection*, const std::string& text) { Note(aName + ":" + text); };
    aComponent.OnBinary = [this, aName](TtvqWSConnection*, const TtvqBytes& data) {
      Note(aName + ":binary " + std::to_string(data.size()));
    };
    aComponent.OnError = [this, aName](TtvqWSConnection*, const std::string& error) { Note(aName + ":error " + error); };
  }
  void Note(const std::string& aEvent) {
    std::lock_guard guard(lock);
    events.push_back(aEvent);
    threads.insert(std::this_thread::get_id());
  }
  std::vector<std::string> Events() {
    std::lock_guard guard(lock);
    return events;
  }
  std::mutex lock;
  std::vector<std::string> events;
  std::set<std::thread::id> threads;
};

class DispatchTest : public ::testing::Test {
 protected:
  DispatchTest() {
    server.Platform = &loop;
    recorder.Attach(server, "server");
  }
  // Runs the main thread's queue until it is empty.
  void RunMainThread() {
    for (int i = 0; i < 10; ++i) loop.ProcessPending();
  }
  TtvqWSConnection* NewConnection(const std::string& aProtocol = "") {
    auto* c = new TestConnection;
    c->Protocol = aProtocol;
    return c;
  }

  TtvqEventLoop loop;
  TestServer server;
  Recorder recorder;
};

// A connection that notes the threads that sent its queue.
class FlushRecorder : public TtvqWSConnection {
 public:
  bool FlushBacklog() override {
    std::lock_guard guard(FLock);
    Threads.push_back(std::this_thread::get_id());
    return true;
  }
  std::vector<std::thread::id> Threads;

 private:
  std::mutex FLock;
};

TEST(TtvqWriteCork, EveryTouchedQueueIsSentOnceAndASharedReleaseUsesTwoThreads) {
  enum Hold { kPlain, kShared, kSharedInsideANestedHold };
  const bool twoCores = std::thread::hardware_concurrency() > 1;
  for (const Hold hold : {kPlain, kShared, kSharedInsideANestedHold}) {
    SCOPED_TRACE(hold);
    std::vector<std::unique_ptr<FlushRecorder>> connections;
    {
      TtvqWriteCork cork;
      for (int i = 0; i < 200; ++i) {
        connections.push_back(std::make_unique<FlushRecorder>());
        TtvqWriteCork::Touch(connections.back().get());
      }
      if (hold == kShared) TtvqWriteCork::ShareRelease();
      if (hold == kSharedInsideANestedHold) {
        TtvqWriteCork nested;
        TtvqWriteCork::ShareRelease();
      }
      for (const auto& c : connections) EXPECT_THAT(c->Threads, IsEmpty());  // nothing before the release
    }
    std::set<std::thread::id> threads;
    for (const auto& c : connections) {
      ASSERT_EQ(c->Threads.size(), 1u);
      threads.insert(c->Threads.front());
    }
    EXPECT_TRUE(threads.count(std::this_thread::get_id()));
    EXPECT_EQ(threads.size(), hold == kShared && twoCores ? 2u : 1u);
  }
}

TEST_F(DispatchTest, ABurstFromAConnectionThreadArrivesInOrderOnTheMainThread) {
  TtvqWSConnection* c = NewConnection();
  std::thread reader([&] {
    server.DoNotifyConnect(c);
    for (int i = 0; i < 100; ++i) {
      c->SetMsgReceived("m" + std::to_string(i));
      server.DoNotifyMessage(c);  // returns at once: nobody runs the main thread yet
    }
    server.DoNotifyDisconnect(c);
  });
  reader.join();
  EXPECT_THAT(recorder.Events(), IsEmpty());
  RunMainThread();
  const auto events = recorder.Events();
  ASSERT_EQ(events.size(), 102u);
  EXPECT_EQ(events.front(), "server:connect");
  for (int i = 0; i < 100; ++i) EXPECT_EQ(events[static_cast<std::size_t>(i + 1)], "server:m" + std::to_string(i));
  EXPECT_EQ(events.back(), "server:disconnect 0 " + c->Guid().substr(0, 4));
  EXPECT_THAT(recorder.threads, ElementsAre(std::this_thread::get_id()));
}

TEST_F(DispatchTest, EachNotifyModeRaisesOnItsThread) {
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  TtvqWSConnection* c = NewConnection();
  server.SetNotifyEvents(neNoSync);
  std::thread([&] { server.DoNotifyConnect(c); }).join();
  EXPECT_THAT(recorder.Events(), ElementsAre("server:connect"));  // already raised, on that thread
  EXPECT_EQ(recorder.threads.count(main.get_id()), 0u);

  server.SetNotifyEvents(neSynchronous);
  std::thread([&] {
    c->SetMsgReceived("sync");
    server.DoNotifyMessage(c);  // waits for the main thread
  }).join();
  EXPECT_THAT(recorder.Events(), ElementsAre("server:connect", "server:sync"));
  EXPECT_EQ(recorder.threads.count(main.get_id()), 1u);
  server.DoNotifyDisconnect(c);
  loop.Quit();
  main.join();
}

TEST_F(DispatchTest, AFailingHandlerDropsOnlyItsOwnEvent) {
  server.OnMessage = [this](TtvqWSConnection*, const std::string& text) {
    if (text == "bad") throw std::runtime_error("handler failed");
    recorder.Note(text);
  };
  TtvqWSConnection* c = NewConnection();
  for (const char* text : {"one", "bad", "two", "three"}) {
    c->SetMsgReceived(text);
    server.DoNotifyMessage(c);
  }
  std::vector<std::string> mainThreadErrors;
  loop.OnException = [&](std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& error) {
      mainThreadErrors.push_back(error.what());
    }
  };
  RunMainThread();
  EXPECT_THAT(mainThreadErrors, ElementsAre("handler failed"));  // reaches the main thread's error handling
  EXPECT_THAT(recorder.Events(), ElementsAre("one", "two", "three"));
  server.DoNotifyDisconnect(c);
  RunMainThread();
}

TEST_F(DispatchTest, ConnectionsWithASubProtocolRaiseOnlyOnTheirComponent) {
  TtvqWSComponent_Base* dataset = server.RegisterProtocol("dataset.tvq.tickerhall");
  Recorder sub;
  sub.Attach(*dataset, "dataset");
  TtvqWSConnection* withProtocol = NewConnection("dataset.tvq.tickerhall");
  TtvqWSConnection* plain = NewConnection();
  const std::string withTag = withProtocol->Guid().substr(0, 4), plainTag = plain->Guid().substr(0, 4);
  for (TtvqWSConnection* c : {withProtocol, plain}) {
    server.DoNotifyConnect(c);
    c->SetMsgReceived("hi");
    server.DoNotifyMessage(c);
    server.DoNotifyDisconnect(c);
  }
  RunMainThread();
  EXPECT_THAT(sub.Events(), ElementsAre("dataset:connect", "dataset:hi", "dataset:disconnect 0 " + withTag));
  EXPECT_THAT(recorder.Events(), ElementsAre("server:connect", "server:hi", "server:disconnect 0 " + plainTag));
  // Both were released to the server's free list, not freed under the events.
  EXPECT_EQ(server.ConnectionsFree().Count(), 2u);
}

TEST(MatchesProtocol, NamesAComponentByProtocolOrGuidDotProtocol) {
  struct Component : TtvqWSComponent_Base {
    Component(std::string g, std::string p) : guid(std::move(g)), protocol(std::move(p)) {}
    std::string ComponentGuid() const override { return guid; }
    std::string ComponentProtocol() const override { return protocol; }
    std::string guid, protocol;
  };
  struct Case {
    std::string guid, protocol, name;
    bool matches;
  };
  for (const Case& c : {Case{"G1", "p", "p", true}, Case{"G1", "p", "P", true}, Case{"G1", "p", "g1.P", true},
                        Case{"G1", "p", "G2.p", false}, Case{"G1", "p", "q", false}, Case{"", "a,b", "a", true},
                        Case{"", "a,b", "b", true}, Case{"", "a,b", "c", false}, Case{"X", "a,b", "x.b", true}}) {
    Component component(c.guid, c.protocol);
    EXPECT_EQ(TtvqWSComponent::MatchesProtocol(c.name, component), c.matches)
        << c.guid << "/" << c.protocol << " vs " << c.name;
  }
}

TEST_F(DispatchTest, OffersTheRegisteredNamesBrokerFirst) {
  server.RegisterProtocol("dataset.tvq.tickerhall");
  server.RegisterProtocol(tvqBrokerSubProtocol);
  server.RegisterProtocol("a,b");
  EXPECT_EQ(server.ProtocolNames(), "broker.tvq.tickerhall,dataset.tvq.tickerhall,a,b");
  server.UnRegisterProtocol("a,b");
  EXPECT_EQ(server.ProtocolNames(), "broker.tvq.tickerhall,dataset.tvq.tickerhall");
}

TEST_F(DispatchTest, KeepsTheIndexesAndParksClosedConnections) {
  TtvqWSConnection* c = NewConnection();
  c->OnSubscription = [this](TtvqWSConnection& conn, const std::string& ch) { server.DoConnectionSubscription(conn, ch); };
  server.DoNotifyConnect(c);
  EXPECT_EQ(server.Connections().GetConnection(c->Guid()), c);
  c->DoSubscribe("tvq@dataset@update");
  std::vector<TtvqWSConnection*> subscribers;
  server.Channels().GetConnections("tvq@dataset@update", subscribers);
  EXPECT_THAT(subscribers, ElementsAre(c));

  std::string guidSeenOnDisconnect;
  server.OnDisconnect = [&](TtvqWSConnection* conn, int) { guidSeenOnDisconnect = conn->Guid(); };
  server.DoNotifyDisconnect(c);
  EXPECT_EQ(server.Connections().GetConnection(c->Guid()), nullptr);  // gone from the index at once
  subscribers.clear();
  server.Channels().GetConnections("tvq@dataset@update", subscribers);
  EXPECT_THAT(subscribers, IsEmpty());
  RunMainThread();
  EXPECT_EQ(guidSeenOnDisconnect, c->Guid());  // still readable in its disconnect event
  EXPECT_EQ(server.ConnectionsFree().Count(), 1u);
  EXPECT_EQ(c->Guid().size(), 32u);  // parked, not freed
  server.StopConnectionsFreeTimer();  // frees it (LeakSanitizer checks the rest)
  EXPECT_EQ(server.ConnectionsFree().Count(), 0u);
}

TEST_F(DispatchTest, TheFreeListTimerFreesParkedConnectionsOnTheMainThread) {
  std::thread main([&] { loop.Run(); });
  ASSERT_TRUE(WaitUntil([&] { return loop.Running(); }));
  server.Optimizations.ConnectionsFree.Interval = 1;
  loop.Synchronize([&] { server.StartConnectionsFreeTimer(); });  // the server starts it there too
  TtvqWSConnection* c = NewConnection();
  server.DoNotifyConnect(c);
  server.DoNotifyDisconnect(c);
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionsFree().Count() == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionsFree().Count() == 0; }, milliseconds(5000)));
  loop.Synchronize([&] { server.StopConnectionsFreeTimer(); });
  loop.Quit();
  main.join();
}

TEST_F(DispatchTest, InternalConnectionsRaiseNothingAndAreOnlyFreed) {
  server.Optimizations.ConnectionsFree.Enabled = false;
  TtvqWSConnection* c = NewConnection();
  c->FIsInternal = true;
  server.DoNotifyConnect(c);
  c->SetMsgReceived("x");
  server.DoNotifyMessage(c);
  server.DoNotifyDisconnect(c);  // freed at once (ASan would see a use after this)
  RunMainThread();
  EXPECT_THAT(recorder.Events(), IsEmpty());
}

TEST_F(DispatchTest, HeldMessagesAreReplayedInOrderThenTheBinaryOnes) {
  server.SetNotifyEvents(neNoSync);
  TtvqWSConnection* c = NewConnection();
  server.SetQueueMessages(true);
  c->SetMsgReceived("a");
  server.DoNotifyMessage(c);
  c->MsgBinaryReceived = {1, 2};
  server.DoNotifyBinary(c);
  c->SetMsgReceived("b");
  server.DoNotifyMessage(c);
  EXPECT_THAT(recorder.Events(), IsEmpty());
  server.SetQueueMessages(false);
  EXPECT_THAT(recorder.Events(), ElementsAre("server:a", "server:b", "server:binary 2"));
  server.DoNotifyDisconnect(c);
}

TEST_F(DispatchTest, ErrorsAreReportedOnlyWhereAHandlerListens) {
  server.SetNotifyEvents(neNoSync);
  auto* quiet = static_cast<TestConnection*>(NewConnection());
  server.OnError = nullptr;
  server.DoReportError(quiet, "Message is not masked");
  EXPECT_TRUE(quiet->aborted);
  EXPECT_THAT(recorder.Events(), IsEmpty());

  recorder.Attach(server, "server");
  auto* loud = static_cast<TestConnection*>(NewConnection());
  server.DoReportError(loud, "Message is not masked");
  EXPECT_TRUE(loud->aborted);
  EXPECT_THAT(recorder.Events(), ElementsAre("server:error Message is not masked"));

  std::string raised;
  server.OnException = [&](TtvqWSConnection*, std::exception_ptr e) {
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& error) {
      raised = error.what();
    }
  };
  server.DoEventException(nullptr, "made from the text", nullptr);
  EXPECT_EQ(raised, "made from the text");
  server.DoNotifyDisconnect(quiet);
  server.DoNotifyDisconnect(loud);
}

}  // namespace
