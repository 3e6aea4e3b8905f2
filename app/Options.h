// Public: the program's options, from its command line and from a TOML
// file (--config FILE; the command line wins). Every setting is declared
// once, in Options.cpp, as a command-line option; the file's keys are the
// same names without the dashes, and a table's keys take its name as a
// prefix ([tls] cert = ... stands for --tls-cert).
#pragma once

#include <string>
#include <vector>

#include "AccessOptions.h"
#include "ConnectionLimits.h"
#include "ProtocolLimits.h"
#include "TLSOptions.h"
#include "TrafficLimits.h"

enum class TLogFormat { Text, Json };

struct TProgramOptions {
  int Port = 5413;
  // Local addresses to listen on; none: every IPv4 and IPv6 address.
  std::vector<std::string> Listen;
  std::string ConfigFile;
  bool Quiet = false;  // no log lines of client activity
  TLogFormat LogFormat = TLogFormat::Text;
  TTrafficLimits Traffic;
  TConnectionLimits Connections;
  // Who may connect and who may edit.
  TAccessOptions Access;
  // --hash-password: print the hash of the password on standard input, exit.
  bool HashPassword = false;
  // HTTP files: the most distinct files one request may name (0: no limit).
  int MaxFilesPerRequest = 16;
  TProtocolLimits Protocol;
  // TLS: the certificate and key, and the port that speaks it.
  TTLSOptions TLS;
};

// What parsing made of a command line: the options, or an exit status and
// the text to print (help and version on standard output with status 0,
// errors on standard error with status 2).
struct TParsedOptions {
  TProgramOptions Options;
  bool Exit = false;
  int ExitCode = 0;
  std::string Output;  // for standard output
  std::string Error;   // for standard error
};

// aProgram names the program in --help ("tickerhall-headless").
TParsedOptions tvqParseOptions(const std::string& aProgram, const std::vector<std::string>& aArguments);
TParsedOptions tvqParseOptions(int argc, const char* const* argv);

// The program's version, as --version prints it.
std::string tvqProgramVersion();
