// Public: the program's log lines as the headless front end writes them:
// timestamped text ("2026-12-11T10:57:23.123Z Connected: ..."), or one JSON
// object a line ({"time":"...","level":"info","message":"Connected: ..."}).
// The message itself is the log line as the window shows it.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "Options.h"

// UTC, to the millisecond: "2026-12-11T10:57:23.123Z".
std::string tvqLogTimestamp(std::chrono::system_clock::time_point aTime);

// aLevel: "info" for client activity, "error" for errors, "notice" for the
// program's own news (listening, stopped).
std::string tvqFormatLogLine(TLogFormat aFormat, std::chrono::system_clock::time_point aTime, std::string_view aLevel,
                             std::string_view aMessage);
