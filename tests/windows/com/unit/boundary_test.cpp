// The COM boundary: every member and every creation survives running out of memory at each of
// its allocations in turn (operator new of this program fails on request), and the direct
// receives turn the counts the link may give into lines exactly.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <sstream>

#include "automation/class_table.h"
#include "automation/korvanex.h"
#include "automation/ostrel.h"
#include "automation/ostrel_strings.h"
#include "com_unit_util.h"

namespace {

// Allocations of the armed thread fail from the armed count on, as when memory has run out.
std::atomic<DWORD> g_armed_thread{0};
std::atomic<long> g_allocations_left{0};
std::atomic<bool> g_fired{false};

bool AllocationFails() {
  if (g_armed_thread.load() != ::GetCurrentThreadId()) return false;
  if (g_allocations_left.load() > 0) {
    --g_allocations_left;
    return false;
  }
  g_fired = true;
  return true;
}

// The process heap, which the compiler does not pair with new and delete as it does malloc.
void* HeapBlock(std::size_t size) { return ::HeapAlloc(::GetProcessHeap(), 0, size ? size : 1); }
void FreeBlock(void* p) {
  if (p) ::HeapFree(::GetProcessHeap(), 0, p);
}

}  // namespace

void* operator new(std::size_t size) {
  if (AllocationFails()) throw std::bad_alloc();
  if (void* p = HeapBlock(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return AllocationFails() ? nullptr : HeapBlock(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p) noexcept { FreeBlock(p); }
void operator delete[](void* p) noexcept { FreeBlock(p); }
void operator delete(void* p, std::size_t) noexcept { FreeBlock(p); }
void operator delete[](void* p, std::size_t) noexcept { FreeBlock(p); }

namespace korvane::com::test {
namespace {

constexpr long kMaxAllocations = 5000;

// The last nResult a direct command gave: nothing may be reported from inside a call, since
// reporting allocates.
LONG g_direct_result = 0;

// Runs `call` with the n-th and every later allocation failing, n = 0, 1, ... until a run makes
// fewer allocations than n. Nothing may be thrown and each run ends in one of `allowed`. Returns
// how many allocations the call makes.
long Sweep(const std::string& what, const std::function<HRESULT()>& call, std::vector<HRESULT> allowed) {
  for (long n = 0; n < kMaxAllocations; ++n) {
    HRESULT hr = S_OK;
    bool thrown = false;
    g_fired = false;
    g_allocations_left = n;
    g_armed_thread = ::GetCurrentThreadId();
    try {
      hr = call();
    } catch (...) {
      thrown = true;
    }
    g_armed_thread = 0;
    if (thrown) {
      ADD_FAILURE() << what << ": an exception left the call when allocation " << n << " failed";
      return n;
    }
    if (!g_fired) return n;
    EXPECT_NE(std::find(allowed.begin(), allowed.end(), hr), allowed.end())
        << what << " with allocation " << n << " failing: 0x" << std::hex << hr << std::dec << " (last direct result "
        << g_direct_result << ")";
  }
  ADD_FAILURE() << what << ": more than " << kMaxAllocations << " allocations";
  return kMaxAllocations;
}

const std::vector<HRESULT> kDoneOrNoMemory = {S_OK, E_OUTOFMEMORY};

// nResult of a direct command without a port: its failure, or -5 when memory ran out on the way.
HRESULT DirectResult(HRESULT hr, LONG result) {
  g_direct_result = result;
  return hr == S_OK && result != -8 && result != -5 ? E_UNEXPECTED : hr;
}

using ComBoundary = ComUnitTest;

TEST_F(ComBoundary, EveryMemberAndCreationSurvivesRunningOutOfMemory) {
  // Creation through each class factory: the objects' constructors allocate.
  for (const ClassEntry& entry : Classes()) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(GetClassFactory(entry, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    const std::string name(entry.prog_id, entry.prog_id + wcslen(entry.prog_id));
    const long allocations = Sweep(
        "create " + name,
        [&] {
          IUnknown* object = nullptr;
          const HRESULT hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
          if (object) object->Release();
          return hr;
        },
        kDoneOrNoMemory);
    EXPECT_GT(allocations, 0) << name;
    factory->Release();
  }

  Ref<COstrel2> o;
  Ref<COstrel> o1;
  Ref<CKorvaneX2> x2;
  Ref<CKorvaneX> x1;
  Ref<COstrelStrings> rows;
  Ref<CEnumHelper> helper;
  ASSERT_EQ(CreateOwned(o), S_OK);
  ASSERT_EQ(CreateOwned(o1), S_OK);
  ASSERT_EQ(CreateOwned(x2), S_OK);
  ASSERT_EQ(CreateOwned(x1), S_OK);
  ASSERT_EQ(CreateOwned(rows), S_OK);
  ASSERT_EQ(CreateOwned(helper), S_OK);
  rows->AppendRow("1;товар;1");
  rows->AppendRow("2;товар;2");
  Bstr port(L"COM77"), text(L"строка"), command(L"--p"), csv(L"Z:\\no\\such\\folder\\t.csv"), version(L"3");
  const auto with_bstr = [](auto member) {
    return [member] {
      Bstr out;
      return member(out.out());
    };
  };
  const auto released = [](auto member) {
    return [member] {
      IUnknown* out = nullptr;
      const HRESULT hr = member(&out);
      if (out) out->Release();
      return hr;
    };
  };
  LONG r = 0;
  const struct {
    const char* what;
    std::function<HRESULT()> call;
  } members[] = {
      {"put_Port", [&] { return o->put_Port(port.get()); }},
      {"get_Port", with_bstr([&](BSTR* b) { return o->get_Port(b); })},
      {"get_ProtocolVersion", with_bstr([&](BSTR* b) { return o->get_ProtocolVersion(b); })},
      {"get_LibraryVersion", with_bstr([&](BSTR* b) { return o->get_LibraryVersion(b); })},
      {"get_LibraryRegistrationPath", with_bstr([&](BSTR* b) { return o->get_LibraryRegistrationPath(b); })},
      {"get_RemoteDevName", with_bstr([&](BSTR* b) { return o->get_RemoteDevName(b); })},
      {"get_LastErrorMsg", with_bstr([&](BSTR* b) { return o->get_LastErrorMsg(b); })},
      {"get_LastErrorContext", with_bstr([&](BSTR* b) { return o->get_LastErrorContext(b); })},
      {"get_LastErrorCode", [&] { return o->get_LastErrorCode(&r); }},
      {"GetLastDiagMsg",
       [&] {
         Bstr m, c;
         return o->GetLastDiagMsg(&r, m.out(), c.out());
       }},
      {"get_AvailablePortsStrings",
       released([&](IUnknown** p) { return o->get_AvailablePortsStrings(reinterpret_cast<IOstrelStrings**>(p)); })},
      {"get_AvailablePorts",
       released([&](IUnknown** p) { return o->get_AvailablePorts(reinterpret_cast<IEnumVARIANT**>(p)); })},
      {"Korvane_SendCmd",
       [&] {
         const HRESULT hr = o->Korvane_SendCmd(command.get(), &r);
         return DirectResult(hr, r);
       }},
      {"IOstrel Korvane_SendCmd",
       [&] {
         const HRESULT hr = o1->Korvane_SendCmd(command.get(), &r);
         return DirectResult(hr, r);
       }},
      {"Korvane_TryToSend",
       [&] {
         const HRESULT hr = o->Korvane_TryToSend(text.get(), &r);
         return DirectResult(hr, r);
       }},
      {"Korvane_FlushWrite",
       [&] {
         const HRESULT hr = o->Korvane_FlushWrite(&r);
         return DirectResult(hr, r);
       }},
      {"Korvane_TryToRecv",
       [&] {
         Bstr line;
         const HRESULT hr = o->Korvane_TryToRecv(line.out(), &r);
         return DirectResult(hr, r);
       }},
      {"Korvane_TryToRecvLine", with_bstr([&](BSTR* b) { return o->Korvane_TryToRecvLine(b); })},
      {"RecvTable", released([&](IUnknown** p) { return o->RecvTable(0, reinterpret_cast<IEnumVARIANT**>(p), &r); })},
      {"RecvTableAsStrings",
       released([&](IUnknown** p) { return o->RecvTableAsStrings(0, reinterpret_cast<IOstrelStrings**>(p)); })},
      // A collection that cannot give its enumerator is refused as an argument.
      {"SendTableAsStrings",
       [&] {
         const HRESULT hr = o->SendTableAsStrings(7, rows.get(), &r);
         return hr == E_INVALIDARG ? E_OUTOFMEMORY : hr;
       }},
      {"Beep", [&] { return o->Beep(&r); }},
      {"ClearFinal", [&] { return o->ClearFinal(VARIANT_TRUE, &r); }},
      {"SetFilterText", [&] { return o->SetFilterText(7, text.get(), &r); }},
      {"CurrentID", [&] { return o->CurrentID(2, &r); }},
      {"ReadCSVStrings",
       released([&](IUnknown** p) { return o->ReadCSVStrings(csv.get(), reinterpret_cast<IOstrelStrings**>(p)); })},
      {"LogStr", [&] { return o->LogStr(text.get(), 0); }},
      {"InvokeText", with_bstr([&](BSTR* b) { return o->InvokeText(text.get(), text.get(), b); })},
      {"EnumConnectionPoints",
       released([&](IUnknown** p) { return o->EnumConnectionPoints(reinterpret_cast<IEnumConnectionPoints**>(p)); })},
      {"IDispatch get Port",
       [&] {
         DISPID id = 0;
         LPOLESTR name = const_cast<LPOLESTR>(L"Port");
         HRESULT hr = static_cast<IOstrel2*>(o.get())->GetIDsOfNames(IID_NULL, &name, 1, 0, &id);
         if (FAILED(hr)) return hr;
         Variant value;
         DISPPARAMS none{nullptr, nullptr, 0, 0};
         return static_cast<IOstrel2*>(o.get())->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &value, nullptr,
                                                        nullptr);
       }},
      {"KorvaneX2 OpenPort", [&] { return x2->OpenPort(port.get(), &r); }},
      {"KorvaneX2 SendCMD", [&] { return x2->SendCMD(command.get(), &r); }},
      {"KorvaneX2 TryToRecv", with_bstr([&](BSTR* b) { return x2->TryToRecv(b, &r); })},
      {"KorvaneX2 get_Buffer", with_bstr([&](BSTR* b) { return x2->get_Buffer(b); })},
      {"KorvaneX2 get_ProtocolVersion", with_bstr([&](BSTR* b) { return x2->get_ProtocolVersion(b); })},
      {"KorvaneX2 SelectProtocolVersion",
       with_bstr([&](BSTR* b) { return x2->SelectProtocolVersion(version.get(), b); })},
      {"KorvaneX2 IsTerminalOnline", [&] { return x2->IsTerminalOnline(10, &r); }},
      {"KorvaneX SendCMD", [&] { return x1->SendCMD(command.get(), &r); }},
      {"KorvaneX TryToSend", [&] { return x1->TryToSend(text.get(), &r); }},
      {"KorvaneX SendEOT", [&] { return x1->SendEOT(); }},
      {"OstrelStrings Add", [&] { return rows->Add(text.get(), &r); }},
      {"OstrelStrings get_Item", with_bstr([&](BSTR* b) { return rows->get_Item(1, b); })},
      {"OstrelStrings get__NewEnum", released([&](IUnknown** p) { return rows->get__NewEnum(p); })},
      {"EnumHelper get__NewEnum",
       [&] {
         Ref<IEnumVARIANT> e;
         if (const HRESULT hr = rows->get_Enumerator(e.put()); FAILED(hr)) return hr;
         if (const HRESULT hr = helper->Attach(e.get()); FAILED(hr)) return hr;
         IUnknown* clone = nullptr;
         const HRESULT hr = helper->get__NewEnum(&clone);
         if (clone) clone->Release();
         helper->Detach();
         return hr;
       }},
  };
  for (const auto& m : members) Sweep(m.what, m.call, kDoneOrNoMemory);
  o->Link().Disconnect();
}

// A receive the link never gives: counts of every kind, and the failure and exception records.
TEST_F(ComBoundary, DirectReceivesTakeTheLineTheCountNames) {
  const std::string log = ::testing::TempDir() + "korvane_boundary_link.log";
  ::DeleteFileA(log.c_str());
  Ref<COstrel> o1;
  Ref<COstrel2> o2;
  ASSERT_EQ(CreateOwned(o1), S_OK);
  ASSERT_EQ(CreateOwned(o2), S_OK);
  o1->Link().SetupLogfile(log, 0);
  o2->Link().SetupLogfile(log, 0);
  // "Строка", a zero byte, then more text; the rest of the buffer as it was.
  const std::string bytes("\xD1\xF2\xF0\xEE\xEA\xE0\0tail", 11);
  struct Case {
    int32_t count;
    int32_t result;
    std::wstring line;  // for -5: none
    LONG code;
  };
  const Case cases[] = {
      {6, 0, L"Строка", 0}, {-1, 0, L"Строка", 0}, {11, 0, std::wstring(L"Строка\0tail", 11), 0},
      {0, 0, L"", 0},       {8193, 0, L"", -5},    {-2, 0, L"", -5},
      {3, -6, L"", -6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count) + ", result " + std::to_string(c.result));
    const auto receive = [&](uint8_t* buffer, uint32_t size, int32_t& count) {
      EXPECT_EQ(size, 8192u);
      std::copy(bytes.begin(), bytes.end(), buffer);
      count = c.count;
      return c.result;
    };
    o1->SetDirectReceive(receive);
    o2->SetDirectReceive(receive);
    Bstr line;
    LONG r = 99;
    ASSERT_EQ(o1->Korvane_TryToRecv(line.out(), &r), S_OK);
    EXPECT_EQ(r, c.code);
    if (c.code == -5) {
      EXPECT_EQ(line.get(), nullptr);
    } else {
      EXPECT_EQ(line.wide(), c.line);
    }
    ASSERT_EQ(o2->Korvane_TryToRecvLine(line.out()), S_OK);
    EXPECT_EQ(line.wide(), c.line);
    LONG code = 99;
    Bstr context;
    ASSERT_EQ(o2->get_LastErrorCode(&code), S_OK);
    ASSERT_EQ(o2->get_LastErrorContext(context.out()), S_OK);
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(context.wide(), c.code ? L"Прямая команда Korvane_TryToRecvLine" : L"");
  }
  o1->Link().SetupLogfile("", 0);
  o2->Link().SetupLogfile("", 0);
  std::ifstream in(log, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Two exception lines from each member (counts 8193 and -2).
  const auto lines = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = written.find(text); at != std::string::npos; at = written.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(lines("(Exception) Исключение в Korvane_TryToRecvLine"), 2u) << written;
  EXPECT_EQ(lines("(Exception) Исключение в Korvane_TryToRecv"), 4u) << written;
  ::DeleteFileA(log.c_str());
}

}  // namespace
}  // namespace korvane::com::test
