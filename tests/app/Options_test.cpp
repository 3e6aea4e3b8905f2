#include "Options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "LogLine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

TParsedOptions Parse(std::vector<std::string> aArguments) { return tvqParseOptions("tickerhall-headless", aArguments); }

// A settings file that goes when the test ends.
class SettingsFile {
 public:
  explicit SettingsFile(const std::string& aText)
      : FPath(std::filesystem::temp_directory_path() / ("tickerhall-options-" + std::to_string(::getpid()) + "-" +
                                                        std::to_string(++FCount) + ".toml")) {
    std::ofstream(FPath) << aText;
  }
  ~SettingsFile() { std::filesystem::remove(FPath); }
  std::string Path() const { return FPath.string(); }

 private:
  static inline int FCount = 0;
  std::filesystem::path FPath;
};

TEST(Options, DefaultsAreThePortOnEveryAddressWithTextLines) {
  const TParsedOptions parsed = Parse({});
  ASSERT_FALSE(parsed.Exit) << parsed.Error;
  EXPECT_EQ(parsed.Options.Port, 5413);
  EXPECT_THAT(parsed.Options.Listen, IsEmpty());
  EXPECT_FALSE(parsed.Options.Quiet);
  EXPECT_EQ(parsed.Options.LogFormat, TLogFormat::Text);
}

TEST(Options, CommandLineSettings) {
  const TParsedOptions parsed =
      Parse({"--port", "6000", "--listen", "127.0.0.1", "--listen=[::1]", "--quiet", "--log-format", "JSON"});
  ASSERT_FALSE(parsed.Exit) << parsed.Error;
  EXPECT_EQ(parsed.Options.Port, 6000);
  EXPECT_THAT(parsed.Options.Listen, ElementsAre("127.0.0.1", "::1"));  // brackets dropped
  EXPECT_TRUE(parsed.Options.Quiet);
  EXPECT_EQ(parsed.Options.LogFormat, TLogFormat::Json);
}

TEST(Options, AccessSettingsAndTheirDefaults) {
  const TParsedOptions none = Parse({});
  EXPECT_THAT(none.Options.Access.AllowOrigins, IsEmpty());
  EXPECT_EQ(none.Options.Access.UsersFile, "");
  EXPECT_FALSE(none.Options.Access.Anonymous.has_value());
  EXPECT_FALSE(none.Options.Access.ReadOnly);
  EXPECT_TRUE(none.Options.Access.ClientPublish);
  EXPECT_FALSE(none.Options.HashPassword);
  const TParsedOptions parsed =
      Parse({"--allow-origin", "https://quotes.example.com", "--allow-origin=http://*.example.org", "--users", "u.txt",
             "--anonymous", "none", "--read-only", "--client-publish", "off", "--hash-password"});
  ASSERT_FALSE(parsed.Exit) << parsed.Error;
  const TAccessOptions& access = parsed.Options.Access;
  EXPECT_THAT(access.AllowOrigins, ElementsAre("https://quotes.example.com", "http://*.example.org"));
  EXPECT_EQ(access.UsersFile, "u.txt");
  EXPECT_EQ(access.Anonymous, TAccessRole::None);
  EXPECT_TRUE(access.ReadOnly);
  EXPECT_FALSE(access.ClientPublish);
  EXPECT_TRUE(parsed.Options.HashPassword);
  EXPECT_EQ(Parse({"--anonymous", "viewer"}).Options.Access.Anonymous, TAccessRole::Viewer);
  EXPECT_EQ(Parse({"--anonymous", "editor"}).Options.Access.Anonymous, TAccessRole::Editor);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--anonymous", "admin"}, {"--client-publish", "maybe"}, {"--allow-origin", "a,b"}, {"--allow-origin", ""}}) {
    const TParsedOptions refused = Parse(bad);
    EXPECT_TRUE(refused.Exit) << bad[0] << " " << bad[1];
    EXPECT_EQ(refused.ExitCode, 2);
    EXPECT_THAT(refused.Error, HasSubstr(bad[0]));
  }
  SettingsFile file("allow-origin = [\"https://a.example\", \"https://b.example\"]\nanonymous = \"viewer\"\n");
  const TParsedOptions fromFile = Parse({"--config", file.Path()});
  ASSERT_FALSE(fromFile.Exit) << fromFile.Error;
  EXPECT_THAT(fromFile.Options.Access.AllowOrigins, ElementsAre("https://a.example", "https://b.example"));
  EXPECT_EQ(fromFile.Options.Access.Anonymous, TAccessRole::Viewer);
}
// Each protocol limit has its option; without it the default holds.
TEST(Options, ProtocolLimits) {
  const TParsedOptions defaults = Parse({});
  ASSERT_FALSE(defaults.Exit) << defaults.Error;
  EXPECT_EQ(defaults.Options.Protocol.MaxRows, 10000);
  const struct {
    const char* option;
    std::function<long long(const TProtocolLimits&)> value;
  } cases[] = {
      {"--max-rows", [](const auto& l) { return l.MaxRows; }},
      {"--max-channels-per-connection", [](const auto& l) { return l.MaxChannelsPerConnection; }},
      {"--max-channels", [](const auto& l) { return l.MaxChannels; }},
      {"--max-names-per-request", [](const auto& l) { return l.MaxNamesPerRequest; }},
      {"--max-retained-per-channel", [](const auto& l) { return l.MaxRetainedPerChannel; }},
      {"--max-retained-bytes", [](const auto& l) { return static_cast<long long>(l.MaxRetainedBytes); }},
      {"--retained-expiry", [](const auto& l) { return l.RetainedExpiry; }},
      {"--max-pending-calls", [](const auto& l) { return l.MaxPendingCalls; }},
      {"--max-held-qos", [](const auto& l) { return l.MaxHeldQoS; }},
      {"--max-transactions", [](const auto& l) { return l.MaxTransactions; }},
      {"--max-transaction-size", [](const auto& l) { return static_cast<long long>(l.MaxTransactionSize); }},
  };
  for (const auto& c : cases) {
    const TParsedOptions parsed = Parse({c.option, "7"});
    ASSERT_FALSE(parsed.Exit) << c.option << ": " << parsed.Error;
    EXPECT_EQ(c.value(parsed.Options.Protocol), 7) << c.option;
    EXPECT_EQ(c.value(defaults.Options.Protocol), c.value(TProtocolLimits{})) << c.option;
  }
  EXPECT_TRUE(Parse({"--max-rows", "-1"}).Exit);
}

// Every fault exits with status 2 and says what was wrong.
TEST(Options, BadOptionsExitWithStatusTwoAndSayWhy) {
  const struct {
    std::vector<std::string> arguments;
    std::string says;
  } cases[] = {
      {{"--port", "0"}, "--port"},
      {{"--port", "70000"}, "--port"},
      {{"--port", "http"}, "--port"},
      {{"--listen", "localhost"}, "'localhost' is not a numeric IPv4 or IPv6 address"},
      {{"--log-format", "xml"}, "--log-format"},
      {{"--colour"}, "--colour"},
      {{"--config", "/nonexistent/tickerhall.toml"}, "/nonexistent/tickerhall.toml"},
  };
  for (const auto& c : cases) {
    const TParsedOptions parsed = Parse(c.arguments);
    EXPECT_TRUE(parsed.Exit) << c.arguments.front();
    EXPECT_EQ(parsed.ExitCode, 2) << c.arguments.front();
    EXPECT_THAT(parsed.Error, StartsWith("tickerhall-headless: ")) << c.arguments.front();
    EXPECT_THAT(parsed.Error, HasSubstr(c.says)) << c.arguments.front();
    EXPECT_THAT(parsed.Error, HasSubstr("--help")) << c.arguments.front();
    EXPECT_THAT(parsed.Output, IsEmpty());
  }
}

TEST(Options, HelpAndVersionPrintAndExitWithStatusZero) {
  const TParsedOptions help = Parse({"--help"});
  EXPECT_TRUE(help.Exit);
  EXPECT_EQ(help.ExitCode, 0);
  for (const char* option : {"--port", "--listen", "--config", "--quiet", "--log-format", "--version"})
    EXPECT_THAT(help.Output, HasSubstr(option));
  const TParsedOptions version = Parse({"--version"});
  EXPECT_TRUE(version.Exit);
  EXPECT_EQ(version.ExitCode, 0);
  EXPECT_EQ(version.Output, "tickerhall-headless " + tvqProgramVersion() + "\n");
}

TEST(Options, SettingsFileGivesWhatTheCommandLineDoesNot) {
  const SettingsFile file("port = 6001\nlisten = [\"127.0.0.1\", \"::1\"]\nquiet = true\nlog-format = \"json\"\n");
  const TParsedOptions fromFile = Parse({"--config", file.Path()});
  ASSERT_FALSE(fromFile.Exit) << fromFile.Error;
  EXPECT_EQ(fromFile.Options.Port, 6001);
  EXPECT_THAT(fromFile.Options.Listen, ElementsAre("127.0.0.1", "::1"));
  EXPECT_TRUE(fromFile.Options.Quiet);
  EXPECT_EQ(fromFile.Options.LogFormat, TLogFormat::Json);
  EXPECT_EQ(fromFile.Options.ConfigFile, file.Path());

  const TParsedOptions commandLineWins = Parse({"--port", "6002", "--config", file.Path(), "--log-format", "text"});
  ASSERT_FALSE(commandLineWins.Exit) << commandLineWins.Error;
  EXPECT_EQ(commandLineWins.Options.Port, 6002);
  EXPECT_EQ(commandLineWins.Options.LogFormat, TLogFormat::Text);
  EXPECT_THAT(commandLineWins.Options.Listen, ElementsAre("127.0.0.1", "::1"));
}

// A fault in the file names the file, and the line where TOML itself is
// broken.
TEST(Options, SettingsFileFaultsNameTheFile) {
  const struct {
    std::string text;
    std::string says;
  } cases[] = {
      {"port = \n", "line 1"},
      {"port = 99999\n", "--port"},
      {"colour = \"red\"\n", "colour"},
      {"[tls]\ncolour = \"red\"\n", "tls-colour"},
      {"listen = [\"not-an-address\"]\n", "'not-an-address' is not a numeric"},
      {"port = { number = 1 }\n", "port-number"},
  };
  for (const auto& c : cases) {
    const SettingsFile file(c.text);
    const TParsedOptions parsed = Parse({"--config", file.Path()});
    EXPECT_TRUE(parsed.Exit) << c.text;
    EXPECT_EQ(parsed.ExitCode, 2) << c.text;
    EXPECT_THAT(parsed.Error, HasSubstr(c.says)) << c.text;
  }
  const SettingsFile broken("port = \n");
  EXPECT_THAT(Parse({"--config", broken.Path()}).Error, HasSubstr(broken.Path()));
}

// The limits on connections: their defaults, from the command line and
// from the file, and the values refused.
TEST(Options, ConnectionLimits) {
  const TConnectionLimits defaults = Parse({}).Options.Connections;
  EXPECT_EQ(defaults.MaxConnections, 0);  // from the descriptor limit
  EXPECT_EQ(defaults.MaxConnectionsPerAddress, 256);
  EXPECT_EQ(defaults.IdleTimeout, 60);
  EXPECT_EQ(defaults.FrameTimeout, 30);

  const TParsedOptions given = Parse({"--max-connections", "500", "--max-connections-per-address", "8",
                                      "--idle-timeout", "2", "--frame-timeout", "0"});
  ASSERT_FALSE(given.Exit) << given.Error;
  EXPECT_EQ(given.Options.Connections.MaxConnections, 500);
  EXPECT_EQ(given.Options.Connections.MaxConnectionsPerAddress, 8);
  EXPECT_EQ(given.Options.Connections.IdleTimeout, 2);
  EXPECT_EQ(given.Options.Connections.FrameTimeout, 0);

  const SettingsFile file("max-connections-per-address = 0\nidle-timeout = 0\n");
  const TParsedOptions fromFile = Parse({"--config", file.Path()});
  ASSERT_FALSE(fromFile.Exit) << fromFile.Error;
  EXPECT_EQ(fromFile.Options.Connections.MaxConnectionsPerAddress, 0);
  EXPECT_EQ(fromFile.Options.Connections.IdleTimeout, 0);

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--max-connections", "-1"},
           {"--max-connections-per-address", "many"},
           {"--idle-timeout", "1"},  // no time left to answer the ping
           {"--idle-timeout", "-5"},
           {"--frame-timeout", "100000"}}) {
    const TParsedOptions parsed = Parse(bad);
    EXPECT_EQ(parsed.ExitCode, 2) << bad.front() << " " << bad.back();
    EXPECT_THAT(parsed.Error, HasSubstr(bad.front())) << bad.back();
  }
}

// HTTP files: the limit on distinct files a request names, from the command line or the file; not negative.
TEST(Options, MaxFilesPerRequest) {
  EXPECT_EQ(Parse({}).Options.MaxFilesPerRequest, 16);
  EXPECT_EQ(Parse({"--max-files-per-request", "4"}).Options.MaxFilesPerRequest, 4);
  EXPECT_EQ(Parse({"--max-files-per-request=0"}).Options.MaxFilesPerRequest, 0);
  const SettingsFile file("max-files-per-request = 3\n");
  EXPECT_EQ(Parse({"--config", file.Path()}).Options.MaxFilesPerRequest, 3);
  for (const char* bad : {"-1", "many", "1.5"}) {
    const TParsedOptions parsed = Parse({"--max-files-per-request", bad});
    EXPECT_EQ(parsed.ExitCode, 2) << bad;
    EXPECT_THAT(parsed.Error, HasSubstr("--max-files-per-request")) << bad;
  }
}

TEST(LogLine, TextAndJsonLines) {
  const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796985478123));
  EXPECT_EQ(tvqLogTimestamp(time), "2026-12-11T10:37:58.123Z");
  EXPECT_EQ(tvqFormatLogLine(TLogFormat::Text, time, "info", "Connected: AB"),
            "2026-12-11T10:37:58.123Z Connected: AB");
  EXPECT_EQ(tvqFormatLogLine(TLogFormat::Json, time, "info", "Message Received (AB): say \"hi\"\n\\"),
            R"({"time":"2026-12-11T10:37:58.123Z","level":"info","message":"Message Received (AB): say \"hi\"\n\\"})");
}

}  // namespace

// TLS: the certificate and key go together, the TLS port needs them and is
// not the plain port; the file's [tls] table stands for the --tls- options.
// The files themselves are read when the server is set up, not here.
TEST(Options, TLSSettingsAndTheirPairing) {
  const TTLSOptions none = Parse({}).Options.TLS;
  EXPECT_THAT(none.CertFile, IsEmpty());
  EXPECT_THAT(none.KeyFile, IsEmpty());
  EXPECT_EQ(none.Port, 0);

  const TParsedOptions sideBySide = Parse({"--tls-cert", "cert.pem", "--tls-key=key.pem", "--tls-port", "5443"});
  ASSERT_FALSE(sideBySide.Exit) << sideBySide.Error;
  EXPECT_EQ(sideBySide.Options.TLS.CertFile, "cert.pem");
  EXPECT_EQ(sideBySide.Options.TLS.KeyFile, "key.pem");
  EXPECT_EQ(sideBySide.Options.TLS.Port, 5443);
  EXPECT_EQ(sideBySide.Options.Port, 5413);

  const TParsedOptions onePort = Parse({"--tls-key", "key.pem", "--tls-cert", "/no/such/cert.pem"});
  ASSERT_FALSE(onePort.Exit) << onePort.Error;
  EXPECT_EQ(onePort.Options.TLS.CertFile, "/no/such/cert.pem");
  EXPECT_EQ(onePort.Options.TLS.Port, 0);  // the one port speaks TLS

  const SettingsFile file("port = 8080\n[tls]\ncert = \"/etc/tickerhall/cert.pem\"\nkey = \"/etc/tickerhall/key.pem\"\n"
                          "port = 8443\n");
  const TParsedOptions fromFile = Parse({"--config", file.Path()});
  ASSERT_FALSE(fromFile.Exit) << fromFile.Error;
  EXPECT_EQ(fromFile.Options.TLS.CertFile, "/etc/tickerhall/cert.pem");
  EXPECT_EQ(fromFile.Options.TLS.KeyFile, "/etc/tickerhall/key.pem");
  EXPECT_EQ(fromFile.Options.TLS.Port, 8443);
  const TParsedOptions commandLineWins = Parse({"--config", file.Path(), "--tls-port", "9443", "--tls-key", "k2.pem"});
  ASSERT_FALSE(commandLineWins.Exit) << commandLineWins.Error;
  EXPECT_EQ(commandLineWins.Options.TLS.Port, 9443);
  EXPECT_EQ(commandLineWins.Options.TLS.KeyFile, "k2.pem");
  EXPECT_EQ(commandLineWins.Options.TLS.CertFile, "/etc/tickerhall/cert.pem");

  const struct {
    std::vector<std::string> arguments;
    std::string says;
  } cases[] = {
      {{"--tls-cert", "cert.pem"}, "--tls-cert and --tls-key go together: --tls-key is missing"},
      {{"--tls-key", "key.pem", "--tls-port", "5443"}, "--tls-cert and --tls-key go together: --tls-cert is missing"},
      {{"--tls-port", "5443"}, "--tls-port needs --tls-cert and --tls-key"},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-port", "5413"}, "--tls-port 5413 is the plain --port too"},
      {{"--port", "6000", "--tls-cert", "c", "--tls-key", "k", "--tls-port", "6000"}, "--tls-port 6000 is the plain"},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-port", "0"}, "--tls-port"},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-port", "65536"}, "--tls-port"},
      {{"--tls-cert", "c", "--tls-key", "k", "--tls-port", "https"}, "--tls-port"},
  };
  for (const auto& c : cases) {
    const TParsedOptions parsed = Parse(c.arguments);
    EXPECT_TRUE(parsed.Exit) << c.says;
    EXPECT_EQ(parsed.ExitCode, 2) << c.says;
    EXPECT_THAT(parsed.Error, StartsWith("tickerhall-headless: ")) << c.says;
    EXPECT_THAT(parsed.Error, HasSubstr(c.says));
    EXPECT_THAT(parsed.Error, HasSubstr("--help")) << c.says;
  }

  // The same rule holds for the file's table, and for a file and a command
  // line that together give only half of the pair.
  const SettingsFile half("[tls]\nkey = \"key.pem\"\n");
  const TParsedOptions halfFromFile = Parse({"--config", half.Path()});
  EXPECT_EQ(halfFromFile.ExitCode, 2);
  EXPECT_THAT(halfFromFile.Error, HasSubstr("--tls-cert is missing"));
  const TParsedOptions completed = Parse({"--config", half.Path(), "--tls-cert", "cert.pem"});
  ASSERT_FALSE(completed.Exit) << completed.Error;
  EXPECT_EQ(completed.Options.TLS.KeyFile, "key.pem");
  EXPECT_EQ(completed.Options.TLS.CertFile, "cert.pem");
}
