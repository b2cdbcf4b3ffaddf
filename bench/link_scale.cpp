// Many links in one process: N simulator processes, one TerminalLink per thread, each link
// downloading and uploading its own rows at once. Prints aggregate rows/s, CPU and memory per link
// and the slowest link against the fastest, beside their targets. Exit 1 when any row comes out
// wrong (or a log line is torn or in another link's log), 3 when a target is missed.
//
// Each line is the best of --repeat runs (by aggregate rows/s), since other work on the machine
// stalls the links' threads at random; wrong data in any run counts.
//
//   link_scale --sim PATH [--links 1,2,4,16,32] [--rows 10000] [--transports tcp,pty] [--repeat 3] [--logs]
#include <malloc.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/link_protocol.h"
#include "link/terminal_link.h"

extern char** environ;

namespace korvane {
namespace {

constexpr size_t kRowBytes = 100;
constexpr int kStartTimeoutMs = 10000;
constexpr double kScaleTarget = 0.8;   // aggregate at the most links against the aggregate at 2
constexpr double kSpreadTarget = 2.0;  // slowest link against the fastest

// Row `i` of link `link` in direction `tag` ('D' down, 'U' up): 100 bytes, some of them Cyrillic
// (CP1251), different for every link and row, so a row of another link or a shifted row shows.
std::string Row(char tag, int link, int i) {
  char head[32];
  std::snprintf(head, sizeof head, "%c%02d;%06d;", tag, link, i);
  std::string row = head;
  uint32_t x = static_cast<uint32_t>(link * 7919 + i * 104729 + tag);
  while (row.size() < kRowBytes) {
    x = x * 1103515245u + 12345u;
    const uint32_t pick = (x >> 16) % 40;
    row.push_back(pick < 26 ? static_cast<char>('a' + pick) : static_cast<char>(0xC0 + (pick - 26)));
  }
  return row;
}

// All of a link's rows in one direction, each ended by CR LF as in the simulator's CSV. Built before
// the clock starts, so the links' time is the library's and not this bench's row generator's.
std::string Table(char tag, int link, int rows) {
  std::string table;
  table.reserve(static_cast<size_t>(rows) * (kRowBytes + 2));
  for (int i = 0; i < rows; ++i) table += Row(tag, link, i) + "\r\n";
  return table;
}

std::string_view RowOf(const std::string& table, int i) {
  return std::string_view(table).substr(static_cast<size_t>(i) * (kRowBytes + 2), kRowBytes);
}

struct Options {
  std::string sim;
  std::vector<int> links = {1, 2, 4, 16, 32};
  int rows = 10000;
  std::vector<std::string> transports = {"tcp", "pty"};
  int repeat = 3;
  bool logs = false;
};

std::vector<std::string> Split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

struct Sim {
  pid_t pid = -1;
  FILE* out = nullptr;
  std::string port;
  std::string dir;
};

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
  return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

bool StartSim(const Options& o, const std::string& transport, int link, const std::string& work,
              const std::string& table, Sim& s) {
  s.dir = work + "/sim" + std::to_string(link);
  ::mkdir(s.dir.c_str(), 0755);
  if (!WriteFile(s.dir + "/journal.csv", table) || !WriteFile(s.dir + "/journal2.csv", table)) return false;
  char model[32];
  std::snprintf(model, sizeof model, "SCALE;L%02d", link);
  std::vector<std::string> args = {o.sim, "--data", s.dir, "--model", model, "--quiet", "--timeout", "600"};
  if (transport == "tcp") {
    args.insert(args.end(), {"--listen", "127.0.0.1:0"});
  } else {
    args.insert(args.end(), {"--pty", "--link", s.dir + "/tty"});
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipe_fd[2];
  if (::pipe2(pipe_fd, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fd[0]);
  const int e = ::posix_spawn(&s.pid, o.sim.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fd[1]);
  if (e != 0) {
    ::close(pipe_fd[0]);
    return false;
  }
  s.out = ::fdopen(pipe_fd[0], "r");
  char line[256] = {};
  if (s.out == nullptr || std::fgets(line, sizeof line, s.out) == nullptr) return false;
  std::string first = line;
  while (!first.empty() && first.back() == '\n') first.pop_back();
  if (transport == "tcp" && first.rfind("listening on ", 0) == 0) {
    s.port = "LAN:" + first.substr(std::strlen("listening on "));
  } else if (transport == "pty" && first.rfind("pty ", 0) == 0) {
    s.port = s.dir + "/tty";
  } else {
    std::fprintf(stderr, "simulator %d did not start: %s\n", link, first.c_str());
    return false;
  }
  return true;
}

// CPU seconds of a simulator so far, from /proc (it is still running).
double ProcessCpuSeconds(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  if (paren == std::string::npos) return 0;
  std::stringstream in(stat.substr(paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; in >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) {
      stime = std::strtoull(field.c_str(), nullptr, 10);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// All told first, then all waited for: each takes a moment to notice.
void StopSims(std::vector<Sim>& sims) {
  for (Sim& s : sims)
    if (s.pid > 0) ::kill(s.pid, SIGTERM);
  for (Sim& s : sims) {
    if (s.pid > 0) ::waitpid(s.pid, nullptr, 0);
    if (s.out != nullptr) std::fclose(s.out);
    s.pid = -1;
    s.out = nullptr;
  }
}

double SelfCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Busy and idle jiffies of the whole machine (/proc/stat), to tell a run held back by its own
// links from one held back by other work on the machine.
struct MachineTicks {
  unsigned long long busy = 0;
  unsigned long long idle = 0;
};

MachineTicks ReadMachineTicks() {
  std::ifstream f("/proc/stat");
  std::string cpu;
  unsigned long long v[8] = {};
  f >> cpu >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7];
  return {v[0] + v[1] + v[2] + v[5] + v[6] + v[7], v[3] + v[4]};
}

// Heap in use by the whole process, in bytes: unlike the resident set, not hidden by what earlier
// runs left in the allocator's arenas.
long HeapInUse() {
  const struct mallinfo2 m = ::mallinfo2();
  return static_cast<long>(m.uordblks + m.hblkhd);
}

class CheckingSink final : public RowSink {
 public:
  CheckingSink(const std::string& table, int rows) : table_(table), expected_(rows) {}
  void Clear() override { rows_ = 0; }
  void Append(std::string_view row) override {
    if (bad_ < 0 && (rows_ >= expected_ || row != RowOf(table_, rows_))) bad_ = rows_;
    ++rows_;
  }
  int rows_ = 0;
  int bad_ = -1;

 private:
  const std::string& table_;
  int expected_;
};

class GeneratedSource final : public RowSource {
 public:
  GeneratedSource(const std::string& table, int rows) : table_(table), rows_(rows) {}
  void Reset() override { next_ = 0; }
  bool Skip(uint32_t count) override {
    const bool enough = static_cast<int64_t>(next_) + count <= rows_;
    next_ = enough ? next_ + static_cast<int>(count) : rows_;
    return enough;
  }
  Fetch Next(std::string& row) override {
    if (next_ >= rows_) return Fetch::kEnd;
    row = RowOf(table_, next_++);
    return Fetch::kRow;
  }

 private:
  const std::string& table_;
  int rows_;
  int next_ = 0;
};

struct LinkRun {
  std::string failure;
  double seconds = 0;
};

struct RunResult {
  int links = 0;
  double seconds = 0;
  double rows_per_s = 0;
  double tool_cpu_ms_per_link = 0;
  double sim_cpu_ms_per_link = 0;
  double heap_kib_per_link = 0;
  double cores_used = 0;  // by the tool and its simulators
  double cores_idle = 0;  // left idle on the machine
  double fastest = 0;
  double median = 0;  // shows whether a miss is one link left behind or one that ran ahead
  double slowest = 0;
  int wrong = 0;
};

// Lines of a link's log that are not "[dd.mm.yyyy hh:mm:ss +x.xx ms]\t..." whole, or that carry a
// row of another link.
int BadLogLines(const std::string& path, int link, int rows, std::string& first_bad) {
  std::ifstream f(path, std::ios::binary);
  std::string line;
  int bad = 0;
  int lines = 0;
  int own_rows = 0;
  char own_down[16], own_up[16];
  std::snprintf(own_down, sizeof own_down, "D%02d;", link);
  std::snprintf(own_up, sizeof own_up, "U%02d;", link);
  while (std::getline(f, line)) {
    ++lines;
    // One time stamp, at the start: a torn line lacks it, two lines run together have two.
    size_t stamps = 0;
    for (size_t at = line.find(" ms]\t"); at != std::string::npos; at = line.find(" ms]\t", at + 1)) ++stamps;
    bool ok = line.size() > 22 && line[0] == '[' && line[3] == '.' && line[6] == '.' && stamps == 1;
    // A row of any link is recognised by its head: "D07;000123;".
    for (size_t at = line.find(';'); ok && at != std::string::npos; at = line.find(';', at + 1)) {
      if (at >= 3 && (line[at - 3] == 'D' || line[at - 3] == 'U') &&
          std::isdigit(static_cast<unsigned char>(line[at - 2])) &&
          std::isdigit(static_cast<unsigned char>(line[at - 1])) && line.size() > at + 7 && line[at + 7] == ';') {
        const std::string head = line.substr(at - 3, 4);
        if (head != own_down && head != own_up) ok = false;
        if (head == own_down) ++own_rows;
      }
    }
    if (!ok) {
      if (bad++ == 0) first_bad = line;
    }
  }
  // Every downloaded row is logged: fewer means lines went elsewhere.
  if (bad == 0 && own_rows < rows) {
    first_bad = "(" + std::to_string(own_rows) + " of the link's " + std::to_string(rows) + " rows logged)";
    return 1;
  }
  return bad;
}

bool RunOnce(const Options& o, const std::string& transport, int n, const std::string& work, RunResult& result) {
  result = {};
  result.links = n;
  std::vector<Sim> sims(static_cast<size_t>(n));
  std::vector<std::string> down, up;
  for (int i = 0; i < n; ++i) {
    down.push_back(Table('D', i, o.rows));
    up.push_back(Table('U', i, o.rows));
  }
  bool started = true;
  for (int i = 0; i < n && started; ++i)
    started = StartSim(o, transport, i, work, down[static_cast<size_t>(i)], sims[static_cast<size_t>(i)]);
  if (!started) {
    StopSims(sims);
    return false;
  }
  const long heap_before = HeapInUse();
  std::vector<std::unique_ptr<TerminalLink>> links;
  for (int i = 0; i < n; ++i) links.push_back(std::make_unique<TerminalLink>());
  std::vector<LinkRun> runs(static_cast<size_t>(n));
  std::barrier sync(n + 1);
  std::atomic<long> heap_peak{0};
  auto note_heap = [&heap_peak]() {
    const long heap = HeapInUse();
    long seen = heap_peak.load();
    while (heap > seen && !heap_peak.compare_exchange_weak(seen, heap)) {
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i]() {
      TerminalLink& link = *links[static_cast<size_t>(i)];
      LinkRun& run = runs[static_cast<size_t>(i)];
      link.SetPort(sims[static_cast<size_t>(i)].port);
      if (o.logs) link.SetupLogfile(sims[static_cast<size_t>(i)].dir + "/link.log", 0);
      char id[16];
      std::snprintf(id, sizeof id, "L%02d", i);
      if (link.ConnectTerminal() != S_CONNECTED) {
        run.failure = "connect: " + link.GetDiag().message;
      } else if (link.RemoteDevID() != id) {
        run.failure = "connected to " + link.RemoteDevID() + ", not " + id;
      }
      note_heap();
      sync.arrive_and_wait();
      const auto t0 = std::chrono::steady_clock::now();
      if (run.failure.empty()) {
        CheckingSink sink(down[static_cast<size_t>(i)], o.rows);
        GeneratedSource source(up[static_cast<size_t>(i)], o.rows);
        int32_t r = link.RecvTable(kTableJournal, sink, nullptr);
        if (r != S_LINK_OK) {
          run.failure = "download: " + std::to_string(r) + " " + link.GetDiag().message;
        } else if (sink.rows_ != o.rows || sink.bad_ >= 0) {
          run.failure = "download: " + std::to_string(sink.rows_) + " rows, first wrong " + std::to_string(sink.bad_);
        } else if ((r = link.ActivateUploadingTables()) != S_LINK_OK ||
                   (r = link.SendTable(kTableGoods, source, nullptr, o.rows)) != S_LINK_OK ||
                   (r = link.SendFinal(0)) != S_LINK_OK) {
          run.failure = "upload: " + std::to_string(r) + " " + link.GetDiag().message;
        }
      }
      run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      note_heap();
      link.Disconnect();
    });
  }
  sync.arrive_and_wait();  // every link connected: the clock starts for all at once
  const double cpu0 = SelfCpuSeconds();
  std::vector<double> sim_cpu0;
  for (const Sim& s : sims) sim_cpu0.push_back(ProcessCpuSeconds(s.pid));
  const MachineTicks ticks0 = ReadMachineTicks();
  const auto t0 = std::chrono::steady_clock::now();
  for (std::thread& t : threads) t.join();
  const MachineTicks ticks1 = ReadMachineTicks();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double cpu = SelfCpuSeconds() - cpu0;
  double sim_cpu = 0;
  for (size_t i = 0; i < sims.size(); ++i) sim_cpu += ProcessCpuSeconds(sims[i].pid) - sim_cpu0[i];

  // Uploaded rows as the simulator stored them, and each link's log.
  for (int i = 0; i < n; ++i) {
    LinkRun& run = runs[static_cast<size_t>(i)];
    if (!run.failure.empty()) continue;
    if (ReadFile(sims[static_cast<size_t>(i)].dir + "/uploaded/goods.csv") != up[static_cast<size_t>(i)]) {
      run.failure = "uploaded rows differ";
    } else if (o.logs) {
      std::string bad_line;
      if (int bad = BadLogLines(sims[static_cast<size_t>(i)].dir + "/link.log", i, o.rows, bad_line))
        run.failure = std::to_string(bad) + " bad log lines, first: " + bad_line.substr(0, 160);
    }
  }
  StopSims(sims);
  links.clear();

  std::vector<double> times;
  for (const LinkRun& run : runs) times.push_back(run.seconds);
  std::sort(times.begin(), times.end());
  result.fastest = times.front();
  result.median = times[times.size() / 2];
  result.slowest = times.back();
  for (int i = 0; i < n; ++i) {
    const LinkRun& run = runs[static_cast<size_t>(i)];
    if (!run.failure.empty()) {
      ++result.wrong;
      std::fprintf(stderr, "%s, %d links: link %d: %s\n", transport.c_str(), n, i, run.failure.c_str());
    }
  }
  result.rows_per_s = 2.0 * o.rows * n / result.seconds;
  result.tool_cpu_ms_per_link = cpu * 1000 / n;
  const double machine = static_cast<double>((ticks1.busy - ticks0.busy) + (ticks1.idle - ticks0.idle));
  const double cores = static_cast<double>(std::thread::hardware_concurrency());
  result.cores_used = (cpu + sim_cpu) / result.seconds;
  result.cores_idle = machine > 0 ? cores * static_cast<double>(ticks1.idle - ticks0.idle) / machine : 0;
  result.sim_cpu_ms_per_link = sim_cpu * 1000 / n;
  result.heap_kib_per_link = static_cast<double>(std::max(0L, heap_peak.load() - heap_before)) / 1024 / n;
  return true;
}

int Main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--sim" && has_value) {
      o.sim = argv[++i];
    } else if (a == "--links" && has_value) {
      o.links.clear();
      for (const std::string& n : Split(argv[++i])) o.links.push_back(std::atoi(n.c_str()));
    } else if (a == "--rows" && has_value) {
      o.rows = std::atoi(argv[++i]);
    } else if (a == "--transports" && has_value) {
      o.transports = Split(argv[++i]);
    } else if (a == "--repeat" && has_value) {
      o.repeat = std::atoi(argv[++i]);
    } else if (a == "--logs") {
      o.logs = true;
    } else {
      std::fprintf(stderr,
                   "usage: link_scale --sim PATH [--links 1,2,4,16,32] [--rows N] [--transports tcp,pty] [--repeat K] "
                   "[--logs]\n");
      return 2;
    }
  }
  if (o.sim.empty() || o.rows <= 0 || o.links.empty() || o.repeat <= 0) {
    std::fprintf(stderr, "link_scale: --sim PATH is needed, rows, links and repeat above 0\n");
    return 2;
  }
  // 32 simulators' pipes and ptys, plus the links' sockets.
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
  char work_template[] = "/tmp/korvane-scale-XXXXXX";
  const char* work = ::mkdtemp(work_template);
  if (work == nullptr) return 1;

  bool wrong = false;
  bool missed = false;
  std::printf("%d rows of %zu bytes each way on every link, one thread and one simulator a link%s; best of %d\n\n",
              o.rows, kRowBytes, o.logs ? ", each link logging every row" : "", o.repeat);
  for (const std::string& transport : o.transports) {
    std::printf("| %s links | seconds | rows/s (both ways, all links) | tool CPU ms/link | simulator CPU ms/link | "
                "tool heap KiB/link | cores used / idle | slowest/fastest link (slowest / median / fastest) "
                "|\n|---|---|---|---|---|---|---|---|\n",
                transport.c_str());
    std::vector<RunResult> results;
    for (int n : o.links) {
      RunResult r;
      bool ran = false;
      for (int k = 0; k < o.repeat; ++k) {
        RunResult one;
        const std::string dir = std::string(work) + "/" + transport + std::to_string(n) + "-" + std::to_string(k);
        ::mkdir(dir.c_str(), 0755);
        if (!RunOnce(o, transport, n, dir, one)) break;
        wrong = wrong || one.wrong > 0;
        if (!ran || one.rows_per_s > r.rows_per_s || one.wrong > 0) r = one;
        ran = true;
        if (one.wrong > 0) break;
      }
      if (!ran) {
        std::printf("| %d | simulators did not start |\n", n);
        wrong = true;
        continue;
      }
      const double spread = r.fastest > 0 ? r.slowest / r.fastest : 0;
      const bool spread_ok = spread <= kSpreadTarget;
      missed = missed || !spread_ok;
      std::printf("| %d | %.2f | %.0f | %.0f | %.0f | %.0f | %.2f / %.2f | %.2f (%.2f / %.2f / %.2f s; target <= %.1f: "
                  "%s) |%s\n",
                  n, r.seconds, r.rows_per_s, r.tool_cpu_ms_per_link, r.sim_cpu_ms_per_link, r.heap_kib_per_link,
                  r.cores_used, r.cores_idle, spread, r.slowest, r.median, r.fastest, kSpreadTarget,
                  spread_ok ? "met" : "MISSED",
                  r.wrong ? (" " + std::to_string(r.wrong) + " links WRONG").c_str() : "");
      std::fflush(stdout);
      results.push_back(r);
    }
    const auto two = std::find_if(results.begin(), results.end(), [](const RunResult& r) { return r.links == 2; });
    if (two != results.end() && results.back().links > 2) {
      const RunResult& most = results.back();
      const double ratio = most.rows_per_s / two->rows_per_s;
      const bool ok = ratio >= kScaleTarget;
      missed = missed || !ok;
      std::printf("\n%s: aggregate at %d links is %.0f%% of the aggregate at 2 (target >= %.0f%%: %s)\n\n",
                  transport.c_str(), most.links, ratio * 100, kScaleTarget * 100, ok ? "met" : "MISSED");
    } else {
      std::printf("\n");
    }
  }
  std::string rm = std::string("rm -rf '") + work + "'";
  if (std::system(rm.c_str()) != 0) std::fprintf(stderr, "link_scale: %s left behind\n", work);
  if (wrong) {
    std::printf("DATA WRONG: see the lines above on stderr\n");
    return 1;
  }
  return missed ? 3 : 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) { return korvane::Main(argc, argv); }
