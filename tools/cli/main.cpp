// korvane: the terminal link's main jobs from a shell.
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_args.h"
#include "collect.h"
#include "console.h"
#include "csv_stream.h"
#include "doctor.h"
#include "korvane_version.h"
#include "legacy_cmd.h"
#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "log/frame_trace.h"
#include "output_file.h"
#include "port_listing.h"
#include "progress.h"
#include "text_charset.h"
#include "tool_entry.h"

namespace korvane::tools {

namespace {

constexpr const char* kProgramName = "korvane";
constexpr double kVersionDivisor = 100.0;

// "1.234 s": how long a table took, from its first command to its last row (flushed).
std::string SecondsSince(std::chrono::steady_clock::time_point start) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f s",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  return buf;
}

// Named files are checked before the port opens: a file that cannot be read or written, or one
// that would be both read and written (a log or output over an input), costs no exchange.
int CheckNamedFiles(const CliOptions& o) {
  std::vector<std::string> inputs;
  if (o.command == "send") {
    for (size_t i = 1; i < o.args.size(); i += 2) inputs.push_back(o.args[i]);
  } else if (o.command == "legacy") {
    std::vector<LegacyStep> steps;
    std::string error;
    ParseLegacySteps(o.args, error, &steps);
    for (const LegacyStep& step : steps)
      if (step.what == "send") inputs.push_back(step.arg);
  }
  for (const std::string& input : inputs) {
    const std::string problem = InputPathProblem(input, o.command == "send");
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgramName, input.c_str(), problem.c_str());
      return kExitFailure;
    }
  }
  struct Output {
    const std::string& path;
    const char* what;
    bool append;
  };
  // The legacy steps keep no link log.
  const bool has_log = !o.log_file.empty() && o.command != "legacy";
  std::vector<Output> outputs;
  if (has_log) outputs.push_back({o.log_file, "the log", true});
  if (!o.output.empty() && o.output != "-") outputs.push_back({o.output, "the output", false});
  for (const Output& out : outputs) {
    for (const std::string& input : inputs) {
      if (SameFile(out.path, input)) {
        std::fprintf(stderr, "%s: %s is both %s and an input file\n", kProgramName, out.path.c_str(), out.what);
        return kExitUsage;
      }
    }
    const std::string problem = OutputPathProblem(out.path, out.append);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s: cannot write %s %s: %s\n", kProgramName, out.what, out.path.c_str(), problem.c_str());
      return kExitFailure;
    }
  }
  if (outputs.size() == 2 && SameFile(outputs[0].path, outputs[1].path)) {
    std::fprintf(stderr, "%s: %s is both the log and the output\n", kProgramName, o.output.c_str());
    return kExitUsage;
  }
  return kExitOk;
}

// A command is three characters of the terminal's charset: a longer one would be cut, a shorter
// one never answered.
int CheckCommandCodes(const CliOptions& o, const ScreenText& text) {
  std::vector<std::string> codes;
  if (o.command == "cmd") codes.push_back(o.args[0]);
  if (o.command == "legacy") {
    std::vector<LegacyStep> steps;
    std::string error;
    ParseLegacySteps(o.args, error, &steps);
    for (const LegacyStep& step : steps)
      if (step.what == "cmd") codes.push_back(step.arg);
  }
  for (const std::string& code : codes) {
    if (text.ToTerminal(code).size() != kCommandCodeLength) {
      std::fprintf(stderr, "%s: a command CODE is three characters, not '%s'\n", kProgramName, code.c_str());
      return kExitUsage;
    }
  }
  return kExitOk;
}

class Cli {
 public:
  Cli(const CliOptions& o, const ScreenText& text) : o_(o), text_(text) {}

  int Run();

 private:
  int Connect();
  // Reports the link's diagnostic record for a failed step and returns the exit status.
  int Fail(const char* step, int32_t result);
  // For the raw operations, which leave only LastMessage.
  int FailRaw(const char* step, int32_t result);
  int Kind(const std::string& arg, int32_t& kind);
  int Id(const std::string& arg, int32_t& id);
  bool ShowProgress() const { return !o_.quiet && IsTerminal(stderr); }
  void Note(const std::string& line) {
    if (!o_.quiet) std::fprintf(stderr, "%s\n", line.c_str());
  }
  Unconvertible WhenUnconvertible() const { return o_.csv_replace ? Unconvertible::kReplace : Unconvertible::kRefuse; }
  int Done(int status) {
    link_.Disconnect();
    return status;
  }

  int Info();
  int Recv(int32_t kind);
  int Send();
  int Simple(int32_t (TerminalLink::*op)(), const char* step);

  const CliOptions& o_;
  const ScreenText& text_;
  TerminalLink link_;
};

int Cli::Fail(const char* step, int32_t result) {
  DiagRecord d = link_.GetDiag();
  std::string message = d.message.empty() ? link_.LastMessage() : d.message;
  std::fprintf(stderr, "%s: %s failed: result %d", kProgramName, step, result);
  if (!d.context.empty()) std::fprintf(stderr, " [%s]", text_.ToScreen(d.context).c_str());
  if (!message.empty()) std::fprintf(stderr, ": %s", text_.ToScreen(message).c_str());
  std::fprintf(stderr, "\n");
  return ExitStatusFor(result);
}

int Cli::FailRaw(const char* step, int32_t result) {
  std::fprintf(stderr, "%s: %s failed: result %d: %s\n", kProgramName, step, result,
               text_.ToScreen(link_.LastMessage()).c_str());
  return ExitStatusFor(result);
}

int Cli::Kind(const std::string& arg, int32_t& kind) {
  kind = ParseTableKind(arg);
  if (kind >= 0) return kExitOk;
  std::fprintf(stderr, "%s: '%s' is not a table kind (0..9 or a name such as journal, goods)\n", kProgramName,
               arg.c_str());
  return kExitUsage;
}

int Cli::Id(const std::string& arg, int32_t& id) {
  auto v = ParseInt32(arg);
  if (v) {
    id = *v;
    return kExitOk;
  }
  std::fprintf(stderr, "%s: '%s' is not a whole number\n", kProgramName, arg.c_str());
  return kExitUsage;
}

int Cli::Connect() {
  link_.SetPort(SystemName(o_.port));
  if (!o_.log_file.empty()) link_.SetupLogfile(SystemName(o_.log_file), 0);
  int32_t r = link_.ConnectTerminal();
  if (r != S_CONNECTED) return Fail("connect", r);
  return kExitOk;
}

int Cli::Info() {
  auto show = [&](const char* label, const std::string& value) {
    std::printf("%-12s%s\n", label, text_.ToScreen(value).c_str());
  };
  show("program:", link_.RemoteProgName());
  show("version:", link_.RemoteProgVersion());
  show("device:", link_.RemoteDevName());
  show("device id:", link_.RemoteDevID());
  std::printf("%-12s%1.2lf\n", "protocol:", link_.RemoteVersion() / kVersionDivisor);
  show("port:", link_.Port());
  return Done(kExitOk);
}

int Cli::Recv(int32_t kind) {
  TextConverter rows_to_locale(o_.charset, LocaleCharset());
  CsvFileSink sink;
  if (!sink.Open(o_.output, o_.csv_convert ? &rows_to_locale : nullptr, WhenUnconvertible())) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgramName, o_.output.c_str(), std::strerror(errno));
    return Done(kExitFailure);
  }
  // A kind that cannot be downloaded is refused by the download itself, before any job check.
  if (DownloadCommand(kind) != nullptr) {
    int32_t r = link_.RecvPrepare();
    if (r != S_LINK_OK) {
      sink.Discard();
      return Done(Fail("recv prepare", r));
    }
  }
  ProgressBar progress(std::string("recv ") + TableKindFileName(kind), ShowProgress());
  const auto started = std::chrono::steady_clock::now();
  int32_t r = link_.RecvTable(kind, sink, &progress);
  const std::string took = SecondsSince(started);
  progress.Finish();
  if (r != S_LINK_OK) {
    // The named file keeps what it held: a script that misses the exit status never takes a
    // partial table for the whole one.
    const int status = Fail("recv", r);
    if (sink.Close() && sink.Rows() > 0 && !sink.PartialPath().empty()) {
      std::fprintf(stderr, "%s: %s %s; the %llu rows received are in %s\n", kProgramName, o_.output.c_str(),
                   sink.TargetExisted() ? "left as it was" : "not written",
                   static_cast<unsigned long long>(sink.Rows()), sink.PartialPath().c_str());
      sink.Keep();
    } else {
      sink.Discard();
    }
    return Done(status);
  }
  if (sink.BadRow() != 0) {
    // Written in place (standard output, a device, a pipe), the rows before the bad one are out.
    const bool in_place = sink.PartialPath().empty();
    const std::string where = o_.output.empty() || o_.output == "-" ? "standard output" : o_.output;
    sink.Discard();
    std::fprintf(stderr,
                 "%s: row %llu of %s does not convert from %s to %s (--csv-convert=replace writes '?' for what does "
                 "not); %s %s\n",
                 kProgramName, static_cast<unsigned long long>(sink.BadRow()), TableKindFileName(kind),
                 o_.charset.c_str(), LocaleCharset().c_str(), where.c_str(),
                 in_place               ? "holds the rows before it"
                 : sink.TargetExisted() ? "left as it was"
                                        : "not written");
    return Done(kExitFailure);
  }
  if (!sink.Commit()) {
    const std::string partial = sink.PartialPath();
    std::fprintf(stderr, "%s: writing %s failed: %s%s%s\n", kProgramName,
                 o_.output.empty() || o_.output == "-" ? "standard output" : o_.output.c_str(), std::strerror(errno),
                 partial.empty() ? "" : "; the rows are in ", partial.c_str());
    sink.Keep();
    return Done(kExitFailure);
  }
  link_.RecvFinal();
  Note(std::to_string(sink.Rows()) + " rows of " + TableKindFileName(kind) + " written to " +
       (o_.output.empty() || o_.output == "-" ? std::string("standard output") : o_.output) + " in " + took);
  return Done(kExitOk);
}

int Cli::Send() {
  struct Table {
    int32_t kind;
    std::string file;
  };
  std::vector<Table> tables;
  for (size_t i = 0; i + 1 < o_.args.size(); i += 2) {
    Table t{};
    t.kind = ParseTableKind(o_.args[i]);
    t.file = o_.args[i + 1];
    tables.push_back(t);
    // A kind that cannot be uploaded is refused by the upload itself, before loading mode starts.
    if (UploadCommand(t.kind) == nullptr) {
      StringRowList none;
      return Done(Fail("send", link_.SendTable(t.kind, none, nullptr, 0)));
    }
  }
  TextConverter rows_to_terminal(LocaleCharset(), o_.charset);
  auto open = [&](CsvFileSource& source, const std::string& file) {
    if (!source.Open(file, o_.csv_convert ? &rows_to_terminal : nullptr, WhenUnconvertible())) {
      std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgramName, file.c_str(), std::strerror(errno));
      return false;
    }
    source.SetCharsetNames(LocaleCharset(), o_.charset);
    return true;
  };
  // Every file is read through once before anything is sent: a row that cannot be taken as it
  // stands fails the whole send, not the tables after those already loaded.
  for (const Table& t : tables) {
    CsvFileSource source;
    if (!open(source, t.file)) return Done(kExitFailure);
    std::string row;
    while (source.Next(row) != RowSource::Fetch::kEnd && source.BadRow() == 0) {
    }
    if (source.BadRow() != 0) {
      std::fprintf(stderr, "%s: %s %s; nothing sent\n", kProgramName, t.file.c_str(), source.Problem().c_str());
      return Done(kExitFailure);
    }
  }
  int32_t r = link_.ActivateUploadingTables();
  if (r != S_LINK_OK) return Done(Fail("send prepare", r));
  for (const Table& t : tables) {
    CsvFileSource source;
    if (!open(source, t.file)) return Done(kExitFailure);
    const uint32_t count = source.CountRows();
    ProgressBar progress(std::string("send ") + TableKindFileName(t.kind), ShowProgress());
    const auto started = std::chrono::steady_clock::now();
    r = link_.SendTable(t.kind, source, &progress, static_cast<int32_t>(count));
    const std::string took = SecondsSince(started);
    progress.Finish();
    if (source.ReadFailed()) {
      std::fprintf(stderr, "%s: reading %s failed\n", kProgramName, t.file.c_str());
      return Done(kExitFailure);
    }
    if (source.BadRow() != 0) {
      std::fprintf(stderr, "%s: %s %s\n", kProgramName, t.file.c_str(), source.Problem().c_str());
      return Done(kExitFailure);
    }
    if (r != S_LINK_OK) return Done(Fail("send", r));
    Note(std::to_string(count) + " rows of " + TableKindFileName(t.kind) + " sent from " + t.file + " in " + took);
  }
  r = link_.SendFinal(o_.operation_id.value_or(0));
  if (r != S_LINK_OK) return Done(Fail("send final", r));
  return Done(kExitOk);
}

int Cli::Simple(int32_t (TerminalLink::*op)(), const char* step) {
  int32_t r = (link_.*op)();
  return Done(r == S_LINK_OK ? kExitOk : Fail(step, r));
}

int Cli::Run() {
  const std::string& c = o_.command;
  // Arguments are checked before the port is opened, so a typo costs no exchange.
  int32_t kind = 0;
  int32_t id = 0;
  if (c == "recv" || c == "clear" || c == "get-id" || c == "set-id" || c == "filter-id" || c == "filter-text") {
    if (int s = Kind(o_.args[0], kind)) return s;
  }
  if (c == "send") {
    for (size_t i = 0; i < o_.args.size(); i += 2) {
      if (int s = Kind(o_.args[i], kind)) return s;
    }
  }
  if (c == "set-id" || c == "filter-id") {
    if (int s = Id(o_.args[1], id)) return s;
  }
  if (int s = CheckNamedFiles(o_)) return s;
  if (int s = Connect()) return Done(s);
  if (c == "info") return Info();
  if (c == "recv") return Recv(kind);
  if (c == "send") return Send();
  if (c == "beep") return Simple(&TerminalLink::MakeBeep, "beep");
  if (c == "reboot") return Simple(&TerminalLink::Reboot, "reboot");
  if (c == "close-forms") return Simple(&TerminalLink::CloseAllForms, "close-forms");
  if (c == "reset-filters") return Simple(&TerminalLink::ResetAllFilters, "reset-filters");

  int32_t r = S_LINK_OK;
  if (c == "clear") {
    r = link_.ClearTable(kind);
  } else if (c == "get-id") {
    r = link_.GetCurrentID(kind, id);
    if (r == S_LINK_OK) std::printf("%d\n", id);
  } else if (c == "set-id") {
    r = link_.SetCurrentID(kind, id);
  } else if (c == "filter-id") {
    r = link_.SetFilterID(kind, id);
  } else if (c == "filter-text") {
    r = link_.SetFilterText(kind, text_.ToTerminal(o_.args[1]));
  } else if (c == "cmd") {
    r = link_.SendCmd(text_.ToTerminal(o_.args[0]));
    return Done(r == S_LINK_OK ? kExitOk : FailRaw(c.c_str(), r));
  } else if (c == "send-line") {
    r = link_.TryToSend(text_.ToTerminal(o_.args[0]));
    if (r == S_LINK_OK) r = link_.FlushSendCache();
    return Done(r == S_LINK_OK ? kExitOk : FailRaw(c.c_str(), r));
  } else if (c == "recv-line") {
    std::vector<uint8_t> buffer(kRowBufferSize);
    int32_t n = 0;
    r = link_.TryToRecv(buffer.data(), static_cast<uint32_t>(buffer.size()), n);
    if (r != S_LINK_OK) return Done(FailRaw(c.c_str(), r));
    std::printf("%s\n", text_.ToScreen(std::string_view(reinterpret_cast<char*>(buffer.data()), n)).c_str());
    return Done(kExitOk);
  }
  return Done(r == S_LINK_OK ? kExitOk : Fail(c.c_str(), r));
}

int Run(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  auto parsed = ParseCommandLine(args, std::getenv(kPortEnvironment), error);
  if (!parsed) {
    std::fprintf(stderr, "%s: %s\n(korvane --help lists the subcommands and options)\n", kProgramName, error.c_str());
    return kExitUsage;
  }
  const CliOptions& o = *parsed;
  if (o.help) {
    const SubcommandInfo* info = FindSubcommand(o.command);
    std::fputs(info != nullptr ? SubcommandHelp(*info).c_str() : GeneralHelp().c_str(), stdout);
    return kExitOk;
  }
  if (o.version) {
    std::printf("%s %s\n", kProgramName, KORVANE_VERSION);
    return kExitOk;
  }
  if (const std::string problem = TerminalCharsetProblem(o.charset); !problem.empty()) {
    std::fprintf(stderr, "%s: %s\n", kProgramName, problem.c_str());
    return kExitUsage;
  }
  ScreenText text(o.charset);
  if (int s = CheckCommandCodes(o, text)) return s;
  if (!o.trace_file.empty() && !OpenFrameTrace(SystemName(o.trace_file))) {
    std::fprintf(stderr, "%s: cannot write the trace %s: %s\n", kProgramName, o.trace_file.c_str(),
                 std::strerror(errno));
    return kExitFailure;
  }
  if (o.command == "ports") {
    if (o.watch) return WatchPorts(o);
    ListPorts();
    return kExitOk;
  }
  if (o.command == "doctor") return RunDoctor(o, text);
  if (o.command == "collect") return RunCollect(o, text);
  if (o.command == "legacy") {
    if (int s = CheckNamedFiles(o)) return s;
    return RunLegacy(o, text);
  }
  Cli cli(o, text);
  return cli.Run();
}

}  // namespace

int Main(int argc, char** argv) {
  // Before anything opens a descriptor: a closed standard stream must not hand its number to a port.
  if (!EnsureStandardDescriptors()) return kExitFailure;
  InstallInterruptCleanup();
  std::setlocale(LC_ALL, "");
  // Figures keep their point whatever the locale: scripts read them (ru_RU would write 3,00).
  std::setlocale(LC_NUMERIC, "C");
  int status = Run(argc, argv);
  // What was printed counts only if it reached its place (a full disk, a closed pipe).
  const bool written = std::fflush(stdout) == 0 && !std::ferror(stdout);
  const int e = errno;
  if ((std::fclose(stdout) != 0 || !written) && status == kExitOk) {
    std::fprintf(stderr, "%s: writing standard output failed: %s\n", kProgramName, std::strerror(written ? errno : e));
    status = kExitFailure;
  }
  return status;
}

}  // namespace korvane::tools

int ToolMain(int argc, char** argv) { return korvane::tools::Main(argc, argv); }
