// `korvane legacy`: the legacy port object's row-level operations from a shell.
#include "legacy_cmd.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "csv_stream.h"
#include "legacy/comport.h"
#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "log/diag_log.h"

namespace korvane::tools {

namespace {

constexpr const char* kProgramName = "korvane";
// The receive buffer of the automation objects.
constexpr int32_t kRecvBufferSize = 65535;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What the port object and the layers below it logged about the failure, shown on the screen:
// the diagnostic log is kept only where its file exists.
std::string Reasons(int32_t result) {
  std::string text;
  for (const std::string& line : TakeRecentDiagLines()) text += (text.empty() ? "" : "; ") + line;
  if (text.empty() && result < 0) text = TransferResultText(result);
  return text;
}

int Failed(const std::string& step, int32_t result, const ScreenText& screen) {
  const std::string reasons = Reasons(result);
  std::fprintf(stderr, "%s: legacy %s failed: result %d%s%s\n", kProgramName, step.c_str(), result,
               reasons.empty() ? "" : ": ", screen.ToScreen(reasons).c_str());
  return result < 0 ? ExitStatusFor(result) : kExitFailure;
}

class LegacyRun {
 public:
  LegacyRun(const CliOptions& o, const ScreenText& text) : o_(o), text_(text) {}
  ~LegacyRun() { port_.Close(); }
  int Run();

 private:
  void Note(const std::string& line) const {
    if (!o_.quiet) std::fprintf(stderr, "%s\n", line.c_str());
  }
  int Send(const std::string& file);
  int Recv();
  int Line();

  const CliOptions& o_;
  const ScreenText& text_;
  CComport port_;
};

int LegacyRun::Run() {
  port_.SetProtocolVersion(o_.legacy_protocol);
  TakeRecentDiagLines();
  if (port_.Open(SystemName(o_.port)) != 1) {
    const uint32_t err = port_.LastOpenError();
    const std::string reason = err != 0 ? PortOpenFailureText(o_.port, o_.port, err) : Reasons(0);
    std::fprintf(stderr, "%s: legacy: cannot open %s at %.2f: %s\n", kProgramName, o_.port.c_str(),
                 o_.legacy_protocol / 100.0, text_.ToScreen(reason).c_str());
    return kExitFailure;
  }
  std::vector<LegacyStep> steps;
  std::string error;
  ParseLegacySteps(o_.args, error, &steps);
  for (const LegacyStep& step : steps) {
    int status = kExitOk;
    TakeRecentDiagLines();
    if (step.what == "cmd") {
      const int32_t r = port_.SendCmd(text_.ToTerminal(step.arg));
      status = r == 1 ? kExitOk : Failed("cmd " + step.arg, r, text_);
    } else if (step.what == "send") {
      status = Send(step.arg);
    } else if (step.what == "recv") {
      status = Recv();
    } else if (step.what == "line") {
      status = Line();
    } else {
      const int32_t r = port_.IsTerminalOnline(step.ms);
      if (r > 0) std::printf("online (%d)\n", r);
      status = r > 0 ? kExitOk : Failed("online", r, text_);
    }
    if (status != kExitOk) return status;
  }
  return kExitOk;
}

int LegacyRun::Send(const std::string& file) {
  CsvFileSource source;
  if (!source.Open(file)) {
    std::fprintf(stderr, "%s: cannot read %s: %s\n", kProgramName, file.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  const auto start = std::chrono::steady_clock::now();
  uint64_t rows = 0;
  uint64_t bytes = 0;
  std::string row;
  while (source.Next(row) == RowSource::Fetch::kRow) {
    const int32_t r = port_.TryToSend(row);
    if (r < 1) return Failed("send of row " + std::to_string(rows + 1), r, text_);
    ++rows;
    bytes += row.size();
  }
  if (source.ReadFailed()) {
    std::fprintf(stderr, "%s: cannot read %s\n", kProgramName, file.c_str());
    return kExitFailure;
  }
  if (source.BadRow() != 0) {
    std::fprintf(stderr, "%s: %s %s\n", kProgramName, file.c_str(), source.Problem().c_str());
    return kExitFailure;
  }
  const int32_t eot = port_.TryToSend(std::string(1, static_cast<char>(kEOT)));
  const int32_t fin = eot >= 1 ? port_.TryToSendFinalize() : eot;
  if (fin < 1) return Failed("send of the end-of-data row", fin, text_);
  const double s = SecondsSince(start);
  char line[160];
  std::snprintf(line, sizeof line, "sent %llu rows (%llu bytes) in %.3f s, %.0f rows/s",
                static_cast<unsigned long long>(rows), static_cast<unsigned long long>(bytes), s,
                s > 0 ? rows / s : 0.0);
  Note(line);
  return kExitOk;
}

int LegacyRun::Recv() {
  CsvFileSink sink;
  if (!sink.Open(o_.output)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", kProgramName, o_.output.c_str(), std::strerror(errno));
    return kExitFailure;
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<char> buffer(kRecvBufferSize);
  uint64_t bytes = 0;
  for (;;) {
    int32_t size = kRecvBufferSize;
    const int32_t r = port_.TryToRecv(buffer.data(), size);
    if (r < 1) {
      sink.Discard();
      return Failed("receive of row " + std::to_string(sink.Rows() + 1), r, text_);
    }
    if (size > 0 && static_cast<uint8_t>(buffer[0]) == kEOT) break;
    sink.Append(std::string_view(buffer.data(), static_cast<size_t>(size)));
    bytes += static_cast<uint64_t>(size);
  }
  if (!sink.Commit()) {
    const std::string partial = sink.PartialPath();
    std::fprintf(stderr, "%s: cannot write %s: %s%s%s\n", kProgramName,
                 o_.output.empty() || o_.output == "-" ? "standard output" : o_.output.c_str(), std::strerror(errno),
                 partial.empty() ? "" : "; the rows are in ", partial.c_str());
    sink.Keep();
    return kExitFailure;
  }
  const double s = SecondsSince(start);
  char line[160];
  std::snprintf(line, sizeof line, "received %llu rows (%llu bytes) in %.3f s, %.0f rows/s",
                static_cast<unsigned long long>(sink.Rows()), static_cast<unsigned long long>(bytes), s,
                s > 0 ? sink.Rows() / s : 0.0);
  Note(line);
  return kExitOk;
}

int LegacyRun::Line() {
  std::vector<char> buffer(kRecvBufferSize);
  int32_t size = kRecvBufferSize;
  const int32_t r = port_.TryToRecv(buffer.data(), size);
  if (r < 1) return Failed("line", r, text_);
  std::printf("%s\n", text_.ToScreen(std::string_view(buffer.data(), static_cast<size_t>(size))).c_str());
  return kExitOk;
}

}  // namespace

int RunLegacy(const CliOptions& o, const ScreenText& text) {
  LegacyRun run(o, text);
  return run.Run();
}

}  // namespace korvane::tools
