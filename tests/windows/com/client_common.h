// Pieces the C++ client tests share: creation by ProgID, texts of properties, the simulator's
// journal, collections built from rows, and the test fixture with its leak check.
#pragma once
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "com_test_util.h"

namespace korvane::comtest {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000EL);
constexpr long kConnected = 1;
constexpr long kNoPort = -8;

template <class I>
ComPtr<I> Create(const wchar_t* prog_id, HRESULT* hr_out = nullptr) {
  CLSID clsid{};
  ComPtr<I> p;
  HRESULT hr = ::CLSIDFromProgID(prog_id, &clsid);
  if (SUCCEEDED(hr)) hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, __uuidof(I), &p);
  if (hr_out) *hr_out = hr;
  return p;
}

template <class I>
std::string Text(I* object, HRESULT (STDMETHODCALLTYPE I::*getter)(BSTR*)) {
  Bstr b;
  EXPECT_EQ((object->*getter)(b.out()), S_OK);
  return b.cp1251();
}

// The journal lines of a simulator from `from` on.
inline std::vector<std::string> JournalLines(const char* sim, size_t from = 0) {
  const std::vector<std::string> lines = SplitLines(SimFile(sim, "journal.txt"), "\n");
  return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end());
}

inline std::vector<std::string> CommandsIn(const std::vector<std::string>& lines) {
  std::vector<std::string> codes;
  for (const std::string& l : lines)
    if (l.rfind("CMD ", 0) == 0) codes.push_back(l.substr(4));
  return codes;
}

inline ComPtr<IOstrelStrings> Collection(const std::vector<std::string>& rows) {
  auto c = Create<IOstrelStrings>(L"Zyl.OstrelStrings");
  for (const std::string& row : rows) {
    Bstr b(Wide1251(row).c_str());
    long index = -1;
    EXPECT_EQ(c->Add(b.get(), &index), S_OK);
  }
  return c;
}

// An outer object that aggregates one of the library's objects.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(iid, out) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  IUnknown* inner = nullptr;
  ULONG refs = 1;
};

class ComClient : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every object, enumerator and connection point of the test is gone: the leak check.
    EXPECT_EQ(DllCanUnloadNowOfKorvane(), S_OK);
  }
  ComApartment com_;
};

#define REQUIRE_SIM(var, name)                                             \
  const std::wstring var = SimPort(name);                                  \
  if (var.empty()) GTEST_SKIP() << "simulator " name " is not running"


}  // namespace korvane::comtest
