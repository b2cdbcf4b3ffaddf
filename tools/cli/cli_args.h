// Command-line parsing of the `korvane` tool: global options, the subcommand and its arguments,
// table kinds and numbers. Kept apart from main so the parsing can be tested without a terminal.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane::tools {

inline constexpr const char* kPortEnvironment = "KORVANE_PORT";
inline constexpr const char* kDefaultTerminalCharset = "CP1251";

// Exit statuses: a link failure exits with the magnitude of its result code (3..8, 101..104),
// anything else that fails with kExitFailure.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct CliOptions {
  std::string port;
  std::string log_file;
  std::string trace_file;  // --trace: every frame or block on the wire
  std::string charset = kDefaultTerminalCharset;
  bool quiet = false;
  bool csv_convert = false;  // CSV rows converted between the terminal charset and the locale
  bool csv_replace = false;  // --csv-convert=replace: what does not convert becomes '?' instead of failing
  bool help = false;
  bool version = false;
  std::string output;                   // recv -o
  std::optional<int32_t> operation_id;  // send --oper-id
  uint32_t legacy_protocol = 100;       // legacy --protocol, as 100, 200 or 300
  bool legacy_protocol_given = false;
  bool watch = false;                    // ports --watch
  std::optional<int32_t> watch_seconds;  // ports --watch --timeout
  std::vector<std::string> ports;        // every --port, in order (doctor checks them all)
  std::vector<std::string> irda_ports;   // doctor --irda: serial ports with an infrared adapter
  bool json = false;                     // doctor --json
  bool quick = false;                    // doctor --quick
  std::string command;                   // the subcommand
  std::vector<std::string> args;         // its positional arguments
};

// Parses argv (without argv[0]). `port_env` is the value of KORVANE_PORT or null. On failure the
// result is empty and `error` says why.
std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& argv, const char* port_env,
                                           std::string& error);

// One step of `korvane legacy`: cmd CODE, send FILE, recv, line, online [MS].
struct LegacyStep {
  std::string what;
  std::string arg;
  int32_t ms = 2000;
};
bool ParseLegacySteps(const std::vector<std::string>& args, std::string& error,
                      std::vector<LegacyStep>* steps = nullptr);
// A table kind given as 0..9 or as its English name; -1 when neither.
int32_t ParseTableKind(const std::string& text);
// A whole decimal number in the 32-bit range, nothing else.
std::optional<int32_t> ParseInt32(const std::string& text);

// The subcommands with their argument counts and help texts.
struct SubcommandInfo {
  const char* name;
  const char* usage;    // arguments after the name
  const char* summary;  // one line
  const char* details;  // further lines of --help, may be empty
  int min_args;
  int max_args;  // -1: any number
  bool needs_port;
};
const SubcommandInfo* FindSubcommand(const std::string& name);
const std::vector<SubcommandInfo>& Subcommands();
std::string GeneralHelp();
std::string SubcommandHelp(const SubcommandInfo& info);

// The exit status for a link result code.
int ExitStatusFor(int32_t result);

}  // namespace korvane::tools
