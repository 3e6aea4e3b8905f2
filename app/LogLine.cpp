#include "LogLine.h"

#include <cstdio>
#include <ctime>

#include "tvqJSON.h"

std::string tvqLogTimestamp(std::chrono::system_clock::time_point aTime) {
  using namespace std::chrono;
  const auto milliseconds = duration_cast<std::chrono::milliseconds>(aTime.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(milliseconds % 1000));
  return text;
}

std::string tvqFormatLogLine(TLogFormat aFormat, std::chrono::system_clock::time_point aTime, std::string_view aLevel,
                             std::string_view aMessage) {
  const std::string time = tvqLogTimestamp(aTime);
  if (aFormat == TLogFormat::Text) return time + " " + std::string(aMessage);
  return R"({"time":")" + time + R"(","level":")" + tvqJSONEscape(aLevel) + R"(","message":")" +
         tvqJSONEscape(aMessage) + R"("})";
}
