// The benchmark's load generator: many WebSocket clients on one epoll
// thread, speaking the dataset sub-protocol as a browser does (masked
// frames, the connect sequence, subscribe, record edits). One scenario per
// run; the result is one line "result key=value ..." on standard output.
//
//   bench_loadgen --port P --pid SERVER_PID --scenario fanout|steady|idle|connect
//                 [--clients N] [--edits K] [--rate R] [--seconds S]
//
// fanout:  N subscribers, one writer sends K edits as fast as the server
//          takes them; each edit carries its sequence number and send time
//          in NAME, so every receipt gives a latency.
// steady:  N subscribers, R edits per second for S seconds, each sent when
//          it is due.
// idle:    N subscribed, silent clients for S seconds.
// connect: N clients, at most 50 connecting at a time, each until its end
//          marker.
//
// A latency ends when the message reaches the client's socket (the
// kernel's receive timestamp); gen_p50_ms and gen_p99_ms also count the
// time until this one thread, serving every client, read it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point kStart = Clock::now();

std::int64_t NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - kStart).count();
}

std::int64_t Microseconds(const timespec& aTime) { return std::int64_t{aTime.tv_sec} * 1000000 + aTime.tv_nsec / 1000; }

// Wall-clock microseconds: the clock of the kernel's receive timestamps,
// which edits carry as their send time.
std::int64_t WallUs() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return Microseconds(now);
}

// ---- the server's CPU time and memory, from /proc

double ProcessCpuSeconds(int aPid) {
  std::ifstream stat("/proc/" + std::to_string(aPid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoll(field);
    if (i == 15) {
      stime = std::stoll(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ProcessRssKiB(int aPid) {
  std::ifstream status("/proc/" + std::to_string(aPid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- frames

std::string MaskedText(const std::string& aText) {
  std::string frame;
  frame.reserve(aText.size() + 14);
  frame += static_cast<char>(0x81);
  const std::size_t n = aText.size();
  if (n < 126) {
    frame += static_cast<char>(0x80 | n);
  } else if (n <= 0xFFFF) {
    frame += static_cast<char>(0x80 | 126);
    frame += static_cast<char>(n >> 8);
    frame += static_cast<char>(n & 0xFF);
  } else {
    frame += static_cast<char>(0x80 | 127);
    for (int i = 7; i >= 0; --i) frame += static_cast<char>((n >> (8 * i)) & 0xFF);
  }
  const unsigned char key[4] = {0x37, 0xFA, 0x21, 0x3D};
  frame.append(reinterpret_cast<const char*>(key), 4);
  for (std::size_t i = 0; i < n; ++i) frame += static_cast<char>(aText[i] ^ key[i % 4]);
  return frame;
}

struct Client {
  int fd = -1;
  bool open = false;        // handshake answered
  bool synced = false;      // end marker of the connect sequence seen
  bool subscribed = false;  // subscribe reply seen
  std::int64_t started = 0, syncedAt = 0;
  std::string in, out;
  std::size_t received = 0;  // record messages counted by the scenario
  std::int64_t arrivedUs = 0;  // kernel receive time of the last read (wall clock)
};

class LoadGenerator {
 public:
  explicit LoadGenerator(int aPort) : FPort(aPort), FEpoll(epoll_create1(EPOLL_CLOEXEC)) {}

  std::function<void(Client&, const std::string&)> OnText;
  std::vector<std::unique_ptr<Client>> clients;

  Client& Open() {
    auto client = std::make_unique<Client>();
    client->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(client->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // The kernel stamps what arrives, so a latency ends when the bytes reach
    // the client's socket, not when this one thread gets round to them.
    ::setsockopt(client->fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(FPort));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(client->fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    client->started = NowUs();
    client->out =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://127.0.0.1\r\n"
        "Sec-WebSocket-Protocol: dataset.tvq.tickerhall\r\nSec-WebSocket-Version: 13\r\n\r\n";
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLET;  // edge-triggered: no wake-up per writable socket
    event.data.ptr = client.get();
    epoll_ctl(FEpoll, EPOLL_CTL_ADD, client->fd, &event);
    clients.push_back(std::move(client));
    return *clients.back();
  }

  void Send(Client& aClient, const std::string& aText) {
    aClient.out += MaskedText(aText);
    Flush(aClient);
  }

  // Runs until aDone holds or aTimeoutMs pass; false on time-out.
  bool RunUntil(const std::function<bool()>& aDone, int aTimeoutMs) {
    const std::int64_t deadline = NowUs() + std::int64_t{aTimeoutMs} * 1000;
    epoll_event events[256];
    while (!aDone()) {
      const std::int64_t left = deadline - NowUs();
      if (left <= 0) return false;
      // Waits no longer than until the next paced send is due, so that
      // sends go out on time and not only when traffic wakes this thread.
      std::int64_t wait = std::min<std::int64_t>(left, 20000);
      if (NextDueUs) wait = std::clamp<std::int64_t>(NextDueUs() - NowUs(), 0, wait);
      const int n = epoll_wait(FEpoll, events, 256, static_cast<int>((wait + 999) / 1000));
      for (int i = 0; i < n; ++i) {
        Client& client = *static_cast<Client*>(events[i].data.ptr);
        if (events[i].events & EPOLLOUT) Flush(client);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) Read(client);
      }
      if (OnIdle) OnIdle();
    }
    return true;
  }
  std::function<void()> OnIdle;
  // When the next paced send is due (NowUs time), if anything is paced.
  std::function<std::int64_t()> NextDueUs;

 private:
  void Flush(Client& aClient) {
    while (!aClient.out.empty()) {
      const ssize_t n = ::send(aClient.fd, aClient.out.data(), aClient.out.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      aClient.out.erase(0, static_cast<std::size_t>(n));
    }
  }

  void Read(Client& aClient) {
    char buffer[65536];
    while (true) {
      iovec part{buffer, sizeof buffer};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
      msghdr message{};
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(aClient.fd, &message, 0);
      if (n <= 0) break;
      aClient.in.append(buffer, static_cast<std::size_t>(n));
      aClient.arrivedUs = WallUs();
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          timespec stamp{};
          std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
          aClient.arrivedUs = Microseconds(stamp);
        }
      // A short read took everything the socket had; the next arrival
      // raises a new edge.
      if (static_cast<std::size_t>(n) < sizeof buffer) break;
    }
    if (!aClient.open) {
      const std::size_t end = aClient.in.find("\r\n\r\n");
      if (end == std::string::npos) return;
      aClient.open = true;
      aClient.in.erase(0, end + 4);
    }
    std::size_t at = 0;
    while (aClient.in.size() - at >= 2) {
      const auto* bytes = reinterpret_cast<const unsigned char*>(aClient.in.data() + at);
      std::uint64_t length = bytes[1] & 0x7F;
      std::size_t header = 2;
      if (length == 126) {
        if (aClient.in.size() - at < 4) break;
        length = (std::uint64_t{bytes[2]} << 8) | bytes[3];
        header = 4;
      } else if (length == 127) {
        if (aClient.in.size() - at < 10) break;
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | bytes[2 + i];
        header = 10;
      }
      if (aClient.in.size() - at < header + length) break;
      if ((bytes[0] & 0x0F) == 1 && OnText) OnText(aClient, aClient.in.substr(at + header, length));
      at += header + length;
    }
    aClient.in.erase(0, at);
  }

  int FPort;
  int FEpoll;
};

std::string Edit(std::int64_t aSequence) {
  char name[40];
  std::snprintf(name, sizeof name, "s%lld t%lld", static_cast<long long>(aSequence), static_cast<long long>(WallUs()));
  return std::string(R"({"jsonrpc":"2.0", "result":{"method":"tvq@dataset","channel":"tvq@dataset@update","dataset":{"ID":)") +
         std::to_string(aSequence % 20 + 1) + R"(,"NAME":")" + name + R"("}}})";
}

const char* kSubscribe =
    R"({"jsonrpc":"2.0", "method":"tvq@subscribe", "params":{"channel":"tvq@dataset@update", "message":""}, "id":"s"})";

double Percentile(std::vector<double> aValues, double aShare) {
  if (aValues.empty()) return 0;
  std::sort(aValues.begin(), aValues.end());
  return aValues[std::min(aValues.size() - 1, static_cast<std::size_t>(aShare * static_cast<double>(aValues.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0, pid = 0, clients = 1000, edits = 2000, rate = 50, seconds = 10;
  std::string scenario = "fanout";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--port") port = std::atoi(value.c_str());
    else if (option == "--pid") pid = std::atoi(value.c_str());
    else if (option == "--scenario") scenario = value;
    else if (option == "--clients") clients = std::atoi(value.c_str());
    else if (option == "--edits") edits = std::atoi(value.c_str());
    else if (option == "--rate") rate = std::atoi(value.c_str());
    else if (option == "--seconds") seconds = std::atoi(value.c_str());
  }
  LoadGenerator generator(port);
  std::vector<double> latenciesMs;  // send to arrival at the client's socket
  std::vector<double> handledMs;    // send to this generator reading it
  std::size_t delivered = 0;
  std::int64_t lastReceipt = 0;
  bool measuring = false;
  generator.OnText = [&](Client& aClient, const std::string& aText) {
    if (!aClient.synced) {
      if (aText.find("records@end") != std::string::npos) {
        aClient.synced = true;
        aClient.syncedAt = NowUs();
      }
      return;
    }
    if (!aClient.subscribed) {
      if (aText.find(R"("method":"tvq@subscribe")") != std::string::npos) aClient.subscribed = true;
      return;
    }
    const std::size_t name = aText.find(R"("NAME":"s)");
    if (!measuring || name == std::string::npos) return;
    const char* text = aText.c_str() + name + 9;
    char* end = nullptr;
    std::strtoll(text, &end, 10);
    const long long sent = std::strtoll(end + 2, nullptr, 10);
    latenciesMs.push_back(static_cast<double>(aClient.arrivedUs - sent) / 1000.0);
    handledMs.push_back(static_cast<double>(WallUs() - sent) / 1000.0);
    ++aClient.received;
    ++delivered;
    lastReceipt = NowUs();
  };

  const long rssBefore = ProcessRssKiB(pid);
  const double ownBefore = OwnCpuSeconds();
  const std::int64_t connectStart = NowUs();
  // Connect (at most 50 at a time for the connect scenario, 200 otherwise),
  // each client until the end marker of its connect sequence.
  const int inFlight = scenario == "connect" ? 50 : 200;
  const auto syncedCount = [&] {
    return static_cast<int>(std::count_if(generator.clients.begin(), generator.clients.end(),
                                          [](const auto& c) { return c->synced; }));
  };
  generator.OnIdle = [&] {
    while (static_cast<int>(generator.clients.size()) < clients &&
           static_cast<int>(generator.clients.size()) - syncedCount() < inFlight)
      generator.Open();
  };
  generator.OnIdle();
  if (!generator.RunUntil([&] { return syncedCount() == clients; }, 120000)) {
    std::printf("result scenario=%s error=connect synced=%d\n", scenario.c_str(), syncedCount());
    return 1;
  }
  generator.OnIdle = nullptr;
  const std::int64_t connectEnd = NowUs();
  if (scenario == "connect") {
    std::vector<double> times;
    for (const auto& c : generator.clients) times.push_back(static_cast<double>(c->syncedAt - c->started) / 1000.0);
    std::printf("result scenario=connect clients=%d connections_per_s=%.1f p99_ms=%.2f gen_cpu_share=%.3f\n", clients,
                clients / (static_cast<double>(connectEnd - connectStart) / 1e6), Percentile(times, 0.99),
                (OwnCpuSeconds() - ownBefore) / (static_cast<double>(connectEnd - connectStart) / 1e6));
    return 0;
  }

  for (auto& c : generator.clients) generator.Send(*c, kSubscribe);
  if (!generator.RunUntil([&] {
        return std::all_of(generator.clients.begin(), generator.clients.end(), [](const auto& c) { return c->subscribed; });
      }, 60000)) {
    std::printf("result scenario=%s error=subscribe\n", scenario.c_str());
    return 1;
  }
  const std::size_t subscribers = generator.clients.size();

  if (scenario == "idle") {
    const double serverBefore = ProcessCpuSeconds(pid), own = OwnCpuSeconds();
    const std::int64_t start = NowUs();
    generator.RunUntil([] { return false; }, seconds * 1000);
    const double elapsed = static_cast<double>(NowUs() - start) / 1e6;
    std::printf("result scenario=idle clients=%d server_cpu_share=%.4f rss_kib_per_connection=%.1f gen_cpu_share=%.3f\n",
                clients, (ProcessCpuSeconds(pid) - serverBefore) / elapsed,
                static_cast<double>(ProcessRssKiB(pid) - rssBefore) / clients, (OwnCpuSeconds() - own) / elapsed);
    return 0;
  }

  // The writer is a client of its own, not subscribed.
  Client& writer = generator.Open();
  generator.RunUntil([&] { return writer.synced; }, 30000);
  writer.subscribed = true;  // it never subscribes; its texts are not counted
  measuring = true;
  const double serverBefore = ProcessCpuSeconds(pid), own = OwnCpuSeconds();
  const std::int64_t start = NowUs();
  std::int64_t sent = 0;
  const std::int64_t total = scenario == "steady" ? std::int64_t{rate} * seconds : edits;
  if (scenario == "steady") {
    generator.OnIdle = [&] {
      const std::int64_t due = (NowUs() - start) * rate / 1000000;
      while (sent < std::min(due, total)) generator.Send(writer, Edit(sent++));
    };
    generator.NextDueUs = [&] {  // OnIdle sends edit `sent` once it is due
      return sent < total ? start + ((sent + 1) * 1000000 + rate - 1) / rate : NowUs() + 20000;
    };
  } else {
    // As fast as the server takes them: a new edit whenever the writer's
    // socket has taken everything so far.
    generator.OnIdle = [&] {
      while (sent < total && writer.out.empty()) generator.Send(writer, Edit(sent++));
    };
  }
  generator.OnIdle();
  const std::size_t expected = static_cast<std::size_t>(total) * subscribers;
  generator.RunUntil([&] { return delivered >= expected; },
                     scenario == "steady" ? (seconds + 30) * 1000 : 120000);
  const double elapsed = static_cast<double>(std::max(lastReceipt, start + 1) - start) / 1e6;
  const double serverCpu = ProcessCpuSeconds(pid) - serverBefore;
  std::printf("result scenario=%s clients=%d edits=%lld delivered=%zu lost=%zu delivered_per_s=%.0f "
              "server_cpu_us_per_msg=%.3f server_cpu_share=%.3f p50_ms=%.2f p99_ms=%.2f max_ms=%.2f "
              "gen_p50_ms=%.2f gen_p99_ms=%.2f gen_cpu_share=%.3f\n",
              scenario.c_str(), clients, static_cast<long long>(total), delivered, expected - std::min(expected, delivered),
              static_cast<double>(delivered) / elapsed, delivered ? serverCpu * 1e6 / static_cast<double>(delivered) : 0.0,
              serverCpu / elapsed, Percentile(latenciesMs, 0.5), Percentile(latenciesMs, 0.99),
              Percentile(latenciesMs, 1.0), Percentile(handledMs, 0.5), Percentile(handledMs, 0.99),
              (OwnCpuSeconds() - own) / elapsed);
  return 0;
}
