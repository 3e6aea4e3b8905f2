// Public: the access control of the program: the users file and its
// passwords (libxcrypt's yescrypt hashes), the origins the server's own
// pages come from, and the slowing down of failed logins.
#pragma once

#include <chrono>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "AccessOptions.h"

// "viewer" or "editor" (as the users file and --anonymous write them, and
// "none"); the role's name for the others.
std::string tvqRoleName(TAccessRole aRole);

struct TAccessUser {
  std::string Name;
  std::string Hash;  // as crypt(3) writes it, "$y$..."
  TAccessRole Role = TAccessRole::Viewer;
};

// The users file: one user a line, "name:hash:role"; blank lines and lines
// starting with '#' are skipped. A name is letters, digits and ". _ @ -"; a
// hash is one crypt(3) can check ("$" first); the role "viewer" or "editor".
// Throws std::runtime_error "FILE:LINE: what is wrong" at the first bad line.
std::vector<TAccessUser> tvqParseUsers(const std::string& aText, const std::string& aFileName);
std::vector<TAccessUser> tvqReadUsersFile(const std::string& aFileName);

// A new yescrypt hash of aPassword (fresh salt); throws when the system's
// crypt cannot make one.
std::string tvqHashPassword(const std::string& aPassword);
// Whether aPassword gives aHash; false for a hash crypt cannot read.
bool tvqCheckPassword(const std::string& aHash, const std::string& aPassword);

// The role a login gets: the user's role when the password is right, None
// otherwise (an unknown user costs a hash all the same, so that the time
// taken does not tell which names exist).
TAccessRole tvqLoginRole(const std::vector<TAccessUser>& aUsers, const std::string& aUser,
                         const std::string& aPassword);

// The server's own origins, as --allow-origin patterns: for each host (the
// addresses listened on; none: every address of every local interface; and
// localhost, 127.0.0.1, [::1] and the machine's host name) "http://HOST:PORT"
// and "https://HOST:PORT", and the bare "http://HOST" on port 80 or
// "https://HOST" on 443. The Host header is never trusted for this: a page
// reached through a name that an attacker's DNS points at this machine
// (DNS rebinding) must not count as the server's own.
std::vector<std::string> tvqOwnOrigins(int aPort, const std::vector<std::string>& aListen,
                                       const std::vector<std::string>& aInterfaceAddresses,
                                       const std::string& aHostName);
// The addresses of the machine's interfaces (getifaddrs), without zone.
std::vector<std::string> tvqInterfaceAddresses();
// The machine's host name; empty when it has none.
std::string tvqHostName();

// --hash-password: reads one line (the password) from aInput and writes its
// hash to aOutput; the exit status (2 for no password).
int tvqHashPasswordCommand(std::istream& aInput, std::ostream& aOutput, std::ostream& aError);

// Failed logins from one address wait before they are answered: 250 ms after
// the first failure, doubling with each further one up to 8 s; a success
// forgets the address. The wait is on the connection's own thread.
class TLoginThrottle {
 public:
  using TDuration = std::chrono::milliseconds;
  // How long a login from aAddress waits now.
  TDuration Delay(const std::string& aAddress);
  void Failed(const std::string& aAddress);
  void Succeeded(const std::string& aAddress);

 private:
  struct TEntry {
    int Failures = 0;
    std::chrono::steady_clock::time_point Last;
  };
  std::mutex FLock;
  std::map<std::string, TEntry> FEntries;
};
