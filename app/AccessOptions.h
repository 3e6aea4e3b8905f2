// Public: who may connect and who may edit (--allow-origin, --users,
// --anonymous, --read-only, --client-publish), as plain values with their
// defaults; the command line fills them (Options.cpp), the window logic
// applies them (TfrmServer::SetAccess).
#pragma once

#include <optional>
#include <string>
#include <vector>

// What a client may do: nothing (it is refused at the handshake), watch, or
// watch and change the table.
enum class TAccessRole { None, Viewer, Editor };

struct TAccessOptions {
  // Origins whose pages may connect (wildcards * and ?); none given: the
  // server's own origins; "*": any page.
  std::vector<std::string> AllowOrigins;
  // The users file (name:hash:role a line); empty: no logins.
  std::string UsersFile;
  // The role of a client that does not log in; unset: editor without a
  // users file, viewer with one.
  std::optional<TAccessRole> Anonymous;
  // Every client only watches; the ticker still moves.
  bool ReadOnly = false;
  // Clients may publish and broadcast (retained publications included).
  bool ClientPublish = true;
};
