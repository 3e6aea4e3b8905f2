#include "Options.h"

#include <arpa/inet.h>

#include <CLI/CLI.hpp>
#include <sstream>
#include <toml++/toml.h>

#include "tvqWebSocket_Classes.h"

#ifndef TICKERHALL_VERSION
#define TICKERHALL_VERSION "0.0.0"
#endif

std::string tvqProgramVersion() { return TICKERHALL_VERSION; }

namespace {

// The settings file: TOML read by toml++, handed to the command-line parser
// as the items it would have read from its own files, so that both go
// through the same options, checks and conversions, and the command line
// wins. A table's keys take its name as a prefix ([tls] cert: --tls-cert).
class TTomlSettings : public CLI::Config {
 public:
  std::string to_config(const CLI::App* aApp, bool aDefaults, bool aDescriptions, std::string aPrefix) const override {
    return CLI::ConfigTOML().to_config(aApp, aDefaults, aDescriptions, std::move(aPrefix));
  }

  std::vector<CLI::ConfigItem> from_config(std::istream& aInput) const override {
    toml::table table;
    try {
      table = toml::parse(aInput);
    } catch (const toml::parse_error& e) {
      std::ostringstream where;
      where << "line " << e.source().begin.line << ", column " << e.source().begin.column << ": " << e.description();
      throw CLI::ConfigError(where.str());
    }
    std::vector<CLI::ConfigItem> items;
    Collect(table, "", items);
    return items;
  }

 private:
  static std::string Scalar(const toml::node& aNode, const std::string& aKey) {
    if (const auto* text = aNode.as_string()) return text->get();
    if (const auto* number = aNode.as_integer()) return std::to_string(number->get());
    if (const auto* flag = aNode.as_boolean()) return flag->get() ? "true" : "false";
    if (const auto* real = aNode.as_floating_point()) {
      std::ostringstream out;
      out << real->get();
      return out.str();
    }
    throw CLI::ConfigError(aKey + ": takes a string, a number, true or false, or a list of them");
  }

  static void Collect(const toml::table& aTable, const std::string& aPrefix, std::vector<CLI::ConfigItem>& aItems) {
    for (const auto& [key, node] : aTable) {
      const std::string name = aPrefix + std::string(key.str());
      if (const auto* table = node.as_table()) {
        Collect(*table, name + "-", aItems);
        continue;
      }
      CLI::ConfigItem item;
      item.name = name;
      if (const auto* list = node.as_array()) {
        for (const toml::node& element : *list) item.inputs.push_back(Scalar(element, name));
      } else {
        item.inputs.push_back(Scalar(node, name));
      }
      aItems.push_back(std::move(item));
    }
  }
};

// A numeric IPv4 or IPv6 address (brackets around IPv6 allowed), as the
// listener takes it; the text of the error otherwise.
std::string CheckAddress(std::string& aAddress) {
  if (aAddress.size() > 2 && aAddress.front() == '[' && aAddress.back() == ']')
    aAddress = aAddress.substr(1, aAddress.size() - 2);
  unsigned char buffer[sizeof(in6_addr)];
  if (inet_pton(AF_INET, aAddress.c_str(), buffer) == 1 || inet_pton(AF_INET6, aAddress.c_str(), buffer) == 1)
    return {};
  return "'" + aAddress + "' is not a numeric IPv4 or IPv6 address (for example 127.0.0.1 or ::1)";
}

}  // namespace

TParsedOptions tvqParseOptions(const std::string& aProgram, const std::vector<std::string>& aArguments) {
  TParsedOptions parsed;
  TProgramOptions& options = parsed.Options;

  CLI::App app("Tickerhall: a live table of stock quotes for web browsers over WebSocket.", aProgram);
  app.config_formatter(std::make_shared<TTomlSettings>());
  app.allow_config_extras(CLI::config_extras_mode::error);
  app.set_version_flag("--version", aProgram + " " + tvqProgramVersion());
  app.get_formatter()->column_width(28);

  // Each setting: one line here, and the file takes it too.
  app.set_config("--config", "", "Read the settings from this TOML file; the command line wins")
      ->type_name("FILE")
      ->check(CLI::ExistingFile.description(""));
  app.add_option("--port", options.Port, "TCP port to listen on (default 5413)")
      ->type_name("N")
      ->check(CLI::Range(1, 65535).description(""));
  app.add_option("--listen", options.Listen,
                 "Local address to listen on; repeat for several (default: every IPv4 and IPv6 address)")
      ->type_name("ADDR")
      ->allow_extra_args(false)
      ->transform(
          [](std::string aAddress) {
            if (const std::string error = CheckAddress(aAddress); !error.empty()) throw CLI::ValidationError(error);
            return aAddress;
          },
          "", "ADDR");
  app.add_flag("--quiet", options.Quiet, "Log no client activity (errors are still reported)");
  std::string logFormat = "text";
  app.add_option("--log-format", logFormat, "Log lines as timestamped text (default), or as one JSON object a line")
      ->type_name("text|json")
      ->check(CLI::IsMember({"text", "json"}, CLI::ignore_case).description(""));

  // A number within [aLow, aHigh]; the limits below are all of this kind.
  const auto number = [&app](const char* aName, auto& aValue, const char* aType, std::uint64_t aLow,
                             std::uint64_t aHigh, const char* aText) {
    return app.add_option(aName, aValue, aText)->type_name(aType)->check(CLI::Range(aLow, aHigh).description(""));
  };
  constexpr std::uint64_t kManyBytes = std::uint64_t{1} << 40;

  // ---- traffic budgets (per connection, and over all connections)
  TTrafficLimits& traffic = options.Traffic;
  number("--max-message-size", traffic.MaxMessageSize, "BYTES", 1, kManyBytes,
         "Largest message a client may send, in bytes; past it the client is closed (default 1048576)");
  number("--max-messages-per-second", traffic.MaxMessagesPerSecond, "N", 1, 1000000,
         "Messages a second one client may send, bursts of twice as many; past it it is closed (default 100)");
  number("--max-input-rate", traffic.MaxInputRate, "BYTES", 1, kManyBytes,
         "Bytes a second one client may send, bursts of twice as many; past it it is closed (default 1048576)");
  number("--max-backlog", traffic.MaxBacklog, "BYTES", 1, kManyBytes,
         "Bytes waiting for one client before it is dropped as a slow consumer (default 8388608)");
  number("--max-output-total", traffic.MaxOutputTotal, "BYTES", 1, kManyBytes,
         "Bytes waiting for all clients together; past it the largest backlogs are dropped (default 268435456)");
  number("--write-timeout", traffic.WriteTimeout, "SECONDS", 1, 86400,
         "Seconds a client may leave its backlog unread before it is dropped (default 30)");

  // ---- connections: how many, from one address, how long a silent one and
  // a started frame are waited for
  TConnectionLimits& connections = options.Connections;
  number("--max-connections", connections.MaxConnections, "N", 0, 2147483647,
         "Connections in all; more are closed at once (default 0: as many as the descriptor limit allows)");
  number("--max-connections-per-address", connections.MaxConnectionsPerAddress, "N", 0, 2147483647,
         "Connections one address may hold; more are closed at once (default 256; 0: no limit)");
  number("--idle-timeout", connections.IdleTimeout, "SECONDS", 0, 86400,
         "Close a connection that sent nothing, not even the answer to the ping sent after half of it, "
         "for this long (default 60; 0: never)")
      ->check(CLI::Validator(
          [](std::string& aValue) -> std::string {
            return aValue == "1" ? "1 leaves no time to answer the ping: 0 (never) or at least 2" : "";
          },
          ""));
  number("--frame-timeout", connections.FrameTimeout, "SECONDS", 0, 86400,
         "Close a connection whose started frame or message is not complete within this long "
         "(default 30; 0: no limit)");

  // ---- access control: who may connect and who may edit
  TAccessOptions& access = options.Access;
  app.add_option("--allow-origin", access.AllowOrigins,
                 "Origin whose pages may connect (wildcards * and ?); repeat for several; '*': any page "
                 "(default: the server's own addresses, host name and localhost, with its port)")
      ->type_name("PATTERN")
      ->allow_extra_args(false)
      ->check(CLI::Validator(
          [](std::string& aPattern) {
            return aPattern.empty() || aPattern.find_first_of(", \t") != std::string::npos
                       ? "an origin pattern is one word without commas, for example https://quotes.example.com"
                       : std::string();
          },
          "", ""));
  app.add_option("--users", access.UsersFile, "The users who may log in: name:hash:role a line, role viewer or editor")
      ->type_name("FILE");
  std::string anonymous;
  app.add_option("--anonymous", anonymous,
                 "What a client that does not log in may do (default: editor without --users, viewer with)")
      ->type_name("none|viewer|editor")
      ->check(CLI::IsMember({"none", "viewer", "editor"}).description(""));
  app.add_flag("--read-only", access.ReadOnly, "No client may change the table (the quotes still move)");
  std::string clientPublish = "on";
  app.add_option("--client-publish", clientPublish,
                 "Whether clients may publish and broadcast to the others (default on)")
      ->type_name("on|off")
      ->check(CLI::IsMember({"on", "off"}).description(""));
  app.add_flag("--hash-password", options.HashPassword,
               "Read a password on standard input, print its hash for the users file, and exit");
  // ---- HTTP files: a request names a comma list of files; each is sent once
  number("--max-files-per-request", options.MaxFilesPerRequest, "N", 0, 2147483647,
         "Most distinct files one HTTP request may name; more are refused with 400 (default 16, 0: no limit)");

  // ---- protocol state and the table: what one client can make the server
  // hold (0: no limit)
  TProtocolLimits& limits = options.Protocol;
  const auto count = [&number](const char* aName, auto& aValue, const char* aText) {
    number(aName, aValue, "N", 0, 2147483647, aText);
  };
  count("--max-rows", limits.MaxRows, "Rows clients' new records may fill the quote table to (default 10000)");
  count("--max-channels-per-connection", limits.MaxChannelsPerConnection,
        "Channels one connection may subscribe to (default 256)");
  count("--max-channels", limits.MaxChannels, "Distinct channel names in the server (default 10000)");
  count("--max-names-per-request", limits.MaxNamesPerRequest, "Channel names in one request (default 64)");
  count("--max-retained-per-channel", limits.MaxRetainedPerChannel,
        "Retained publications kept per channel, the oldest dropped first (default 16)");
  number("--max-retained-bytes", limits.MaxRetainedBytes, "BYTES", 0, kManyBytes,
         "Bytes of retained publications over all channels (default 4194304)");
  number("--retained-expiry", limits.RetainedExpiry, "SECONDS", 0, 2147483647,
         "Seconds a retained publication is kept (default 3600)");
  count("--max-pending-calls", limits.MaxPendingCalls, "Unanswered calls per connection (default 64)");
  count("--max-held-qos", limits.MaxHeldQoS, "QoS level 2 messages held per connection (default 64)");
  count("--max-transactions", limits.MaxTransactions, "Open transactions per connection (default 16)");
  number("--max-transaction-size", limits.MaxTransactionSize, "BYTES", 0, kManyBytes,
         "Bytes one transaction may hold (default 1048576)");

  // ---- TLS: a certificate and its key, both or neither; the port that
  // speaks TLS beside the plain one. The files are read when the server is
  // set up (TfrmServer::SetTLS), which says what is wrong with them.
  TTLSOptions& tls = options.TLS;
  app.add_option("--tls-cert", tls.CertFile,
                 "Speak TLS (https, wss) with this certificate, PEM; a chain in it is sent whole. Needs --tls-key")
      ->type_name("FILE");
  app.add_option("--tls-key", tls.KeyFile, "The private key of --tls-cert, PEM")->type_name("FILE");
  number("--tls-port", tls.Port, "N", 1, 65535,
         "TCP port that speaks TLS beside the plain --port (default: none; with --tls-cert alone --port speaks TLS)");

  std::vector<const char*> argv{aProgram.c_str()};
  for (const std::string& argument : aArguments) argv.push_back(argument.c_str());
  try {
    app.parse(static_cast<int>(argv.size()), argv.data());
    if (const CLI::Option* config = app.get_config_ptr(); config && config->count() > 0)
      options.ConfigFile = config->as<std::string>();
    options.LogFormat = tvqSameText(logFormat, "json") ? TLogFormat::Json : TLogFormat::Text;
    if (anonymous == "none") access.Anonymous = TAccessRole::None;
    if (anonymous == "viewer") access.Anonymous = TAccessRole::Viewer;
    if (anonymous == "editor") access.Anonymous = TAccessRole::Editor;
    access.ClientPublish = clientPublish == "on";
    if (tls.CertFile.empty() != tls.KeyFile.empty())
      throw CLI::ValidationError(std::string("--tls-cert and --tls-key go together: ") +
                                 (tls.KeyFile.empty() ? "--tls-key" : "--tls-cert") + " is missing");
    if (tls.Port != 0 && tls.CertFile.empty())
      throw CLI::ValidationError("--tls-port needs --tls-cert and --tls-key");
    if (tls.Port != 0 && tls.Port == options.Port)
      throw CLI::ValidationError("--tls-port " + std::to_string(tls.Port) +
                                 " is the plain --port too: give TLS a port of its own, or leave --tls-port out "
                                 "for TLS on --port");
  } catch (const CLI::CallForHelp&) {
    parsed.Exit = true;
    parsed.Output = app.help();
  } catch (const CLI::CallForVersion& e) {
    parsed.Exit = true;
    parsed.Output = std::string(e.what()) + "\n";
  } catch (const CLI::ParseError& e) {
    parsed.Exit = true;
    parsed.ExitCode = 2;
    std::string text = e.what();
    // A settings file's fault names the file.
    if (dynamic_cast<const CLI::ConfigError*>(&e)) {
      const std::string unknown = "INI was not able to parse ";
      if (text.rfind(unknown, 0) == 0) text = "unknown setting '" + text.substr(unknown.size()) + "'";
      const CLI::Option* config = app.get_config_ptr();
      if (config && config->count() > 0) text = config->as<std::string>() + ": " + text;
    }
    parsed.Error = aProgram + ": " + text + "\nRun '" + aProgram + " --help' for the options.\n";
  }
  return parsed;
}

TParsedOptions tvqParseOptions(int argc, const char* const* argv) {
  std::string program = argc > 0 && argv[0] ? argv[0] : "tickerhall";
  program = program.substr(program.rfind('/') + 1);
  return tvqParseOptions(program, std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
