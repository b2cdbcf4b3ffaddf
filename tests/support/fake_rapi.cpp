#include "support/fake_rapi.h"

#include <chrono>
#include <fstream>
#include <thread>

namespace korvane::test {

namespace {
FakeRapi* g_fake = nullptr;
int g_event_object = 0;
int g_key_object = 0;
constexpr int32_t kStartPending = 1;  // what the record holds until the event fires
constexpr int32_t kKeyOpenError = 2;
constexpr int32_t kValueWriteError = 5;
}  // namespace

FakeRapi::FakeRapi() {
  g_fake = this;
  SetRapiLoader(this);
}

FakeRapi::~FakeRapi() {
  SetRapiLoader(nullptr);
  g_fake = nullptr;
}

bool FakeRapi::Load() {
  if (!library_present) return false;
  ++loads;
  return true;
}

void FakeRapi::Unload() { ++unloads; }

void FakeRapi::Resolve(RapiEntryPoints& t) {
  t = {};
  t.CeRapiInit = Init;
  t.CeRapiInitEx = InitEx;
  t.CeRapiUninit = Uninit;
  t.CeRegCloseKey = CloseKey;
  t.CeRegOpenKeyEx = OpenKey;
  t.CeRegSetValueEx = SetValue;
  t.CeGetLastError = LastError;
  t.WaitEvent = WaitEvent;
  t.CloseEvent = CloseEvent;
  if (missing_entry == "CeRapiInit") t.CeRapiInit = nullptr;
  if (missing_entry == "CeRapiInitEx") t.CeRapiInitEx = nullptr;
  if (missing_entry == "CeRapiUninit") t.CeRapiUninit = nullptr;
  if (missing_entry == "CeRegCloseKey") t.CeRegCloseKey = nullptr;
  if (missing_entry == "CeRegOpenKeyEx") t.CeRegOpenKeyEx = nullptr;
  if (missing_entry == "CeRegSetValueEx") t.CeRegSetValueEx = nullptr;
  if (missing_entry == "CeGetLastError") t.CeGetLastError = nullptr;
}

std::vector<std::string> FakeRapi::Values() const {
  std::lock_guard<std::mutex> g(lock_);
  return values_;
}

int32_t FakeRapi::Init() { return 0; }

int32_t FakeRapi::InitEx(RapiInitRecord* init) {
  FakeRapi& f = *g_fake;
  ++f.starts;
  f.record_size = init->size;
  if (f.start == Start::kCallFails) return kEFail;
  const int now = ++f.inside;
  for (int most = f.most_inside; now > most && !f.most_inside.compare_exchange_weak(most, now);) {
  }
  init->start_event = &g_event_object;
  init->result = kStartPending;
  f.record_ = init;
  return 0;
}

bool FakeRapi::WaitEvent(RapiHandle event, uint32_t timeout_ms) {
  FakeRapi& f = *g_fake;
  f.start_wait_ms = timeout_ms;
  if (event != &g_event_object || f.start == Start::kTimesOut) return false;
  if (f.start_delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(f.start_delay_ms));
  // The device fills in the record's result before it fires the event.
  f.record_->result = f.start == Start::kReportsEFail ? kEFail : f.start == Start::kReportsOther ? kOtherFailure : 0;
  return true;
}

void FakeRapi::CloseEvent(RapiHandle event) {
  if (event == &g_event_object) ++g_fake->events_closed;
}

int32_t FakeRapi::Uninit() {
  --g_fake->inside;
  ++g_fake->uninits;
  return 0;
}

uint32_t FakeRapi::LastError() {
  ++g_fake->last_error_reads;
  return 0;
}

int32_t FakeRapi::OpenKey(RapiHandle root, const char16_t* subkey, uint32_t options, uint32_t access, RapiHandle* key) {
  FakeRapi& f = *g_fake;
  f.root = root;
  f.key_path = subkey;
  f.key_options = options;
  f.key_access = access;
  if (f.key_open_fails) return kKeyOpenError;
  *key = &g_key_object;
  return 0;
}

int32_t FakeRapi::CloseKey(RapiHandle key) {
  if (key == &g_key_object) ++g_fake->keys_closed;
  return 0;
}

int32_t FakeRapi::SetValue(RapiHandle key, const char16_t* name, uint32_t, uint32_t type, const uint8_t* data,
                           uint32_t size) {
  FakeRapi& f = *g_fake;
  if (key != &g_key_object) return kValueWriteError;
  f.value_name = name;
  f.value_type = type;
  const std::string value(reinterpret_cast<const char*>(data), size);
  {
    std::lock_guard<std::mutex> g(f.lock_);
    f.values_.push_back(value);
  }
  if (f.value_write_fails) return kValueWriteError;
  if (!f.value_file.empty()) std::ofstream(f.value_file, std::ios::binary | std::ios::trunc) << value;
  if (f.on_value) f.on_value(value);
  return 0;
}

}  // namespace korvane::test
