// A session cut short by a device that vanishes in the middle of a row leaves nothing for the next
// one on the same object: a reopened CComport at 3.00 and a reconnected TerminalLink each run a
// command, a download and an upload that the simulator checks byte for byte.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "frame/ts_port.h"
#include "legacy/comport.h"
#include "link/link_protocol.h"
#include "link/row_stream.h"
#include "link/terminal_link.h"
#include "platform/errors.h"
#include "port/link_port.h"

namespace korvane {
namespace {

// Rows long enough that a frame always ends inside one.
constexpr size_t kRowBytes = 700;

std::string SimDir() {
  const char* dir = std::getenv("KORVANE_LEGACY_SIM_STATE");
  return dir ? std::string(dir) + "/v3" : "";
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::vector<std::string> Rows(const char* tag) {
  std::vector<std::string> rows;
  for (int i = 1; i <= 4; ++i) {
    std::string row = std::to_string(i) + ";" + tag + ";строка;";
    row.resize(kRowBytes, static_cast<char>('a' + i));
    rows.push_back(row);
  }
  return rows;
}

// The real TCP port to the simulator, until the test makes it vanish: the write under way then
// stops half way with the device-lost error, and every call after it fails the same way.
class VanishingDevice final : public PortDevice {
 public:
  VanishingDevice(std::unique_ptr<PortDevice> real, std::shared_ptr<bool> gone)
      : real_(std::move(real)), gone_(std::move(gone)) {}
  bool HasHandle() const override { return real_->HasHandle(); }
  uint32_t Send(const uint8_t* data, uint32_t length, int32_t timeout_ms, uint32_t& err) override {
    if (!*gone_) return real_->Send(data, length, timeout_ms, err);
    const uint32_t sent = cut_ ? 0 : real_->Send(data, length / 2, timeout_ms, err);
    cut_ = true;
    err = kErrDeviceLost;
    return sent;
  }
  uint32_t ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) override {
    if (!*gone_) return real_->ReadMore(buffer, count, capacity, timeout_ms, err);
    err = kErrDeviceLost;
    return count;
  }
  void Purge() override { real_->Purge(); }
  void Close() override { real_->Close(); }

 private:
  std::unique_ptr<PortDevice> real_;
  std::shared_ptr<bool> gone_;
  bool cut_ = false;
};

class VanishingOpener {
 public:
  PortOpener Make() {
    return [this](const std::string& device, uint32_t kind, uint32_t* err) -> TsPort* {
      uint32_t e = 0;
      LinkPort* real = LvlOpen(device, kind, e);
      if (err != nullptr) *err = e;
      if (real == nullptr) return nullptr;
      gone_ = std::make_shared<bool>(false);
      auto wrapped = std::make_unique<VanishingDevice>(std::move(real->device), gone_);
      LvlClose(real);
      return tsAdoptPort(LvlAdopt(std::move(wrapped), kind));
    };
  }
  void Vanish() { *gone_ = true; }

 private:
  std::shared_ptr<bool> gone_ = std::make_shared<bool>(false);
};

class SessionAfterLostDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = SimDir();
    ASSERT_FALSE(dir_.empty()) << "KORVANE_LEGACY_SIM_STATE not set";
    const std::string port = ReadText(dir_ + "/port");
    if (port.empty()) GTEST_SKIP() << "no simulator (no native build beside this one)";
    name_ = "LAN:127.0.0.1:" + port.substr(0, port.find_first_of("\r\n"));
    journal_ = Lines(ReadText(dir_ + "/data/journal.csv"));
    ASSERT_FALSE(journal_.empty());
  }
  std::vector<std::string> Uploaded() { return Lines(ReadText(dir_ + "/data/uploaded/operations.csv")); }

  std::string dir_;
  std::string name_;
  std::vector<std::string> journal_;
  VanishingOpener opener_;
};

TEST_F(SessionAfterLostDevice, ComportAtThreeHundredReopens) {
  CComport port;
  port.SetProtocolVersion(kComportVersion300);
  port.SetPortOpener(opener_.Make());
  const std::vector<std::string> cut = Rows("cut");
  ASSERT_EQ(port.Open(name_), 1);
  ASSERT_EQ(port.SendCmd(kCmdActivateUploading), 1);
  ASSERT_EQ(port.SendCmd(kCmdUploadOperations), 1);
  ASSERT_EQ(port.TryToSend(cut[0]), 1);
  ASSERT_EQ(port.TryToSend(cut[1]), 1);
  opener_.Vanish();
  EXPECT_LT(port.TryToSend(cut[2]), 1);
  port.Close();

  ASSERT_EQ(port.Open(name_), 1);
  EXPECT_EQ(port.SendCmd(kCmdLinkCheck), 1);
  ASSERT_EQ(port.SendCmd(kCmdDownloadJournal), 1);
  std::vector<std::string> got;
  std::vector<char> buffer(kMaxFramedRowText + 1);
  for (;;) {
    int32_t size = static_cast<int32_t>(buffer.size());
    ASSERT_GE(port.TryToRecv(buffer.data(), size), 1) << "row " << got.size();
    const std::string row(buffer.data(), static_cast<size_t>(size));
    if (row == std::string(1, static_cast<char>(kEOT))) break;
    got.push_back(row);
    ASSERT_LE(got.size(), journal_.size());
  }
  EXPECT_EQ(got, journal_);

  const std::vector<std::string> rows = Rows("whole");
  ASSERT_EQ(port.SendCmd(kCmdActivateUploading), 1);
  ASSERT_EQ(port.SendCmd(kCmdUploadOperations), 1);
  for (const std::string& row : rows) ASSERT_EQ(port.TryToSend(row), 1);
  ASSERT_EQ(port.TryToSend(std::string(1, static_cast<char>(kEOT))), 1);
  ASSERT_EQ(port.SendCmd(kCmdParseUploaded), 1);
  int32_t size = static_cast<int32_t>(buffer.size());
  ASSERT_GE(port.TryToRecv(buffer.data(), size), 1);
  EXPECT_EQ(std::string(buffer.data(), static_cast<size_t>(size)), "SYNC;0;");
  EXPECT_EQ(Uploaded(), rows);
  port.Close();
}

TEST_F(SessionAfterLostDevice, TerminalLinkReconnects) {
  TerminalLink link;
  link.SetPortOpener(opener_.Make());
  link.SetPort(name_);
  const std::vector<std::string> cut = Rows("cut");
  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  ASSERT_EQ(link.ActivateUploadingTables(), 0) << link.GetDiag().message;
  ASSERT_EQ(link.StartUploading(kTableOperations), 0) << link.GetDiag().message;
  ASSERT_EQ(link.TryToSend(cut[0]), 0);
  ASSERT_EQ(link.TryToSend(cut[1]), 0);
  opener_.Vanish();
  EXPECT_EQ(link.TryToSend(cut[2]), E_EXCHANGE);
  link.Disconnect();

  ASSERT_EQ(link.ConnectTerminal(), S_CONNECTED) << link.GetDiag().message;
  ASSERT_EQ(link.RecvPrepare(), 0) << link.GetDiag().message;
  StringRowList got;
  ASSERT_EQ(link.RecvTable(kTableJournal, got, nullptr), 0) << link.GetDiag().message;
  EXPECT_EQ(got.Rows(), journal_);
  StringRowList rows(Rows("whole"));
  ASSERT_EQ(link.ActivateUploadingTables(), 0) << link.GetDiag().message;
  ASSERT_EQ(link.SendTable(kTableOperations, rows, nullptr, -1), 0) << link.GetDiag().message;
  ASSERT_EQ(link.SendFinal(0), 0) << link.GetDiag().message;
  EXPECT_EQ(Uploaded(), rows.Rows());
  link.Disconnect();
}

}  // namespace
}  // namespace korvane
