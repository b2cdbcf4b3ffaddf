#include "collect.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "csv_stream.h"
#include "link/link_protocol.h"
#include "link/terminal_link.h"
#include "output_file.h"
#include "port_listing.h"

namespace korvane::tools {

namespace {

constexpr const char* kProgramName = "korvane";
constexpr const char* kCsvSuffix = ".csv";

using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// One port's share of the job. Its thread writes everything but `file` and `note`, which the main
// thread sets between the connects and the downloads, so no text crosses threads unconverted.
struct Terminal {
  std::string port;
  bool listed = false;  // found by the scan, not given
  std::unique_ptr<TerminalLink> link = std::make_unique<TerminalLink>();
  bool connected = false;
  bool written = false;
  std::string device_id;  // the terminal's charset
  std::string file;       // where its rows go; empty when they are not downloaded
  uint64_t rows = 0;
  double seconds = 0;
  // A failure: the step, the link's result and diagnostic record (the terminal's charset) ...
  const char* step = nullptr;
  int32_t code = 0;
  DiagRecord diag;
  // ... or our own text (the locale's), which also says what became of the file.
  std::string note;
};

struct Settings {
  int32_t kind = 0;
  std::string folder;
  std::string terminal_charset;
  std::string locale_charset;
  bool convert = false;
  Unconvertible unconvertible = Unconvertible::kRefuse;
};

void FailStep(Terminal& t, const char* step, int32_t code) {
  t.step = step;
  t.code = code;
  t.diag = t.link->GetDiag();
  if (t.diag.message.empty()) t.diag.message = t.link->LastMessage();
}

void Connect(Terminal& t) {
  const auto started = SteadyClock::now();
  t.link->SetPort(t.port);
  const int32_t r = t.link->ConnectTerminal();
  t.connected = r == S_CONNECTED;
  if (t.connected) {
    t.device_id = t.link->RemoteDevID();
  } else {
    FailStep(t, "connect", r);
    t.link->Disconnect();
  }
  t.seconds = SecondsSince(started);
}

void Download(Terminal& t, const Settings& s) {
  const auto started = SteadyClock::now();
  TerminalLink& link = *t.link;
  TextConverter rows_to_locale(s.terminal_charset, s.locale_charset);
  CsvFileSink sink;
  if (!sink.Open(t.file, s.convert ? &rows_to_locale : nullptr, s.unconvertible)) {
    t.note = "cannot write " + t.file + ": " + std::strerror(errno);
  } else if (int32_t r = DownloadCommand(s.kind) != nullptr ? link.RecvPrepare() : S_LINK_OK; r != S_LINK_OK) {
    sink.Discard();
    FailStep(t, "recv prepare", r);
  } else if (r = link.RecvTable(s.kind, sink, nullptr); r != S_LINK_OK) {
    // Nothing of a table cut short is kept: a partial file would pass for the whole one.
    sink.Discard();
    FailStep(t, "recv", r);
    t.note = std::to_string(sink.Rows()) + " rows received, none kept";
  } else if (sink.BadRow() != 0) {
    sink.Discard();
    t.note = "row " + std::to_string(sink.BadRow()) + " does not convert from " + s.terminal_charset + " to " +
             s.locale_charset + "; nothing written";
  } else if (!sink.Commit()) {
    const int e = errno;
    sink.Discard();
    t.note = "writing " + t.file + " failed: " + std::strerror(e) + "; nothing written";
  } else {
    link.RecvFinal();
    t.written = true;
    t.rows = sink.Rows();
  }
  link.Disconnect();
  t.seconds += SecondsSince(started);
}

// The device ID as a file name in the folder: what a name cannot hold or would hide (a slash, a
// control byte, a leading dot) becomes '_'.
std::string FileNameFor(const std::string& screen_id) {
  std::string name = screen_id;
  for (char& c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '/' || c == '\\') c = '_';
  }
  if (!name.empty() && name[0] == '.') name[0] = '_';
  return name + kCsvSuffix;
}

// Files are named after the connects, in the order the ports were given, so the same rack always
// gives the same files; a second terminal with the first one's ID is refused, not written over it.
void NameFiles(std::vector<Terminal>& terminals, const Settings& s, const ScreenText& text) {
  std::vector<std::pair<std::string, const Terminal*>> taken;
  for (Terminal& t : terminals) {
    if (!t.connected) continue;
    if (t.device_id.empty()) {
      t.note = "the terminal gave no device ID to name its file by; not downloaded";
      t.link->Disconnect();
      continue;
    }
    const std::string name = FileNameFor(text.ToScreen(t.device_id));
    const auto same = std::find_if(taken.begin(), taken.end(), [&](const auto& n) { return n.first == name; });
    if (same != taken.end()) {
      t.note = "device ID " + text.ToScreen(t.device_id) + " is also on " + same->second->port +
               ": not downloaded, so neither overwrites the other's " + name + " (give each terminal its own ID)";
      t.link->Disconnect();
      continue;
    }
    taken.emplace_back(name, &t);
    t.file = s.folder + "/" + name;
  }
}

std::string ResultText(const Terminal& t, const ScreenText& text) {
  if (t.written) return "written to " + t.file;
  if (t.step == nullptr) return t.note;
  std::string s = std::string(t.step) + " failed: result " + std::to_string(t.code);
  if (!t.diag.context.empty()) s += " [" + text.ToScreen(t.diag.context) + "]";
  if (!t.diag.message.empty()) s += ": " + text.ToScreen(t.diag.message);
  if (!t.note.empty()) s += "; " + t.note;
  return s;
}

std::string OneLine(std::string s) {
  std::replace_if(
      s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r' || c == '\t'; }, ' ');
  return s;
}

// Characters on the screen rather than bytes: a Cyrillic ID must not push its row out of line.
size_t ScreenWidth(const std::string& s) {
  const size_t n = std::mbstowcs(nullptr, s.c_str(), 0);
  return n == static_cast<size_t>(-1) ? s.size() : n;
}

std::string PadRight(std::string s, size_t width) {
  const size_t w = ScreenWidth(s);
  if (w < width) s.append(width - w, ' ');
  return s;
}

void PrintSummary(const std::vector<Terminal>& terminals, const ScreenText& text) {
  struct Line {
    std::string port, id, rows, seconds, result;
  };
  std::vector<Line> lines;
  Line head{"PORT", "DEVICE ID", "ROWS", "SECONDS", "RESULT"};
  size_t port_w = head.port.size();
  size_t id_w = head.id.size();
  for (const Terminal& t : terminals) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", t.seconds);
    Line l{t.port, t.connected ? OneLine(text.ToScreen(t.device_id)) : "-", t.written ? std::to_string(t.rows) : "-",
           seconds, OneLine(ResultText(t, text))};
    if (l.id.empty()) l.id = "-";
    if (t.listed && !t.connected) l.result = "no terminal: " + l.result;
    port_w = std::max(port_w, ScreenWidth(l.port));
    id_w = std::max(id_w, ScreenWidth(l.id));
    lines.push_back(l);
  }
  auto print = [&](const Line& l) {
    std::printf("%s  %s  %8s  %8s  %s\n", PadRight(l.port, port_w).c_str(), PadRight(l.id, id_w).c_str(),
                l.rows.c_str(), l.seconds.c_str(), l.result.c_str());
  };
  print(head);
  for (const Line& l : lines) print(l);
}

}  // namespace

int RunCollect(const CliOptions& o, const ScreenText& text) {
  Settings s;
  s.kind = ParseTableKind(o.args[0]);
  if (s.kind < 0 || DownloadCommand(s.kind) == nullptr) {
    std::fprintf(stderr, "%s: '%s' is not a table that can be downloaded (journal, journal2 or service)\n",
                 kProgramName, o.args[0].c_str());
    return kExitUsage;
  }
  s.folder = o.output;
  while (s.folder.size() > 1 && s.folder.back() == '/') s.folder.pop_back();
  if (const std::string problem = FolderProblem(s.folder); !problem.empty()) {
    std::fprintf(stderr, "%s: cannot write into %s: %s\n", kProgramName, o.output.c_str(), problem.c_str());
    return kExitFailure;
  }
  s.terminal_charset = o.charset;
  s.locale_charset = LocaleCharset();
  s.convert = o.csv_convert;
  s.unconvertible = o.csv_replace ? Unconvertible::kReplace : Unconvertible::kRefuse;

  std::vector<Terminal> terminals;
  auto add = [&](const std::string& name, bool listed) {
    for (const Terminal& t : terminals)
      if (t.port == name) return;
    Terminal t;
    t.port = name;
    t.listed = listed;
    terminals.push_back(std::move(t));
  };
  if (o.ports.empty()) {
    for (const std::string& name : LocalPortNames()) add(name, true);
    if (const char* configured = std::getenv(kPortEnvironment); configured != nullptr && *configured != 0)
      add(configured, true);
  }
  for (const std::string& p : o.ports) add(p, false);
  if (terminals.empty()) {
    std::fprintf(stderr, "%s: no ports: the system lists none; give them with --port NAME (LAN:HOST:PORT too)\n",
                 kProgramName);
    return kExitFailure;
  }

  const auto started = SteadyClock::now();
  // One thread a terminal: each waits on its own line. Connect all, name the files, then download.
  auto on_every = [&](auto&& work) {
    std::vector<std::thread> threads;
    threads.reserve(terminals.size());
    for (Terminal& t : terminals) threads.emplace_back([&t, &work]() { work(t); });
    for (std::thread& th : threads) th.join();
  };
  on_every([](Terminal& t) { Connect(t); });
  NameFiles(terminals, s, text);
  on_every([&s](Terminal& t) {
    if (!t.file.empty()) Download(t, s);
  });
  const double seconds = SecondsSince(started);

  // A listed port without a terminal is only reported; a given one that fails counts.
  size_t written = 0;
  size_t failed = 0;
  for (const Terminal& t : terminals) {
    if (t.written) {
      ++written;
    } else if (!(t.listed && !t.connected)) {
      ++failed;
    }
  }
  PrintSummary(terminals, text);
  if (written + failed == 0) std::fprintf(stderr, "%s: no terminal answered on any port\n", kProgramName);
  if (!o.quiet) {
    std::fprintf(stderr, "%zu terminal%s: %zu written, %zu failed in %.2f s\n", written + failed,
                 written + failed == 1 ? "" : "s", written, failed, seconds);
  }
  return failed == 0 && written > 0 ? kExitOk : kExitFailure;
}

}  // namespace korvane::tools
