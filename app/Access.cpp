#include "Access.h"

#include <crypt.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

std::string tvqRoleName(TAccessRole aRole) {
  switch (aRole) {
    case TAccessRole::None: return "none";
    case TAccessRole::Viewer: return "viewer";
    case TAccessRole::Editor: return "editor";
  }
  return "none";
}

// ---------------------------------------------------------------- the users file

namespace {

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '@' || c == '-';
}

std::string Trimmed(const std::string& aText) {
  const std::size_t first = aText.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return aText.substr(first, aText.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::vector<TAccessUser> tvqParseUsers(const std::string& aText, const std::string& aFileName) {
  std::vector<TAccessUser> users;
  std::istringstream lines(aText);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    const auto fail = [&](const std::string& aWhat) {
      throw std::runtime_error(aFileName + ":" + std::to_string(number) + ": " + aWhat);
    };
    line = Trimmed(line);
    if (line.empty() || line.front() == '#') continue;
    // The hash holds no ':' (crypt's alphabet has none): name, hash and role
    // are the three fields.
    const std::size_t first = line.find(':'), last = line.rfind(':');
    if (first == std::string::npos || first == last) fail("expected name:hash:role");
    TAccessUser user;
    user.Name = line.substr(0, first);
    user.Hash = line.substr(first + 1, last - first - 1);
    const std::string role = line.substr(last + 1);
    if (user.Name.empty() || !std::all_of(user.Name.begin(), user.Name.end(), IsNameCharacter))
      fail("the user name may hold only letters, digits and . _ @ -");
    if (user.Hash.size() < 4 || user.Hash.front() != '$')
      fail("'" + user.Name + "' has no password hash (make one with --hash-password)");
    if (role == "viewer") user.Role = TAccessRole::Viewer;
    else if (role == "editor") user.Role = TAccessRole::Editor;
    else fail("the role must be viewer or editor, not '" + role + "'");
    if (std::any_of(users.begin(), users.end(), [&](const TAccessUser& u) { return u.Name == user.Name; }))
      fail("'" + user.Name + "' is named twice");
    users.push_back(std::move(user));
  }
  return users;
}

std::vector<TAccessUser> tvqReadUsersFile(const std::string& aFileName) {
  std::ifstream file(aFileName, std::ios::binary);
  if (!file) throw std::runtime_error(aFileName + ": cannot be read");
  std::ostringstream text;
  text << file.rdbuf();
  return tvqParseUsers(text.str(), aFileName);
}

// ---------------------------------------------------------------- passwords

std::string tvqHashPassword(const std::string& aPassword) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, salt, sizeof salt))
    throw std::runtime_error("the system's crypt cannot make a yescrypt salt");
  auto data = std::make_unique<crypt_data>();  // about 32 KB: not on the stack
  const char* hash = crypt_rn(aPassword.c_str(), salt, data.get(), sizeof *data);
  if (!hash || hash[0] == '*') throw std::runtime_error("the system's crypt cannot make a yescrypt hash");
  return hash;
}

bool tvqCheckPassword(const std::string& aHash, const std::string& aPassword) {
  auto data = std::make_unique<crypt_data>();
  const char* hash = crypt_rn(aPassword.c_str(), aHash.c_str(), data.get(), sizeof *data);
  if (!hash || hash[0] == '*') return false;
  const std::string computed = hash;
  if (computed.size() != aHash.size()) return false;
  unsigned char difference = 0;  // the same time whichever byte differs
  for (std::size_t i = 0; i < computed.size(); ++i)
    difference |= static_cast<unsigned char>(computed[i] ^ aHash[i]);
  return difference == 0;
}

TAccessRole tvqLoginRole(const std::vector<TAccessUser>& aUsers, const std::string& aUser,
                         const std::string& aPassword) {
  // A fixed yescrypt setting for names that do not exist.
  static const std::string kDummy = tvqHashPassword("tickerhall");
  const auto it = std::find_if(aUsers.begin(), aUsers.end(), [&](const TAccessUser& u) { return u.Name == aUser; });
  const bool right = tvqCheckPassword(it == aUsers.end() ? kDummy : it->Hash, aPassword);
  return it != aUsers.end() && right ? it->Role : TAccessRole::None;
}

// ---------------------------------------------------------------- origins

std::vector<std::string> tvqOwnOrigins(int aPort, const std::vector<std::string>& aListen,
                                       const std::vector<std::string>& aInterfaceAddresses,
                                       const std::string& aHostName) {
  const auto anyAddress = [](const std::string& a) { return a == "0.0.0.0" || a == "::" || a == "[::]"; };
  const bool everyAddress = aListen.empty() || std::any_of(aListen.begin(), aListen.end(), anyAddress);
  std::vector<std::string> hosts;
  const auto add = [&](std::string aHost) {
    if (aHost.empty() || anyAddress(aHost)) return;
    aHost = aHost.substr(0, aHost.find('%'));  // an origin has no zone
    if (aHost.find(':') != std::string::npos && aHost.front() != '[') aHost = "[" + aHost + "]";
    if (std::find(hosts.begin(), hosts.end(), aHost) == hosts.end()) hosts.push_back(aHost);
  };
  for (const std::string& address : aListen) add(address);
  if (everyAddress)
    for (const std::string& address : aInterfaceAddresses) add(address);
  add("localhost");
  add("127.0.0.1");
  add("::1");
  add(aHostName);
  std::vector<std::string> origins;
  const std::string port = ":" + std::to_string(aPort);
  for (const std::string& host : hosts) {
    origins.push_back("http://" + host + port);
    origins.push_back("https://" + host + port);
    if (aPort == 80) origins.push_back("http://" + host);
    if (aPort == 443) origins.push_back("https://" + host);
  }
  return origins;
}

std::vector<std::string> tvqInterfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    const int family = entry->ifa_addr->sa_family;
    if (family != AF_INET && family != AF_INET6) continue;
    char text[NI_MAXHOST];
    const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (::getnameinfo(entry->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) == 0)
      addresses.emplace_back(text);
  }
  ::freeifaddrs(list);
  return addresses;
}

std::string tvqHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// ---------------------------------------------------------------- failed logins

namespace {

constexpr auto kFirstDelay = std::chrono::milliseconds(250);
constexpr auto kLongestDelay = std::chrono::milliseconds(8000);
// An address that failed nothing for this long starts afresh, and is
// forgotten when the list grows large.
constexpr auto kForgetAfter = std::chrono::minutes(15);
constexpr std::size_t kManyAddresses = 4096;

}  // namespace

TLoginThrottle::TDuration TLoginThrottle::Delay(const std::string& aAddress) {
  std::lock_guard guard(FLock);
  const auto it = FEntries.find(aAddress);
  if (it == FEntries.end() || it->second.Failures == 0) return TDuration(0);
  if (std::chrono::steady_clock::now() - it->second.Last > kForgetAfter) return TDuration(0);
  TDuration delay = kFirstDelay;
  for (int i = 1; i < it->second.Failures && delay < kLongestDelay; ++i) delay *= 2;
  return std::min<TDuration>(delay, kLongestDelay);
}

void TLoginThrottle::Failed(const std::string& aAddress) {
  std::lock_guard guard(FLock);
  const auto now = std::chrono::steady_clock::now();
  if (FEntries.size() >= kManyAddresses) {
    std::erase_if(FEntries, [&](const auto& entry) { return now - entry.second.Last > kForgetAfter; });
    // Still full (failures from very many addresses): the stalest goes.
    if (FEntries.size() >= kManyAddresses && FEntries.find(aAddress) == FEntries.end())
      FEntries.erase(std::min_element(FEntries.begin(), FEntries.end(), [](const auto& a, const auto& b) {
        return a.second.Last < b.second.Last;
      }));
  }
  TEntry& entry = FEntries[aAddress];
  if (now - entry.Last > kForgetAfter) entry.Failures = 0;
  entry.Failures = std::min(entry.Failures + 1, 64);
  entry.Last = now;
}

void TLoginThrottle::Succeeded(const std::string& aAddress) {
  std::lock_guard guard(FLock);
  FEntries.erase(aAddress);
}

// ---------------------------------------------------------------- --hash-password

int tvqHashPasswordCommand(std::istream& aInput, std::ostream& aOutput, std::ostream& aError) {
  std::string password;
  std::getline(aInput, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    aError << "--hash-password: give the password on standard input (one line)\n";
    return 2;
  }
  try {
    aOutput << tvqHashPassword(password) << "\n";
  } catch (const std::exception& e) {
    aError << "--hash-password: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
