#include "cli_args.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "link/link_protocol.h"

namespace korvane::tools {

namespace {

constexpr const char* kKindHelp =
    "KIND is 0..9 or the table's name: journal, journal2, operations, performers, addresses,\n"
    "documents, documents2, goods, goods2, service.\n";

const std::vector<SubcommandInfo> kSubcommands = {
    {"ports", "[--watch [--timeout S]]", "list the ports on which a terminal can be found",
     "One line per port: PATH, a tab, its kind (usb (DRIVER) for the hand-held sync driver's ttys,\n"
     "serial for the others), and, when the system names the device, a tab and its maker, product,\n"
     "USB hardware ID and bus location.\n"
     "--watch then reports device changes as they happen, one line each, until interrupted or for\n"
     "S seconds: \"+\" or \"-\" (arrived or removed), a tab, then for a tty its line as above (on\n"
     "removal only PATH and tty), for a whole USB device its node, \"usb device\", its hardware ID\n"
     "and bus location.\n",
     0, 0, false},
    {"doctor", "[--port NAME ...] [--irda NAME ...] [--json] [--quick]",
     "find the terminal on every port, say what stops the others, measure the line",
     "Checks every port the system lists (as ports does), the one in KORVANE_PORT and every --port\n"
     "NAME given (LAN:HOST:PORT too), all at once: whether it opens (missing, busy and by which\n"
     "process, no permission and which group grants it), whether a terminal answers and with which\n"
     "protocol (the link check of 3.00 and 2.00, the software query of 1.00 on serial lines), its\n"
     "program, version, device, ID and job, through queries only, and the round trip of 30 link\n"
     "checks with the frames sent again, the CRC failures and the row rate a download may reach\n"
     "(--quick leaves that out). --irda NAME checks a serial port through its infrared adapter:\n"
     "the adapter is probed first. Nothing on the terminal is changed.\n"
     "--json prints one JSON object per port and line instead of the table.\n"
     "Exit status: 0 when a terminal answered on some port, 1 when none did.\n",
     0, 0, false},
    {"info", "", "connect and print the terminal's program, device and protocol version", "", 0, 0, true},
    {"recv", "KIND [-o FILE]", "download a table (journal, journal2 or service) into a CSV file",
     "Rows are written as they arrive, one per line ending in CR LF, as raw bytes in the terminal's\n"
     "charset (see --csv-convert). Without -o (or with -o -) rows go to standard output.\n",
     1, 1, true},
    {"collect", "KIND -o DIR [--port NAME ...]", "download a table from many terminals at once, a CSV file each",
     "Every --port NAME is served at once on its own thread; without --port, every port the system\n"
     "lists (as ports does) and the one in KORVANE_PORT, of which those where no terminal answers are\n"
     "only reported. Each terminal's rows go to DIR/ID.csv, ID being its device ID (a slash, a\n"
     "control character or a leading dot in it becomes _), as recv -o writes them: the file is\n"
     "replaced only by a whole table, and nothing is left of one cut short. A terminal with the\n"
     "device ID of a port before it is not downloaded. One line per port on standard output: PORT,\n"
     "DEVICE ID, ROWS, SECONDS and the result.\n"
     "Exit status: 0 when every terminal's file was written; 1 when any was not (the others are\n"
     "written), or no terminal answered; 2 for a usage error.\n",
     1, 1, false},
    {"send", "KIND FILE [KIND FILE ...] [--oper-id N]",
     "upload tables from CSV files, then let the terminal process them",
     "Each FILE holds one row per line. After the last table the terminal processes what it\n"
     "received; --oper-id N (N > 0) then sets its current operation ID.\n",
     2, -1, true},
    {"beep", "", "make the terminal beep", "", 0, 0, true},
    {"reboot", "", "reboot the terminal", "", 0, 0, true},
    {"close-forms", "", "close every form on the terminal's screen", "", 0, 0, true},
    {"reset-filters", "", "reset every filter in the terminal", "", 0, 0, true},
    {"clear", "KIND", "clear a journal table (journal or journal2)", "", 1, 1, true},
    {"get-id", "KIND", "print the current ID of a table (operations or documents)", "", 1, 1, true},
    {"set-id", "KIND ID", "set the current ID of a table (operations .. documents); -1 allowed", "", 2, 2, true},
    {"filter-id", "KIND ID", "filter a table (operations .. documents) by an ID", "", 2, 2, true},
    {"filter-text", "KIND TEXT", "filter a table (journal, journal2, goods) by a code or barcode", "", 2, 2, true},
    {"cmd", "CODE", "send a raw command code and check its echo", "", 1, 1, true},
    {"send-line", "TEXT", "send one raw data record", "", 1, 1, true},
    {"recv-line", "", "receive one raw data record and print it", "", 0, 0, true},
    {"legacy", "[--protocol V] STEP [STEP ...]", "rows one at a time through the legacy port object",
     "Each STEP runs in order on one open port:\n"
     "  cmd CODE      send a three-character command and check its echo\n"
     "  send FILE     send each line of FILE as a row, then the end-of-data row (EOT)\n"
     "  recv          receive rows until the end-of-data row; -o FILE writes them to FILE\n"
     "  line          receive one row and print it (the answer to a command)\n"
     "  online [MS]   the link check (2.00 and 3.00), MS milliseconds at most (default 2000)\n"
     "--protocol is 1.00 (default), 2.00 or 3.00. At 1.00 (character blocks) the port is a serial\n"
     "device or pty, opened as the object opens it; 2.00 and 3.00 take every port name.\n"
     "Example: legacy cmd 021 recv -o journal.csv; legacy cmd 002 cmd 111 send rows.csv cmd 003 line\n",
     1, -1, true},
};

bool TakesValue(const std::string& opt) {
  return opt == "--port" || opt == "--irda" || opt == "--log" || opt == "--trace" || opt == "--charset" ||
         opt == "-o" || opt == "--oper-id" || opt == "--protocol" || opt == "--timeout";
}

}  // namespace

const std::vector<SubcommandInfo>& Subcommands() { return kSubcommands; }

const SubcommandInfo* FindSubcommand(const std::string& name) {
  for (const auto& s : kSubcommands) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

std::optional<int32_t> ParseInt32(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != 0 || v < INT32_MIN || v > INT32_MAX) return std::nullopt;
  if (std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  return static_cast<int32_t>(v);
}

int32_t ParseTableKind(const std::string& text) {
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '9') return text[0] - '0';
  std::string lower;
  for (char c : text) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return TableKindFromFileName(lower.c_str());
}

bool ParseLegacySteps(const std::vector<std::string>& args, std::string& error, std::vector<LegacyStep>* steps) {
  for (size_t i = 0; i < args.size(); ++i) {
    LegacyStep step;
    step.what = args[i];
    const bool has_next = i + 1 < args.size();
    if (step.what == "cmd" || step.what == "send") {
      if (!has_next) {
        error = "legacy " + step.what + (step.what == "cmd" ? " needs a CODE" : " needs a FILE");
        return false;
      }
      step.arg = args[++i];
    } else if (step.what == "online") {
      if (has_next && ParseInt32(args[i + 1])) {
        step.ms = *ParseInt32(args[++i]);
        if (step.ms < 0) {
          error = "legacy online takes a time-out of 0 ms or more";
          return false;
        }
      }
    } else if (step.what != "recv" && step.what != "line") {
      error = "unknown legacy step '" + step.what + "' (cmd CODE, send FILE, recv, line, online [MS])";
      return false;
    }
    if (steps != nullptr) steps->push_back(step);
  }
  return true;
}

std::optional<CliOptions> ParseCommandLine(const std::vector<std::string>& argv, const char* port_env,
                                           std::string& error) {
  CliOptions o;
  if (port_env != nullptr) o.port = port_env;
  bool options_end = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& a = argv[i];
    if (!options_end && a == "--") {
      options_end = true;
      continue;
    }
    if (!options_end && a.size() > 1 && a[0] == '-' &&
        !(a.size() > 1 && std::isdigit(static_cast<unsigned char>(a[1])))) {
      std::string name = a;
      std::string value;
      bool has_inline = false;
      if (auto eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = a.substr(0, eq);
        value = a.substr(eq + 1);
        has_inline = true;
      }
      if (name == "--help" || name == "-h") {
        o.help = true;
      } else if (name == "--version") {
        o.version = true;
      } else if (name == "--quiet" || name == "-q") {
        o.quiet = true;
      } else if (name == "--csv-convert") {
        o.csv_convert = true;
        if (has_inline) {
          if (value != "replace") {
            error = "--csv-convert takes no value but =replace, not '" + value + "'";
            return std::nullopt;
          }
          o.csv_replace = true;
        }
      } else if (name == "--watch") {
        o.watch = true;
      } else if (name == "--json") {
        o.json = true;
      } else if (name == "--quick") {
        o.quick = true;
      } else if (TakesValue(name)) {
        if (!has_inline) {
          if (i + 1 >= argv.size()) {
            error = "option " + name + " needs a value";
            return std::nullopt;
          }
          value = argv[++i];
        }
        if (name == "--port") {
          o.port = value;
          o.ports.push_back(value);
        } else if (name == "--log") {
          o.log_file = value;
        } else if (name == "--irda") {
          o.irda_ports.push_back(value);
        } else if (name == "--trace") {
          o.trace_file = value;
        } else if (name == "--charset") {
          o.charset = value;
        } else if (name == "-o") {
          o.output = value;
        } else if (name == "--protocol") {
          if (value == "1.00" || value == "1")
            o.legacy_protocol = 100;
          else if (value == "2.00" || value == "2")
            o.legacy_protocol = 200;
          else if (value == "3.00" || value == "3")
            o.legacy_protocol = 300;
          else {
            error = "--protocol is 1.00, 2.00 or 3.00, not '" + value + "'";
            return std::nullopt;
          }
          o.legacy_protocol_given = true;
        } else if (name == "--timeout") {
          auto seconds = ParseInt32(value);
          if (!seconds || *seconds < 0) {
            error = "--timeout needs a whole number of seconds, not '" + value + "'";
            return std::nullopt;
          }
          o.watch_seconds = *seconds;
        } else {
          auto id = ParseInt32(value);
          // The terminal refuses a negative ID only after every table went over: refused here.
          if (!id || *id < 0) {
            error = "--oper-id needs a whole number of 0 or more, not '" + value + "'";
            return std::nullopt;
          }
          o.operation_id = *id;
        }
      } else {
        error = "unknown option " + name;
        return std::nullopt;
      }
      continue;
    }
    if (o.command.empty()) {
      o.command = a;
    } else {
      o.args.push_back(a);
    }
  }
  if (o.help || o.version) return o;
  if (o.command.empty()) {
    error = "no subcommand given";
    return std::nullopt;
  }
  const SubcommandInfo* info = FindSubcommand(o.command);
  if (info == nullptr) {
    error = "unknown subcommand '" + o.command + "'";
    return std::nullopt;
  }
  const int n = static_cast<int>(o.args.size());
  if (n < info->min_args || (info->max_args >= 0 && n > info->max_args)) {
    error = std::string("usage: korvane ") + info->name + (*info->usage ? " " : "") + info->usage;
    return std::nullopt;
  }
  if (o.command == "send" && n % 2 != 0) {
    error = "send takes pairs of KIND FILE";
    return std::nullopt;
  }
  if (o.legacy_protocol_given && o.command != "legacy") {
    error = "--protocol belongs to legacy";
    return std::nullopt;
  }
  if (o.command == "legacy") {
    if (!ParseLegacySteps(o.args, error)) return std::nullopt;
    bool recv = false;
    for (size_t i = 0; i < o.args.size(); ++i) recv = recv || o.args[i] == "recv";
    if (!o.output.empty() && !recv) {
      error = "-o belongs to recv";
      return std::nullopt;
    }
  } else if (o.command == "collect") {
    if (o.output.empty() || o.output == "-") {
      error = "collect needs -o DIR, the folder for the files";
      return std::nullopt;
    }
    // One log for many links would interleave them.
    if (!o.log_file.empty()) {
      error = "--log takes one link's log; collect keeps none";
      return std::nullopt;
    }
  } else if (!o.output.empty() && o.command != "recv") {
    error = "-o belongs to recv and collect";
    return std::nullopt;
  }
  if (o.operation_id && o.command != "send") {
    error = "--oper-id belongs to send";
    return std::nullopt;
  }
  if (o.watch && o.command != "ports") {
    error = "--watch belongs to ports";
    return std::nullopt;
  }
  if ((o.json || o.quick || !o.irda_ports.empty()) && o.command != "doctor") {
    error = std::string(o.json ? "--json" : o.quick ? "--quick" : "--irda") + " belongs to doctor";
    return std::nullopt;
  }
  if (o.watch_seconds && !o.watch) {
    error = "--timeout belongs to ports --watch";
    return std::nullopt;
  }
  if (info->needs_port && o.port.empty()) {
    error = "no port: give --port NAME or set KORVANE_PORT";
    return std::nullopt;
  }
  return o;
}

std::string GeneralHelp() {
  std::string s = "usage: korvane [OPTIONS] SUBCOMMAND [ARGS]\n"
                  "\n"
                  "Exchanges data with a hand-held terminal over one port.\n"
                  "\n"
                  "Subcommands:\n";
  for (const auto& c : kSubcommands) {
    std::string head = std::string("  ") + c.name + (*c.usage ? " " : "") + c.usage;
    if (head.size() < 44)
      head.resize(44, ' ');
    else
      head += "\n" + std::string(44, ' ');
    s += head + c.summary + "\n";
  }
  s += std::string("\n"
                   "Options:\n"
                   "  --port NAME      the terminal's port (default: $") +
       kPortEnvironment +
       "): a serial device such as /dev/ttyUSB0,\n"
       "                   LAN:HOST:PORT for TCP, USB for the sync driver's device\n"
       "  --log FILE       write the link log to FILE\n"
       "  --trace FILE     append every frame or block that crosses the wire to FILE, one line\n"
       "                   each: time, port, direction, number, kind, length, check, bytes\n"
       "  --charset NAME   the terminal's charset (default CP1251), converted to the locale's for\n"
       "                   everything shown and taken from the command line\n"
       "  --csv-convert    convert CSV rows too (by default they stay the terminal's raw bytes); a\n"
       "                   row that does not convert fails with its number, unless given as\n"
       "                   --csv-convert=replace, which writes '?' for each such character\n"
       "  --quiet, -q      no progress bar and no summaries\n"
       "  --help, -h       this text; SUBCOMMAND --help for one subcommand\n"
       "  --version        the version of korvane\n"
       "\n" +
       kKindHelp +
       "\n"
       "Exit status: 0 on success; 2 for a usage error; the magnitude of the link's result code\n"
       "(3..8, 101..104) when the terminal or the link fails; 1 for any other failure.\n";
  return s;
}

std::string SubcommandHelp(const SubcommandInfo& info) {
  std::string s = std::string("usage: korvane [OPTIONS] ") + info.name + (*info.usage ? " " : "") + info.usage +
                  "\n\n" + info.summary + ".\n";
  if (*info.details) s += std::string("\n") + info.details;
  if (std::string(info.usage).find("KIND") != std::string::npos) s += std::string("\n") + kKindHelp;
  s += "\nSee korvane --help for the options.\n";
  return s;
}

int ExitStatusFor(int32_t result) {
  if (result >= 0) return kExitOk;
  const int32_t magnitude = -result;
  if ((magnitude >= -E_BAD_REQUEST && magnitude <= -E_NO_PORT) ||
      (magnitude >= -E_NO_JOB && magnitude <= -E_TERMINAL_PROCESSING))
    return magnitude;
  return kExitFailure;
}

}  // namespace korvane::tools
