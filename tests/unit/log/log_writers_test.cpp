#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "log/addin_trace.h"
#include "log/call_stack.h"
#include "log/diag_log.h"
#include "log/link_log.h"
#include "platform/files.h"
#include "platform/local_time.h"
#include "platform/thread_id.h"
#include "support/fixed_log_time.h"
#include "support/temp_dir.h"

namespace korvane {
namespace {

using test::FixedLogTime;
using test::ReadFileBytes;
using test::ScopedLogDir;
using test::TempDir;
using test::WriteFileBytes;

std::string StackOpen() { return StrFormat("[CallStack(%8.8X): ", CurrentThreadId()); }

class LogWriters : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedLogDir log_dir{dir.Path()};
  FixedLogTime clock;
  std::string diag = dir.File("korvane.log");
  std::string dump = dir.File("korvdump.txt");
};

TEST_F(LogWriters, DiagLogWritesOnlyOnceTheFileExists) {
  DiagLog("тихо", 0);
  EXPECT_FALSE(FileExists(diag));

  DiagLogAppend("Ошибка порта", -7);
  DiagLog("второй", 0);
  EXPECT_EQ(ReadFileBytes(diag),
            "[05-03-2025 09:07:03]\tОшибка порта (-7)\r\n"
            "[05-03-2025 09:07:03]\tвторой\r\n");
  // No dump file: the mirror writes nothing and creates nothing.
  EXPECT_FALSE(FileExists(dump));
}

TEST_F(LogWriters, CreatingTheDumpFileSwitchesAllDumpWritersOn) {
  WriteFileBytes(dump, "");
  DiagLogAppend("первая", 5);
  clock.counter += 1500;  // 1.5 ms later
  DiagLogAppend("вторая", 0);
  {
    CallStackScope scope("tsSend(len=%i)", 4);
    const uint8_t bytes[] = {0x55, 0xF8, 0x0A};
    tsDump("сообщение", bytes, 3);
    tsDump("без байтов");
  }
  EXPECT_EQ(ReadFileBytes(dump),
            "[05.03.2025 09:07:03] [0.00000 ms] [korvane.log] первая\r\n"
            "[05.03.2025 09:07:03] [1.50000 ms] [korvane.log] вторая\r\n"
            "[05.03.2025 09:07:03] " + StackOpen() + "tsSend(len=4)] сообщение\r\n"
            "--- DUMP:\r\n55 F8 0A \r\n"
            "[05.03.2025 09:07:03] " + StackOpen() + "tsSend(len=4)] без байтов\r\n");
}

TEST_F(LogWriters, LegacyHexLineHasItsOwnCounterAndStopsAt341Bytes) {
  WriteFileBytes(dump, "");
  ElapsedCounter counter;
  const uint8_t two[] = {0x01, 0xAB};
  DumpHexLine(counter, "Write", two, 2);
  clock.counter += 250;
  std::vector<uint8_t> many(400, 0x7E);
  DumpHexLine(counter, "ReadMore", many.data(), static_cast<uint32_t>(many.size()));

  std::string shown;
  for (int i = 0; i < 341; ++i) shown += "7E ";
  EXPECT_EQ(ReadFileBytes(dump), "[0.00000 ms] " + StackOpen() + "]Write: 01 AB \r\n" +
                                     "[0.25000 ms] " + StackOpen() + "]ReadMore: " + shown + "\r\n");
}

TEST_F(LogWriters, FailingCounterLeavesThePrefixEmptyAndTheCounterAlone) {
  WriteFileBytes(dump, "");
  ElapsedCounter counter;
  clock.counter_ok = false;
  DumpHexLine(counter, "Write", nullptr, 0);
  EXPECT_EQ(counter.last, 0);
  clock.counter_ok = true;
  DumpHexLine(counter, "Write", nullptr, 0);
  EXPECT_EQ(ReadFileBytes(dump), StackOpen() + "]Write: \r\n" + "[0.00000 ms] " + StackOpen() + "]Write: \r\n");
}

TEST_F(LogWriters, LinkLogLinesAndSwitchingOff) {
  LinkLog log;
  const std::string file = dir.File("link.log");
  log.Log("до настройки", 0);
  EXPECT_FALSE(FileExists(file));

  log.SetupLogfile(file, 42);
  EXPECT_EQ(log.Param(), 42);
  log.Log("Подключено", 0);
  clock.counter += 2500;
  log.Log("Ошибка", -7);
  log.SetupLogfile("", 0);
  log.Log("после", 0);
  EXPECT_EQ(ReadFileBytes(file),
            "[05.03.2025 09:07:03 +0.00 ms]\tПодключено\r\n"
            "[05.03.2025 09:07:03 +2.50 ms]\tОшибка (-7)\r\n");
}

TEST(CallStack, NestedScopesAndAnEmptyStack) {
  EXPECT_EQ(CallStackText(), StackOpen() + "]");
  {
    CallStackScope a("CP::Open('%s')", "COM1");
    CallStackScope b("CP::TryToRecv(sz=%i)", 10);
    EXPECT_EQ(CallStackText(), StackOpen() + "CP::Open('COM1'), CP::TryToRecv(sz=10)]");
  }
  EXPECT_EQ(CallStackText(), StackOpen() + "]");
}

TEST(CallStack, ThreadsKeepTheirOwnStacksWhenTheyStartTogether) {
  constexpr int kThreads = 8;
  CallStackText();  // this thread's entry exists before counting
  const size_t before = CallStackThreadCount();
  std::vector<std::thread> threads;
  std::vector<std::string> seen(kThreads);
  std::vector<size_t> live(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &seen, &live] {
      CallStackScope s("t%i", i);
      live[static_cast<size_t>(i)] = CallStackThreadCount();
      for (int k = 0; k < 200; ++k) {
        CallStackScope inner("k%i", k);
      }
      seen[static_cast<size_t>(i)] = CallStackText();
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    const std::string& s = seen[static_cast<size_t>(i)];
    EXPECT_EQ(s.substr(s.find(':')), StrFormat(": t%i]", i));
    EXPECT_GT(live[static_cast<size_t>(i)], before);
  }
  // Each thread's entry went with the thread.
  EXPECT_EQ(CallStackThreadCount(), before);
}

class AddinTraceTest : public ::testing::Test {
 protected:
  // The daily move compares with the file's real write time: keep "today" on the real day.
  AddinTraceTest() { clock.now.day = CurrentLocalTime().day; }
  std::string DatePrefix() const {
    return StrFormat("%2.2u.03.2025 09:07:03 ", clock.now.day);
  }
  TempDir dir;
  FixedLogTime clock;
  AddinTrace trace;
  std::string file = dir.File("addin.log");
  std::string Tid() {
    uint32_t id = CurrentThreadId();
    return StrFormat("[TID:%u(0x%X)] ", id, id);
  }
};

TEST_F(AddinTraceTest, LevelZeroWritesOnlyLevelZeroWithoutThreadText) {
  MemorySettings settings;
  settings.SetString("LogFile", file);
  settings.SetDword("LogTraceLevel", 0);
  settings.SetString("LocalPort", "COM3");
  std::string port;
  trace.Configure(settings, &port);
  EXPECT_EQ(port, "COM3");
  trace.TraceFormat(1, "level %d", 1);
  trace.TraceError("ошибка %s", "канала");
  EXPECT_EQ(ReadFileBytes(file), DatePrefix() + "ошибка канала\r\n");
}

TEST_F(AddinTraceTest, LevelTwoWritesLevelsUpToTwoWithThreadText) {
  MemorySettings settings;
  settings.SetString("LogFile", file);
  settings.SetDword("LogTraceLevel", 2);
  trace.Configure(settings);
  trace.TraceFormat(2, "два");
  trace.TraceFormat(3, "три");
  trace.TraceException(nullptr, "addin.cpp", 17);
  trace.TraceException("bad_alloc", "addin.cpp", 18);
  trace.TraceFormat(0, "%s", "");
  const std::string p = DatePrefix() + Tid();
  EXPECT_EQ(ReadFileBytes(file), p + std::string(kTraceLoadLine) + "\r\n" + p + "два\r\n" + p +
                                     "Exception (catch) in file: \"addin.cpp\"(line: 17)\r\n\r\n" + p +
                                     "Exception \"bad_alloc\" in file: \"addin.cpp\"(line: 18)\r\n\r\n" + p +
                                     "[CRT-ERROR?] %s\r\n");
}

TEST_F(AddinTraceTest, ValuesOfTheWrongKindOrMissingKeepTheDefaults) {
  MemorySettings settings;  // nothing set
  trace.Configure(settings);
  EXPECT_EQ(trace.Threshold(), 0u);
  EXPECT_TRUE(trace.FileName().empty());
  trace.TraceError("никуда");  // no file: nothing to write, nothing to crash
}

TEST_F(AddinTraceTest, MovesYesterdaysFileToADatedName) {
  trace.Set(0, file);
  WriteFileBytes(file, "old\r\n");
  LocalTime written;
  ASSERT_TRUE(FileLastWriteLocalTime(file, written));
  clock.now = written;
  clock.now.day = written.day % 28 + 1;  // another day of the month
  trace.TraceError("new");
  const std::string moved = dir.File(StrFormat("addin_%4.4u_%2.2u_%2.2u.log", written.year, written.month, written.day));
  EXPECT_EQ(ReadFileBytes(moved), "old\r\n");
  EXPECT_EQ(ReadFileBytes(file), StrFormat("%2.2u.%2.2u.%4.4u %2.2u:%2.2u:%2.2u new\r\n", clock.now.day,
                                           clock.now.month, clock.now.year, clock.now.hour, clock.now.minute,
                                           clock.now.second));
}

TEST_F(AddinTraceTest, SameDayOfAnotherMonthIsNotMoved) {
  trace.Set(0, file);
  WriteFileBytes(file, "old\r\n");
  LocalTime written;
  ASSERT_TRUE(FileLastWriteLocalTime(file, written));
  clock.now = written;
  clock.now.month = written.month % 12 + 1;
  trace.TraceError("new");
  EXPECT_EQ(ReadFileBytes(file).substr(0, 5), "old\r\n");
}

TEST_F(AddinTraceTest, AFileNameWithoutTitleRotatesToDbg) {
  const std::string folder_only = dir.Path() + "/";
  const std::string target = dir.File(".log");  // title before the first dot is empty
  trace.Set(0, target);
  WriteFileBytes(target, "x");
  LocalTime written;
  ASSERT_TRUE(FileLastWriteLocalTime(target, written));
  clock.now = written;
  clock.now.day = written.day % 28 + 1;
  trace.TraceError("y");
  EXPECT_TRUE(FileExists(folder_only + StrFormat("DBG_%4.4u_%2.2u_%2.2u.log", written.year, written.month, written.day)));
}

}  // namespace
}  // namespace korvane
