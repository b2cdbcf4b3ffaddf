// A device-setup library with devices a test describes, strict where the system is strict: the
// set handle must be the one it gave out, record sizes are checked, buffers too small are refused.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/setup_api.h"

namespace korvane::test {

struct FakeSetupDevice {
  // Property number -> the value's bytes as stored (a string list keeps its NULs; a value may lack one).
  std::map<uint32_t, std::string> properties;
  std::vector<std::string> interface_paths;
};

class FakeSetupApi {
 public:
  FakeSetupApi();
  FakeSetupApi(const FakeSetupApi&) = delete;
  FakeSetupApi& operator=(const FakeSetupApi&) = delete;

  const SetupApi& Api() const { return api_; }

  std::vector<FakeSetupDevice> devices;
  uint32_t class_devs_error = 0;  // non-zero: the set cannot be had, with this error

  // What the caller did.
  uint32_t flags_asked = 0;
  SetupGuid class_asked{};
  int sets_open = 0;
  int refused_calls = 0;  // calls the system would have failed for a caller's mistake
  std::string debug_text;

 private:
  SetupApi api_;
  uint32_t last_error_ = 0;

  friend struct FakeSetupCalls;
};

}  // namespace korvane::test
