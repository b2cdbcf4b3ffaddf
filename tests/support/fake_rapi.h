// A docking remote API in process: installs itself as the kind-5 open's loader for its lifetime,
// plays the device's start and registry, and records every call.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "port/rapi_library.h"

namespace korvane::test {

class FakeRapi final : public RapiLoader {
 public:
  enum class Start {
    kOk,
    kTimesOut,      // the start event never fires
    kReportsEFail,  // fires with E_FAIL
    kReportsOther,  // fires with another failure code
    kCallFails,     // the start call itself fails
  };
  static constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
  static constexpr int32_t kOtherFailure = static_cast<int32_t>(0x8007048Fu);

  FakeRapi();
  ~FakeRapi() override;
  FakeRapi(const FakeRapi&) = delete;
  FakeRapi& operator=(const FakeRapi&) = delete;

  bool Load() override;
  void Resolve(RapiEntryPoints& table) override;
  void Unload() override;

  // Behaviour.
  bool library_present = true;
  std::string missing_entry;  // an entry point the library lacks
  Start start = Start::kOk;
  uint32_t start_delay_ms = 0;  // the start event fires after this long
  bool key_open_fails = false;
  bool value_write_fails = false;
  std::string value_file;  // each value written replaces this file's contents
  // Called with each value written (the device reading it and connecting back).
  std::function<void(const std::string& value)> on_value;

  // What was called.
  std::atomic<int> loads{0}, unloads{0}, starts{0}, uninits{0}, last_error_reads{0}, events_closed{0};
  std::atomic<int> keys_closed{0}, inside{0}, most_inside{0};
  uint32_t record_size = 0;
  uint32_t start_wait_ms = 0;
  RapiHandle root = nullptr;
  std::u16string key_path, value_name;
  uint32_t key_options = 99, key_access = 99, value_type = 0;
  std::vector<std::string> Values() const;

 private:
  static int32_t Init();
  static int32_t InitEx(RapiInitRecord* init);
  static int32_t Uninit();
  static int32_t CloseKey(RapiHandle key);
  static int32_t OpenKey(RapiHandle root, const char16_t* subkey, uint32_t options, uint32_t access, RapiHandle* key);
  static int32_t SetValue(RapiHandle key, const char16_t* name, uint32_t reserved, uint32_t type, const uint8_t* data,
                          uint32_t size);
  static uint32_t LastError();
  static bool WaitEvent(RapiHandle event, uint32_t timeout_ms);
  static void CloseEvent(RapiHandle event);

  RapiInitRecord* record_ = nullptr;
  mutable std::mutex lock_;
  std::vector<std::string> values_;
};

}  // namespace korvane::test
