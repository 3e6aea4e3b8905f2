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
      {"[tls]\ncert = \"a.pem\"\n", "tls-cert"},
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

TEST(LogLine, TextAndJsonLines) {
  const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796985478123));
  EXPECT_EQ(tvqLogTimestamp(time), "2026-12-11T10:37:58.123Z");
  EXPECT_EQ(tvqFormatLogLine(TLogFormat::Text, time, "info", "Connected: AB"),
            "2026-12-11T10:37:58.123Z Connected: AB");
  EXPECT_EQ(tvqFormatLogLine(TLogFormat::Json, time, "info", "Message Received (AB): say \"hi\"\n\\"),
            R"({"time":"2026-12-11T10:37:58.123Z","level":"info","message":"Message Received (AB): say \"hi\"\n\\"})");
}

}  // namespace
