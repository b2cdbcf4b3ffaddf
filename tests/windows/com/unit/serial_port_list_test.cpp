// The serial port list read from a registry key the test fills: odd values are skipped without
// reading past a buffer, and the names come out in the order users read them.
#include <string>

#include "com_unit_util.h"
#include "platform/serial_port_list.h"

namespace korvane::com::test {
namespace {

constexpr const char* kTestsKey = "Software\\KorvaneTests";

class SerialPortList : public ComUnitTest {
 protected:
  void SetUp() override {
    ComUnitTest::SetUp();
    path_ = std::string(kTestsKey) + "\\" + std::to_string(::GetCurrentProcessId());
    ASSERT_EQ(
        ::RegCreateKeyExA(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
        ERROR_SUCCESS);
  }
  void TearDown() override {
    ::RegCloseKey(key_);
    ::RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
    ::RegDeleteKeyA(HKEY_CURRENT_USER, kTestsKey);  // only once no other test process uses it
    ComUnitTest::TearDown();
  }
  void Set(const std::string& name, DWORD type, const std::string& data) {
    ASSERT_EQ(::RegSetValueExA(key_, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                               static_cast<DWORD>(data.size())),
              ERROR_SUCCESS)
        << name.substr(0, 40);
  }
  std::string path_;
  HKEY key_ = nullptr;
};

TEST_F(SerialPortList, SkipsWhatDoesNotFitAndSortsShorterFirst) {
  using std::string_literals::operator""s;
  // Values that do not fit come first, so the ones after them must still be read.
  Set(std::string(600, 'N'), REG_SZ, "COM7\0"s);
  Set("\\Device\\Huge", REG_SZ, std::string(700, 'X') + '\0');
  Set("\\Device\\Serial10", REG_SZ, "COM10\0"s);
  Set("\\Device\\Dword", REG_DWORD, "\x01\x00\x00\x00"s);
  Set("\\Device\\Expand", REG_EXPAND_SZ, "COM5\0"s);
  Set("\\Device\\Serial2", REG_SZ, "COM2\0"s);
  Set("\\Device\\NoNul", REG_SZ, "COM3");
  Set("\\Device\\Serial1", REG_SZ, "COM1\0"s);
  EXPECT_EQ(SerialPortNamesFrom(HKEY_CURRENT_USER, path_), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM10"}));
}

TEST_F(SerialPortList, MissingKeyGivesNothing) {
  EXPECT_TRUE(SerialPortNamesFrom(HKEY_CURRENT_USER, path_ + "\\absent").empty());
  EXPECT_TRUE(SerialPortNamesFrom(HKEY_CURRENT_USER, path_).empty());
}

}  // namespace
}  // namespace korvane::com::test
