#include "tvqNetCustomTCPServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "../support/LoopbackClient.h"

namespace {

using ::testing::ElementsAre;
using std::chrono::milliseconds;
using test::LoopbackClient;
using test::WaitUntil;

std::string CurrentThreadName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

// A port that is free on every IPv4 and IPv6 address right now.
int FreeDualStackPort() {
  TNetSocketHandle probe;
  probe.SetIPVersion(Net_IPv6);
  probe.AllocateSocket();
  probe.Bind();  // IPv6 only, so check IPv4 separately below
  const int port = probe.Port;
  TNetSocketHandle v4;
  v4.AllocateSocket();
  v4.Port = port;
  v4.Bind();
  return port;
}

// A server on an ephemeral loopback port whose hooks record what happened,
// on which thread, in which order.
class ServerTest : public ::testing::Test {
 protected:
  ServerTest() {
    server.OnConnect = [this](TNetContext&) { Record("connect"); };
    server.OnExecute = [this](TNetContext& context) {
      ++executes;
      TNetIOHandler& io = *context.Connection().IOHandler();
      if (io.CheckForDataOnSource(10)) {
        std::vector<std::uint8_t> bytes;
        io.ReadBytes(bytes, -1);
        const std::string text(bytes.begin(), bytes.end());
        if (text == "boom") throw std::runtime_error("boom raised");
        io.Write(text);  // echo
      }
    };
    server.OnDisconnect = [this](TNetContext&) { Record("disconnect"); };
    server.OnException = [this](TNetContext&, std::exception_ptr e) {
      try {
        std::rethrow_exception(e);
      } catch (const std::exception& error) {
        Record(std::string("exception:") + error.what());
      }
    };
  }
  ~ServerTest() override { server.SetActive(false); }

  void StartOnLoopback() {
    TNetSocketHandle& binding = server.Bindings.Add();
    binding.IP = "127.0.0.1";
    server.SetActive(true);
    port = binding.Port;
  }

  void Record(const std::string& aEvent) {
    std::lock_guard guard(lock);
    events.push_back(aEvent);
    threads[aEvent].insert(std::this_thread::get_id());
  }
  std::size_t Count(const std::string& aEvent) {
    std::lock_guard guard(lock);
    return static_cast<std::size_t>(std::count(events.begin(), events.end(), aEvent));
  }
  std::vector<std::string> Events() {
    std::lock_guard guard(lock);
    return events;
  }
  std::size_t ContextCount() { return server.Contexts.Lock()->size(); }

  TtvqWSCustomServer server;
  int port = 0;
  std::mutex lock;
  std::vector<std::string> events;
  std::map<std::string, std::set<std::thread::id>> threads;
  std::atomic<int> executes{0};
};

TEST_F(ServerTest, RunsTheHooksInOrderOnTheConnectionsOwnThread) {
  std::string connectThreadName;
  bool nagle = true;
  server.UseNagle = false;
  server.OnContextCreated = [&](TNetContext&) { Record("created"); };
  auto onConnect = server.OnConnect;
  server.OnConnect = [&, onConnect](TNetContext& context) {
    connectThreadName = CurrentThreadName();
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    getsockopt(context.Binding()->Handle(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &size);
    nagle = noDelay == 0;
    onConnect(context);
  };
  StartOnLoopback();
  {
    LoopbackClient client(port);
    client.Send("hello");
    EXPECT_EQ(client.Receive(5), "hello");
    EXPECT_EQ(ContextCount(), 1u);
  }
  ASSERT_TRUE(WaitUntil([&] { return Count("disconnect") == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return ContextCount() == 0; }));
  EXPECT_THAT(Events(), ElementsAre("created", "connect", "disconnect"));
  EXPECT_EQ(threads["connect"], threads["disconnect"]);
  EXPECT_EQ(threads["connect"].count(std::this_thread::get_id()), 0u);
  EXPECT_GT(executes, 0);
  EXPECT_EQ(connectThreadName, "Scheduler User");
  EXPECT_FALSE(nagle);  // no-delay on the accepted socket, as on the listener
}

TEST_F(ServerTest, NamesTheListenerThreadsAfterTheServer) {
  std::vector<std::string> names;
  std::mutex namesLock;
  server.OnBeforeListenerRun = [&](TNetListenerThread& thread) {
    std::lock_guard guard(namesLock);
    names.push_back(thread.Name());
  };
  StartOnLoopback();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard guard(namesLock);
    return names.size() == 1;
  }));
  EXPECT_THAT(names, ElementsAre("NetCustomTCPServer Listener #1"));
}

TEST_F(ServerTest, DoesNotStartWithoutOnExecute) {
  server.OnExecute = nullptr;
  try {
    StartOnLoopback();
    FAIL() << "no error";
  } catch (const ENetTCPNoOnExecute& e) {
    EXPECT_STREQ(e.what(), "You must have an OnExecute event.");
  }
  EXPECT_FALSE(server.Active());
}

TEST_F(ServerTest, AnExceptionInOnExecuteEndsTheConnectionThenIsReported) {
  StartOnLoopback();
  LoopbackClient client(port);
  client.Send("boom");
  ASSERT_TRUE(WaitUntil([&] { return Count("exception:boom raised") == 1; }));
  EXPECT_THAT(Events(), ElementsAre("connect", "disconnect", "exception:boom raised"));
  const int executesThen = executes;
  EXPECT_TRUE(client.WaitForClose());
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(executes, executesThen);
  EXPECT_TRUE(WaitUntil([&] { return ContextCount() == 0; }));
}

TEST_F(ServerTest, RefusesConnectionsPastMaxConnectionsWithoutHooks) {
  server.MaxConnections = 2;
  StartOnLoopback();
  LoopbackClient first(port), second(port);
  ASSERT_TRUE(WaitUntil([&] { return Count("connect") == 2; }));
  LoopbackClient third(port);
  EXPECT_TRUE(third.WaitForClose());
  EXPECT_EQ(Count("connect"), 2u);
  first.Send("still");
  EXPECT_EQ(first.Receive(5), "still");
  first.Close();
  ASSERT_TRUE(WaitUntil([&] { return ContextCount() == 1; }));
  LoopbackClient fourth(port);  // room again
  fourth.Send("in");
  EXPECT_EQ(fourth.Receive(2), "in");
}

// A bind that fails says which address and why.
TEST(SocketHandleBind, AFailureNamesTheAddressAndTheReason) {
  struct Case {
    TNetIPVersion version;
    std::string ip;
    std::string text;
  } cases[] = {
      {Net_IPv4, "1.2.3", "Could not bind socket. 1.2.3:4000: not an IPv4 address"},
      {Net_IPv6, "::1::2", "Could not bind socket. [::1::2]:4000: not an IPv6 address"},
      // A documentation address that no interface here has.
      {Net_IPv4, "192.0.2.1",
       "Could not bind socket. 192.0.2.1:4000: address not available (no interface of this machine has it)"},
  };
  for (const Case& c : cases) {
    TNetSocketHandle handle;
    handle.SetIPVersion(c.version);
    handle.IP = c.ip;
    handle.Port = 4000;
    handle.AllocateSocket();
    try {
      handle.Bind();
      ADD_FAILURE() << c.ip << ": bound";
    } catch (const ENetCouldNotBindSocket& e) {
      EXPECT_EQ(std::string(e.what()), c.text);
    }
  }
}

TEST_F(ServerTest, APortInUseFailsToStartAndLeavesNothingOpen) {
  TNetSocketHandle other;
  other.IP = "127.0.0.1";
  other.AllocateSocket();
  other.Bind();
  other.Listen(1);
  TNetSocketHandle& binding = server.Bindings.Add();
  binding.IP = "127.0.0.1";
  binding.Port = other.Port;
  try {
    server.SetActive(true);
    FAIL() << "no error";
  } catch (const ENetCouldNotBindSocket& e) {
    EXPECT_EQ(std::string(e.what()), "Could not bind socket. 127.0.0.1:" + std::to_string(other.Port) +
                                         ": address already in use (another program listens on that port)");
  }
  EXPECT_FALSE(server.Active());
  EXPECT_FALSE(binding.HandleAllocated());
  other.Release();
  server.SetActive(true);  // the port is free now, and so is the binding
  LoopbackClient client(binding.Port);
  client.Send("ok");
  EXPECT_EQ(client.Receive(2), "ok");
}

TEST_F(ServerTest, EmptyBindingsListenOnEveryIPv4AndIPv6AddressAndSurviveARestart) {
  if (!NetIPv6Available()) GTEST_SKIP() << "no IPv6 on this host";
  const int free = FreeDualStackPort();
  server.SetDefaultPort(free);
  server.SetActive(true);
  ASSERT_EQ(server.Bindings.Count(), 2u);
  EXPECT_EQ(server.Bindings[0].IPVersion(), Net_IPv4);
  EXPECT_EQ(server.Bindings[1].IPVersion(), Net_IPv6);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    {
      LoopbackClient v4(free, false), v6(free, true);
      v4.Send("four");
      v6.Send("six");
      EXPECT_EQ(v4.Receive(4), "four");
      EXPECT_EQ(v6.Receive(3), "six");
    }
    server.SetActive(false);
    server.SetActive(true);  // at once: the port binds again, no binding is added
    EXPECT_EQ(server.Bindings.Count(), 2u);
  }
}

TEST_F(ServerTest, StopDisconnectsEveryClientBeforeItReturns) {
  StartOnLoopback();
  std::vector<LoopbackClient> clients;
  for (int i = 0; i < 3; ++i) clients.emplace_back(port);
  ASSERT_TRUE(WaitUntil([&] { return Count("connect") == 3; }));
  server.SetActive(false);
  EXPECT_EQ(Count("disconnect"), 3u);  // each once, already done
  EXPECT_EQ(threads["disconnect"].size(), 3u);  // each on its own thread
  EXPECT_EQ(ContextCount(), 0u);
  for (auto& client : clients) EXPECT_TRUE(client.WaitForClose());
}

TEST_F(ServerTest, StoppingWithManyClientsAtOnceIsClean) {
  StartOnLoopback();
  for (int round = 0; round < 5; ++round) {
    std::vector<LoopbackClient> clients;
    for (int i = 0; i < 20; ++i) clients.emplace_back(port);
    ASSERT_TRUE(WaitUntil([&] { return Count("connect") == static_cast<std::size_t>(20 * (round + 1)); }));
    server.SetActive(false);  // every thread ends at once
    EXPECT_EQ(Count("disconnect"), Count("connect"));
    server.SetActive(true);
  }
}

TEST(ServerLifetime, DestroyingAnActiveServerStopsItFirst) {
  std::atomic<int> disconnects{0}, shutdowns{0};
  int port = 0;
  {
    TtvqWSCustomServer server;
    server.OnExecute = [](TNetContext& context) { context.Connection().IOHandler()->CheckForDataOnSource(10); };
    server.OnDisconnect = [&](TNetContext&) { ++disconnects; };
    server.OnShutdown = [&](TNetCustomTCPServer&) { ++shutdowns; };
    server.Bindings.Add().IP = "127.0.0.1";
    server.SetActive(true);
    port = server.Bindings[0].Port;
    LoopbackClient client(port);
    ASSERT_TRUE(WaitUntil([&] { return server.Contexts.Lock()->size() == 1; }));
  }  // destroyed while active, with a client connected
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(shutdowns, 1);
}

TEST_F(ServerTest, AFailingExceptionHandlerDoesNotEndTheProcess) {
  server.OnException = [](TNetContext&, std::exception_ptr) { throw std::runtime_error("handler failed too"); };
  StartOnLoopback();
  LoopbackClient client(port);
  client.Send("boom");
  EXPECT_TRUE(client.WaitForClose());
  ASSERT_TRUE(WaitUntil([&] { return ContextCount() == 0; }));
  LoopbackClient next(port);  // still serving
  next.Send("ok");
  EXPECT_EQ(next.Receive(2), "ok");
}

TEST_F(ServerTest, AcceptedSocketsTakeASendTimeOut) {
  std::atomic<bool> set{false};
  server.OnConnect = [&](TNetContext& context) {
    context.Binding()->SetSendTimeout(1000);
    timeval value{};
    socklen_t size = sizeof value;
    getsockopt(context.Binding()->Handle(), SOL_SOCKET, SO_SNDTIMEO, &value, &size);
    set = value.tv_sec == 1 && value.tv_usec == 0;
  };
  StartOnLoopback();
  LoopbackClient client(port);
  EXPECT_TRUE(WaitUntil([&] { return set.load(); }));
}

TEST_F(ServerTest, IdleConnectionsWaitInsteadOfSpinning) {
  StartOnLoopback();
  LoopbackClient client(port);
  ASSERT_TRUE(WaitUntil([&] { return Count("connect") == 1; }));
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(milliseconds(500));
  getrusage(RUSAGE_SELF, &after);
  const auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
  };
  // A spinning thread would burn the whole half second; waiting costs little.
  EXPECT_LT(cpuMs(after) - cpuMs(before), 150.0);
}

std::size_t Entries(const char* aFolder) {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(aFolder),
                                                std::filesystem::directory_iterator{}));
}

TEST_F(ServerTest, StartStopCyclesLeaveNoThreadOrDescriptorBehind) {
  StartOnLoopback();
  server.SetActive(false);
  const std::size_t threadsBefore = Entries("/proc/self/task");
  const std::size_t fdsBefore = Entries("/proc/self/fd");

  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      try {
        LoopbackClient client(port);
        client.Send("x");
        client.Receive(1, milliseconds(20));
      } catch (const std::exception&) {
        std::this_thread::sleep_for(milliseconds(1));  // between a stop and a start
      }
    }
  });
  for (int cycle = 0; cycle < 50; ++cycle) {
    server.SetActive(true);
    std::this_thread::sleep_for(milliseconds(5));
    server.SetActive(false);
  }
  stop = true;
  churn.join();

  EXPECT_GT(Count("connect"), 0u);
  EXPECT_EQ(Count("connect"), Count("disconnect"));
  EXPECT_EQ(ContextCount(), 0u);
  EXPECT_EQ(Entries("/proc/self/task"), threadsBefore);
  EXPECT_EQ(Entries("/proc/self/fd"), fdsBefore);
}

}  // namespace
