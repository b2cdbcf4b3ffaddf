// The class entries written and removed through a recording registry writer: every key and
// value, class by class, a class key replaced as a whole, and failures stopping or not stopping.
#include <algorithm>
#include <set>
#include <tuple>

#include "automation/registration.h"
#include "com_unit_util.h"

namespace korvane::com::test {
namespace {

struct Call {
  std::wstring op, key, name, value;
  auto operator<=>(const Call&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
  const auto narrow = [](const std::wstring& w) { return std::string(w.begin(), w.end()); };
  return os << narrow(c.op) << " [" << narrow(c.key) << "] " << narrow(c.name) << "=" << narrow(c.value);
}

// Records every call; the call numbered `fail_at` (from 1) fails with `failure`. Deleting a key
// it never saw answers ERROR_FILE_NOT_FOUND, as on a machine where nothing was registered.
class RecordingWriter final : public RegistryWriter {
 public:
  std::vector<Call> calls;
  size_t fail_at = 0;
  LONG failure = ERROR_ACCESS_DENIED;
  std::set<std::wstring> failing_deletes;  // keys whose DeleteTree fails with `failure`

  LONG SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) override {
    return Record({L"set", key, name, value});
  }
  LONG CreateKey(const std::wstring& key) override { return Record({L"key", key, L"", L""}); }
  LONG DeleteTree(const std::wstring& key) override {
    const LONG rc = Record({L"delete", key, L"", L""});
    if (rc != ERROR_SUCCESS) return rc;
    return failing_deletes.count(key) ? failure : ERROR_FILE_NOT_FOUND;
  }

 private:
  LONG Record(Call call) {
    calls.push_back(std::move(call));
    return calls.size() == fail_at ? failure : ERROR_SUCCESS;
  }
};

struct ClassKeys {
  const wchar_t* prog_id;
  const wchar_t* independent;
  const wchar_t* description;
  const wchar_t* clsid;
  bool app_id;
};

// Fixed identifiers: clients and earlier registrations depend on them never changing.
const ClassKeys kClasses[] = {
    {L"Zyl.KorvaneX.1", L"Zyl.KorvaneX", L"KorvaneX Class", L"{0CC2E606-3A74-4E24-80DA-44433CCD97D6}", false},
    {L"Zyl.KorvaneX2.1", L"Zyl.KorvaneX2", L"KorvaneX2 Class", L"{375AF27A-80F6-4FBF-9813-B56CFAC12A18}", true},
    {L"Zyl.OstrelStrings.1", L"Zyl.OstrelStrings", L"OstrelStrings Class", L"{30C3A186-8C39-448F-835E-22785AA9B493}",
     true},
    {L"Zyl.Ostrel.1", L"Zyl.Ostrel", L"Ostrel Class", L"{C5259695-5430-4B25-90D1-0E3CE4D41B23}", true},
    {L"Zyl.Ostrel2.1", L"Zyl.Ostrel2", L"Ostrel2 Class", L"{A34D256E-E92F-4F8A-B109-1B90961254DB}", false},
    {L"Zyl.EnumHelper.1", L"Zyl.EnumHelper", L"EnumHelper Class", L"{469C073F-2E36-4953-BE42-8D79EF00EBF5}", false},
    {L"Korvane.WCEPortDesc.1", L"Korvane.WCEPortDesc", L"WCEPortDesc Class", L"{33BADC6C-E752-4B1D-8B35-A0696F690D23}",
     false},
    {L"Korvane.WCEPortSet.1", L"Korvane.WCEPortSet", L"WCEPortSet Class", L"{75076B20-7A28-4EEA-AFCD-1FBD487464D3}",
     false},
};
const wchar_t kLibId[] = L"{1D4966D1-8C8B-4877-9AA9-7220FFCD50D3}";
const wchar_t kAppId[] = L"{DA671E3D-8293-4642-9A4C-5AC1178032B2}";
const wchar_t kPath[] = L"C:\\Program Files\\Some App\\korvane.dll";

std::vector<Call> ExpectedEntries(const ClassKeys& c) {
  const std::wstring key = std::wstring(L"CLSID\\") + c.clsid;
  std::vector<Call> calls = {
      {L"delete", key, L"", L""},
      {L"set", c.prog_id, L"", c.description},
      {L"set", c.prog_id + std::wstring(L"\\CLSID"), L"", c.clsid},
      {L"set", c.independent, L"", c.description},
      {L"set", c.independent + std::wstring(L"\\CLSID"), L"", c.clsid},
      {L"set", c.independent + std::wstring(L"\\CurVer"), L"", c.prog_id},
      {L"set", key, L"", c.description},
      {L"set", key + L"\\ProgID", L"", c.prog_id},
      {L"set", key + L"\\VersionIndependentProgID", L"", c.independent},
      {L"key", key + L"\\Programmable", L"", L""},
      {L"set", key + L"\\InprocServer32", L"", kPath},
      {L"set", key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {L"set", key + L"\\TypeLib", L"", kLibId},
  };
  if (c.app_id) calls.push_back({L"set", key, L"AppID", kAppId});
  return calls;
}

bool Under(const std::wstring& key, const std::wstring& root) {
  return key == root || key.starts_with(root + L"\\");
}

// Which class of the table a call belongs to, by the keys it touches.
size_t ClassOf(const Call& call) {
  for (size_t i = 0; i < std::size(kClasses); ++i) {
    const ClassKeys& c = kClasses[i];
    if (Under(call.key, c.prog_id) || Under(call.key, c.independent) || Under(call.key, std::wstring(L"CLSID\\") + c.clsid))
      return i;
  }
  return std::size(kClasses);
}

using Registration = ComUnitTest;

TEST_F(Registration, WritesEveryEntryClassByClassReplacingTheClassKey) {
  RecordingWriter writer;
  ASSERT_EQ(RegisterClasses(writer, kPath), S_OK);

  // Each class's calls form one run, in table order; within it, the set of entries is exact and
  // the old class key goes before anything is written under it.
  size_t begin = 0;
  for (size_t i = 0; i < std::size(kClasses); ++i) {
    size_t end = begin;
    while (end < writer.calls.size() && ClassOf(writer.calls[end]) == i) ++end;
    std::vector<Call> actual(writer.calls.begin() + begin, writer.calls.begin() + end);
    std::vector<Call> expected = ExpectedEntries(kClasses[i]);
    ASSERT_FALSE(actual.empty()) << "class " << i << " missing or out of order";
    EXPECT_EQ(actual.front(), expected.front()) << "class key not replaced first";
    std::sort(actual.begin(), actual.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(actual, expected) << "class " << i;
    begin = end;
  }
  EXPECT_EQ(begin, writer.calls.size()) << "unexpected call: " << writer.calls[std::min(begin, writer.calls.size() - 1)];
}

TEST_F(Registration, AFailingWriteStopsThereWithItsError) {
  RecordingWriter full;
  ASSERT_EQ(RegisterClasses(full, kPath), S_OK);
  for (size_t n = 1; n <= full.calls.size(); ++n) {
    RecordingWriter writer;
    writer.fail_at = n;
    writer.failure = n % 2 ? ERROR_ACCESS_DENIED : ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_EQ(RegisterClasses(writer, kPath), HRESULT_FROM_WIN32(writer.failure)) << n;
    EXPECT_EQ(writer.calls, std::vector<Call>(full.calls.begin(), full.calls.begin() + n)) << n;
  }
}

TEST_F(Registration, UnregisterRemovesEveryClassKeyAndReportsOnlyRealFailures) {
  std::set<std::wstring> all;
  for (const ClassKeys& c : kClasses)
    all.insert({c.prog_id, c.independent, std::wstring(L"CLSID\\") + c.clsid});
  const struct {
    std::set<std::wstring> failing;
    LONG failure;
    HRESULT result;
  } cases[] = {
      {{}, ERROR_SUCCESS, S_OK},  // nothing registered: every key absent
      {{L"Zyl.OstrelStrings.1"}, ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {{L"CLSID\\{469C073F-2E36-4953-BE42-8D79EF00EBF5}"}, ERROR_ACCESS_DENIED, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)},
      {{L"Zyl.Ostrel", L"Zyl.EnumHelper"}, ERROR_WRITE_PROTECT, HRESULT_FROM_WIN32(ERROR_WRITE_PROTECT)},
  };
  for (const auto& c : cases) {
    RecordingWriter writer;
    writer.failing_deletes = c.failing;
    writer.failure = c.failure;
    EXPECT_EQ(UnregisterClasses(writer), c.result);
    std::set<std::wstring> deleted;
    for (const Call& call : writer.calls) {
      EXPECT_EQ(call.op, L"delete") << call;
      deleted.insert(call.key);
    }
    EXPECT_EQ(deleted, all) << "the rest is removed after a failure; \"CLSID\" itself stays";
    EXPECT_EQ(writer.calls.size(), all.size());
  }
}

}  // namespace
}  // namespace korvane::com::test
