// The edges of korvane.dll's objects as a client meets them: members only Ostrel2 has, terminal
// failures with their texts, bad arguments that must send nothing, events, COM identity and
// aggregation, a multithreaded client, and the thread's code page.
#include <olectl.h>

#include <cstdio>
#include <thread>

#include "client_common.h"

namespace korvane::comtest {
namespace {

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  ::GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + "korvane_com_" + std::to_string(::GetCurrentProcessId()) + "_" + name;
}

bool FileExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> RowsOf(IOstrelStrings* c) {
  std::vector<std::string> rows;
  long n = 0;
  EXPECT_EQ(c->get_Count(&n), S_OK);
  for (long i = 1; i <= n; ++i) {
    Bstr b;
    EXPECT_EQ(c->get_Item(i, b.out()), S_OK);
    rows.push_back(b.cp1251());
  }
  return rows;
}

ComPtr<IOstrel2> Connected(const std::wstring& port) {
  ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2");
  Bstr p(port.c_str());
  EXPECT_EQ(o->put_Port(p.get()), S_OK);
  long r = 0;
  EXPECT_EQ(o->ConnectTerminal(&r), S_OK);
  EXPECT_EQ(r, kConnected);
  return o;
}

struct Diag {
  long code;
  std::string message, context;
};

Diag DiagOf(IOstrel2* o) {
  Diag d{};
  Bstr m, c;
  EXPECT_EQ(o->get_LastErrorCode(&d.code), S_OK);
  EXPECT_EQ(o->get_LastErrorMsg(m.out()), S_OK);
  EXPECT_EQ(o->get_LastErrorContext(c.out()), S_OK);
  d.message = m.cp1251();
  d.context = c.cp1251();
  long code = 0;
  Bstr m2, c2;
  EXPECT_EQ(o->GetLastDiagMsg(&code, m2.out(), c2.out()), S_OK);
  EXPECT_EQ(code, d.code);
  EXPECT_EQ(m2.cp1251(), d.message);
  EXPECT_EQ(c2.cp1251(), d.context);
  return d;
}

// An enumerator that yields `good` strings, then one element it cannot give as text (or fails).
class BrokenEnum final : public IEnumVARIANT {
 public:
  BrokenEnum(int good, bool fail) : good_(good), fail_(fail) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IEnumVARIANT)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP Next(ULONG, VARIANT* v, ULONG* fetched) override {
    if (fetched) *fetched = 0;
    if (at_ < good_) {
      V_VT(v) = VT_BSTR;
      V_BSTR(v) = ::SysAllocString(L"row");
      ++at_;
      if (fetched) *fetched = 1;
      return S_OK;
    }
    if (fail_) return E_UNEXPECTED;
    V_VT(v) = VT_UNKNOWN;  // an object has no text form
    V_UNKNOWN(v) = this;
    if (fetched) *fetched = 1;
    return S_OK;
  }
  STDMETHODIMP Skip(ULONG n) override {
    at_ += static_cast<int>(n);
    return at_ <= good_ + 1 ? S_OK : S_FALSE;
  }
  STDMETHODIMP Reset() override {
    at_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumVARIANT**) override { return E_NOTIMPL; }

 private:
  int good_, at_ = 0;
  bool fail_;
};

TEST_F(ComClient, Ostrel2MembersOfItsOwn) {
  REQUIRE_SIM(port, "v3");
  ComPtr<IOstrel2> o = Connected(port);

  // The port list: the device map's serial ports, then USB and ActiveSync; both forms agree.
  ComPtr<IOstrelStrings> ports;
  ASSERT_EQ(o->get_AvailablePortsStrings(&ports), S_OK);
  std::vector<std::string> names = RowsOf(ports.Get());
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()), (std::vector<std::string>{"USB", "ActiveSync"}));
  ComPtr<IEnumVARIANT> port_enum;
  ASSERT_EQ(o->get_AvailablePorts(&port_enum), S_OK);
  EXPECT_EQ(DrainEnum(port_enum.Get()), names);

  long r = 0, id = -5, current = -5;
  ASSERT_EQ(o->GetCurrentID(2, &id, &r), S_OK);
  ASSERT_EQ(r, 0);
  ASSERT_EQ(o->CurrentID(2, &current), S_OK);
  EXPECT_EQ(current, id);
  ASSERT_EQ(o->CurrentID(7, &current), S_OK);  // goods have no current ID
  EXPECT_EQ(current, -1);

  ASSERT_EQ(o->RecvPrepare(&r), S_OK);
  ASSERT_EQ(r, 0);
  ComPtr<IOstrelStrings> journal;
  ASSERT_EQ(o->RecvTableAsStrings(0, &journal), S_OK);
  EXPECT_EQ(RowsOf(journal.Get()), CsvRows(SampleFile("journal.csv")));

  // Upload from a collection with its own count, one RowSent per row of that count; then the
  // obsolete member refuses.
  const std::vector<std::string> goods2 = {"10;;Товар А;1", "11;;Товар Б;2"};
  ComPtr<IOstrelStrings> upload = Collection(goods2);
  ASSERT_EQ(o->SendPrepare(&r), S_OK);
  RecordingSink sink;
  const DWORD cookie = Advise(o.Get(), &sink);
  ASSERT_EQ(o->SendTableAsStrings(8, upload.Get(), &r), S_OK);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(Unadvise(o.Get(), cookie), S_OK);
  ASSERT_EQ(sink.calls.size(), 2u);
  for (long i = 0; i < 2; ++i) {
    EXPECT_EQ(sink.calls[i].id, 2);
    EXPECT_EQ(sink.calls[i].done, i + 1);
    EXPECT_EQ(sink.calls[i].total, 2);
  }
  ASSERT_EQ(o->SendFinal(0, &r), S_OK);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(CsvRows(SimFile("v3", "data/uploaded/goods2.csv")), goods2);
  ComPtr<IEnumVARIANT> e;
  ASSERT_EQ(upload->get_Enumerator(&e), S_OK);
  r = 0;
  EXPECT_EQ(o->SendTable_obsolete(8, e.Get(), &r), E_NOTIMPL);
  EXPECT_EQ(r, -1);

  // CSV files: save from a collection, append from an enumerator, read back both ways.
  const std::string csv = TempPath("t.csv");
  ::DeleteFileA(csv.c_str());
  Bstr file(std::wstring(csv.begin(), csv.end()).c_str());
  ASSERT_EQ(o->SaveCSVStrings(file.get(), journal.Get(), VARIANT_FALSE), S_OK);
  ComPtr<IEnumVARIANT> more;
  ASSERT_EQ(upload->get_Enumerator(&more), S_OK);
  ASSERT_EQ(o->SaveCSVEnum(file.get(), more.Get(), VARIANT_TRUE), S_OK);
  std::vector<std::string> both = CsvRows(SampleFile("journal.csv"));
  both.insert(both.end(), goods2.begin(), goods2.end());
  EXPECT_EQ(CsvRows(ReadBytes(csv)), both);
  ComPtr<IOstrelStrings> read;
  ASSERT_EQ(o->ReadCSVStrings(file.get(), &read), S_OK);
  EXPECT_EQ(RowsOf(read.Get()), both);
  ComPtr<IEnumVARIANT> read_enum;
  ASSERT_EQ(o->ReadCSVEnum(file.get(), &read_enum), S_OK);
  EXPECT_EQ(DrainEnum(read_enum.Get()), both);
  ::DeleteFileA(csv.c_str());

  Bstr text;
  Bstr cmd(L"anything");
  ASSERT_EQ(o->InvokeText(cmd.get(), cmd.get(), text.out()), S_OK);
  EXPECT_EQ(text.wide(), L"");
  VARIANT arg, result;
  ::VariantInit(&arg);
  V_VT(&result) = VT_I4;
  ASSERT_EQ(o->InvokeObject(cmd.get(), arg, &result), S_OK);
  EXPECT_EQ(V_VT(&result), VT_EMPTY);
}

// A terminal that answers the handshake and then falls silent: the connect fails on its queries,
// the link stays up, a row is taken, and the flush that waits for its acknowledgement fails with
// its own context.
TEST_F(ComClient, FailedFlushReportsItsContext) {
  REQUIRE_SIM(mute, "mute");
  ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2");
  Bstr p(mute.c_str());
  o->put_Port(p.get());
  long r = 0;
  ASSERT_EQ(o->ConnectTerminal(&r), S_OK);
  EXPECT_LT(r, 0);
  Bstr row(L"строка");
  ASSERT_EQ(o->Korvane_TryToSend(row.get(), &r), S_OK);
  ASSERT_EQ(r, 0);
  ASSERT_EQ(o->Korvane_FlushWrite(&r), S_OK);
  EXPECT_LT(r, 0);
  const Diag d = DiagOf(o.Get());
  EXPECT_EQ(d.code, r);
  EXPECT_EQ(d.context, "Прямая команда Korvane_FlushWrite");
  ASSERT_EQ(o->DisconnectTerminal(), S_OK);
}

TEST_F(ComClient, TerminalFailuresReachTheCaller) {
  REQUIRE_SIM(silent, "silent");
  REQUIRE_SIM(nojob, "nojob");
  {
    ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2");
    Bstr p(silent.c_str());
    o->put_Port(p.get());
    long r = 0;
    ASSERT_EQ(o->ConnectTerminal(&r), S_OK);
    EXPECT_EQ(r, -7);
    const Diag d = DiagOf(o.Get());
    EXPECT_EQ(d.code, -7);
    EXPECT_EQ(d.message, "Терминал не подключен (" + p.cp1251() + ")");
    EXPECT_EQ(d.context, "Подключение");
  }
  {
    ComPtr<IOstrel2> o = Connected(nojob);
    const size_t start = JournalLines("nojob").size();
    long r = 0;
    ASSERT_EQ(o->RecvPrepare(&r), S_OK);
    EXPECT_EQ(r, -101);
    const Diag d = DiagOf(o.Get());
    EXPECT_EQ(d.message, "В терминале не загружено задание!");
    EXPECT_EQ(d.context, "Подготовка к выгрузке данных");
    ASSERT_EQ(o->ClearTable(1, &r), S_OK);
    EXPECT_EQ(r, 0);
    ASSERT_EQ(o->ClearTable(7, &r), S_OK);  // refused before anything is sent
    EXPECT_EQ(r, -3);
    EXPECT_EQ(CommandsIn(JournalLines("nojob", start)), (std::vector<std::string>{"880", "001"}));

    // An upload whose rows stop being text is a failure, never a shorter table.
    for (bool fail : {false, true}) {
      BrokenEnum rows(2, fail);
      ASSERT_EQ(o->SendPrepare(&r), S_OK);
      ASSERT_EQ(o->SendTable2(7, &rows, &r), S_OK);
      EXPECT_EQ(r, -3) << "enumerator fails: " << fail;
      EXPECT_EQ(o->get_LastErrorCode(&r), S_OK);
      EXPECT_EQ(r, -3);
    }
    EXPECT_EQ(SimFile("nojob", "data/uploaded/goods.csv"), "");
  }
  {
    // Not connected: the direct receives fail at once with the port's result and an empty line.
    ComPtr<IOstrel> o1 = Create<IOstrel>(L"Zyl.Ostrel");
    ComPtr<IOstrel2> o2 = Create<IOstrel2>(L"Zyl.Ostrel2");
    Bstr line;
    long r = 0;
    ASSERT_EQ(o1->Korvane_TryToRecv(line.out(), &r), S_OK);
    EXPECT_EQ(r, kNoPort);
    EXPECT_EQ(line.wide(), L"");
    long code = 0;
    Bstr msg, ctx;
    ASSERT_EQ(o1->GetLastDiagMsg(&code, msg.out(), ctx.out()), S_OK);
    EXPECT_EQ(code, kNoPort);
    EXPECT_EQ(ctx.cp1251(), "Прямая команда Korvane_TryToRecv");
    ASSERT_EQ(o2->Korvane_TryToRecvLine(line.out()), S_OK);
    EXPECT_EQ(line.wide(), L"");
    const Diag d = DiagOf(o2.Get());
    EXPECT_EQ(d.code, kNoPort);
    EXPECT_EQ(d.context, "Прямая команда Korvane_TryToRecvLine");
    // The other direct commands fail with their own context, in either edition. (A flush with no
    // port has nothing to send and succeeds.)
    Bstr cmd(L"--p"), row(L"строка");
    const struct {
      const char* context;
      std::function<HRESULT(IOstrel*, long*)> first;
      std::function<HRESULT(IOstrel2*, long*)> second;
    } direct[] = {
        {"Прямая команда Korvane_SendCmd", [&](IOstrel* x, long* p) { return x->Korvane_SendCmd(cmd.get(), p); },
         [&](IOstrel2* x, long* p) { return x->Korvane_SendCmd(cmd.get(), p); }},
        {"Прямая команда Korvane_TryToSend", [&](IOstrel* x, long* p) { return x->Korvane_TryToSend(row.get(), p); },
         [&](IOstrel2* x, long* p) { return x->Korvane_TryToSend(row.get(), p); }},
    };
    for (const auto& d : direct) {
      r = 0;
      ASSERT_EQ(d.first(o1.Get(), &r), S_OK);
      EXPECT_EQ(r, kNoPort) << d.context;
      Bstr m, c;
      ASSERT_EQ(o1->GetLastDiagMsg(&code, m.out(), c.out()), S_OK);
      EXPECT_EQ(code, kNoPort);
      EXPECT_EQ(c.cp1251(), d.context);
      EXPECT_EQ(m.cp1251(), "Нет подключения к терминалу");
      r = 0;
      ASSERT_EQ(d.second(o2.Get(), &r), S_OK);
      EXPECT_EQ(r, kNoPort) << d.context;
      const Diag diag = DiagOf(o2.Get());
      EXPECT_EQ(diag.code, kNoPort);
      EXPECT_EQ(diag.context, d.context);
      EXPECT_EQ(diag.message, "Нет подключения к терминалу");
    }
    // A failed download still hands out an (empty) enumerator.
    ComPtr<IEnumVARIANT> rows;
    ASSERT_EQ(o1->RecvTable(0, &rows, &r), S_OK);
    EXPECT_EQ(r, kNoPort);
    ASSERT_TRUE(rows);
    EXPECT_TRUE(DrainEnum(rows.Get()).empty());
    // RecvFinal clears the record without traffic.
    ASSERT_EQ(o2->RecvFinal(&r), S_OK);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(DiagOf(o2.Get()).code, 0);
  }
}

// A terminal that sends a row unasked after the identity queries: both direct receives give it,
// through the thread's code page.
TEST_F(ComClient, DirectReceivesGiveTheLine) {
  REQUIRE_SIM(port, "unsolicited");
  const LCID before = ::GetThreadLocale();
  ASSERT_TRUE(::SetThreadLocale(0x419));
  const std::wstring expected = Wide1251("Сканер готов");
  Bstr p(port.c_str());
  {
    ComPtr<IOstrel> o = Create<IOstrel>(L"Zyl.Ostrel");
    ASSERT_EQ(o->put_Port(p.get()), S_OK);
    long r = 0;
    ASSERT_EQ(o->ConnectTerminal(&r), S_OK);
    ASSERT_EQ(r, kConnected);
    Bstr line;
    ASSERT_EQ(o->Korvane_TryToRecv(line.out(), &r), S_OK);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(line.wide(), expected);
  }
  ComPtr<IOstrel2> o = Connected(port);
  Bstr line;
  ASSERT_EQ(o->Korvane_TryToRecvLine(line.out()), S_OK);
  EXPECT_EQ(line.wide(), expected);
  EXPECT_EQ(DiagOf(o.Get()).code, 0);
  ::SetThreadLocale(before);
}

// A collection that gives nothing: the object must refuse it rather than send an empty table.
class DeadStrings final : public IOstrelStrings {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    *out = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOstrelStrings)) ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP get__NewEnum(IUnknown**) override { return E_FAIL; }
  STDMETHODIMP get_Item(LONG, BSTR*) override { return E_FAIL; }
  STDMETHODIMP get_Count(LONG*) override { return E_FAIL; }
  STDMETHODIMP Add(BSTR, LONG*) override { return E_FAIL; }
  STDMETHODIMP Remove(LONG, LONG*) override { return E_FAIL; }
  STDMETHODIMP get_Enumerator(IEnumVARIANT**) override { return E_FAIL; }
  STDMETHODIMP Clear() override { return E_FAIL; }
};

TEST_F(ComClient, BadArgumentsSendNothing) {
  REQUIRE_SIM(port, "v3");
  ComPtr<IOstrel2> o = Connected(port);
  ComPtr<IOstrel> o1 = Create<IOstrel>(L"Zyl.Ostrel");
  const size_t start = JournalLines("v3").size();
  long r = 0;
  ComPtr<IEnumVARIANT> e;
  Bstr b(L"x");
  DeadStrings dead;
  const std::string csv = TempPath("never.csv");
  Bstr file(std::wstring(csv.begin(), csv.end()).c_str());
  const struct {
    const char* call;
    HRESULT got;
    HRESULT want;
  } cases[] = {
      {"ConnectTerminal(null)", o->ConnectTerminal(nullptr), E_POINTER},
      {"RecvTable(.., null, ..)", o->RecvTable(0, nullptr, &r), E_POINTER},
      {"RecvTable(.., .., null)", o->RecvTable(0, &e, nullptr), E_POINTER},
      {"RecvTableAsStrings(null)", o->RecvTableAsStrings(0, nullptr), E_POINTER},
      {"SendTable2(null enum)", o->SendTable2(7, nullptr, &r), E_POINTER},
      {"IOstrel SendTable(null enum)", o1->SendTable(7, nullptr, &r), E_POINTER},
      {"SendTableAsStrings(null)", o->SendTableAsStrings(7, nullptr, &r), E_POINTER},
      {"SendTableAsStrings(dead)", o->SendTableAsStrings(7, &dead, &r), E_INVALIDARG},
      {"GetCurrentID(null id)", o->GetCurrentID(2, nullptr, &r), E_POINTER},
      {"CurrentID(null)", o->CurrentID(2, nullptr), E_POINTER},
      {"Beep(null)", o->Beep(nullptr), E_POINTER},
      {"CloseAllForms(null)", o->CloseAllForms(nullptr), E_POINTER},
      {"Korvane_SendCmd(null)", o->Korvane_SendCmd(b.get(), nullptr), E_POINTER},
      {"Korvane_TryToRecv(null line)", o->Korvane_TryToRecv(nullptr, &r), E_POINTER},
      {"Korvane_TryToRecvLine(null)", o->Korvane_TryToRecvLine(nullptr), E_POINTER},
      {"SaveCSVEnum(null)", o->SaveCSVEnum(file.get(), nullptr, VARIANT_FALSE), E_POINTER},
      {"SaveCSVStrings(null)", o->SaveCSVStrings(file.get(), nullptr, VARIANT_FALSE), E_POINTER},
      {"SaveCSVStrings(dead)", o->SaveCSVStrings(file.get(), &dead, VARIANT_FALSE), E_INVALIDARG},
      {"ReadCSVEnum(null)", o->ReadCSVEnum(file.get(), nullptr), E_POINTER},
      {"ReadCSVStrings(null)", o->ReadCSVStrings(file.get(), nullptr), E_POINTER},
      {"get_Port(null)", o->get_Port(nullptr), E_POINTER},
      {"GetLastDiagMsg(null)", o->GetLastDiagMsg(nullptr, nullptr, nullptr), E_POINTER},
      {"AvailablePorts(null)", o->get_AvailablePorts(nullptr), E_POINTER},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.call;
  EXPECT_FALSE(FileExists(csv));
  EXPECT_TRUE(CommandsIn(JournalLines("v3", start)).empty());
}

TEST_F(ComClient, EventsReachEverySinkInOrder) {
  REQUIRE_SIM(port, "v3");
  ComPtr<IOstrel2> o = Connected(port);
  RecordingSink first, second;
  const DWORD c1 = Advise(o.Get(), &first);
  const DWORD c2 = Advise(o.Get(), &second);
  ASSERT_NE(c1, 0u);
  ASSERT_NE(c2, c1);
  // Inside an event: a property read works, the link refuses, and a sink may leave.
  HRESULT during_beep = S_OK, during_port = E_FAIL;
  first.on_call = [&](const RecordingSink::Call& call) {
    long r = 0;
    Bstr p;
    during_beep = o->Beep(&r);
    during_port = o->get_Port(p.out());
    if (call.done == 2) {
      EXPECT_EQ(Unadvise(o.Get(), c1), S_OK);
    }
  };
  long r = 0;
  ASSERT_EQ(o->RecvPrepare(&r), S_OK);
  ComPtr<IOstrelStrings> rows;
  ASSERT_EQ(o->RecvTableAsStrings(0, &rows), S_OK);
  const size_t n = CsvRows(SampleFile("journal.csv")).size();
  EXPECT_EQ(first.calls.size(), 2u);
  EXPECT_EQ(second.calls.size(), n);
  EXPECT_EQ(during_beep, kIllegalMethodCall);
  EXPECT_EQ(during_port, S_OK);
  EXPECT_EQ(first.bad_shape + second.bad_shape, 0);
  EXPECT_EQ(first.Refs(), 0u);  // the connection point let go of the sink that left

  // The container's bookkeeping.
  EXPECT_EQ(Unadvise(o.Get(), c1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(Unadvise(o.Get(), 999), CONNECT_E_NOCONNECTION);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(o.As(&container), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, &point), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(DIID__IOstrelEvents, &point), S_OK);
  ComPtr<IEnumConnections> live;
  ASSERT_EQ(point->EnumConnections(&live), S_OK);
  CONNECTDATA data[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(live->Next(3, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(data[0].dwCookie, c2);
  data[0].pUnk->Release();
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
  IConnectionPoint* listed = nullptr;
  ASSERT_EQ(points->Next(1, &listed, nullptr), S_OK);
  EXPECT_EQ(listed, point.Get());
  listed->Release();
  // A sink that cannot be called through IDispatch is refused at once.
  ComPtr<IUnknown> not_a_sink = Create<IUnknown>(L"Zyl.OstrelStrings");
  ComPtr<IEnumVARIANT> plain;
  ASSERT_EQ(rows->get_Enumerator(&plain), S_OK);
  HRESULT hr = S_OK;
  EXPECT_EQ(Advise(o.Get(), plain.Get(), &hr), 0u);
  EXPECT_EQ(hr, CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(Unadvise(o.Get(), c2), S_OK);
}

TEST_F(ComClient, IdentityAndAggregation) {
  struct Row {
    const wchar_t* prog_id;
    const IID* iid;
    HRESULT want;
  };
  const Row rows[] = {
      {L"Zyl.Ostrel", &IID_IOstrel, S_OK},
      {L"Zyl.Ostrel", &IID_IOstrel2, E_NOINTERFACE},
      {L"Zyl.Ostrel", &IID_IDispatch, S_OK},
      {L"Zyl.Ostrel", &IID_IConnectionPointContainer, S_OK},
      {L"Zyl.Ostrel", &IID_IEnumVARIANT, E_NOINTERFACE},
      {L"Zyl.Ostrel2", &IID_IOstrel2, S_OK},
      {L"Zyl.Ostrel2", &IID_IOstrel, E_NOINTERFACE},
      {L"Zyl.Ostrel2", &IID_IDispatch, S_OK},
      {L"Zyl.Ostrel2", &IID_IConnectionPointContainer, S_OK},
      {L"Zyl.OstrelStrings", &IID_IOstrelStrings, S_OK},
      {L"Zyl.OstrelStrings", &IID_IDispatch, S_OK},
      {L"Zyl.OstrelStrings", &IID_IConnectionPointContainer, E_NOINTERFACE},
      {L"Zyl.OstrelStrings", &IID_IEnumVARIANT, E_NOINTERFACE},
      {L"Zyl.EnumHelper", &IID_IEnumHelper, S_OK},
      {L"Zyl.EnumHelper", &IID_IDispatch, S_OK},
      {L"Zyl.EnumHelper", &IID_IOstrelStrings, E_NOINTERFACE},
      {L"Korvane.WCEPortSet", &IID_IWCEPortSet, S_OK},
      {L"Korvane.WCEPortSet", &IID_IDispatch, S_OK},
      {L"Korvane.WCEPortSet", &IID_IConnectionPointContainer, S_OK},
      {L"Korvane.WCEPortSet", &IID_IWCEPortDesc, E_NOINTERFACE},
      {L"Korvane.WCEPortDesc", &IID_IWCEPortDesc, S_OK},
      {L"Korvane.WCEPortDesc", &IID_IDispatch, S_OK},
      {L"Korvane.WCEPortDesc", &IID_IConnectionPointContainer, E_NOINTERFACE},
  };
  for (const Row& row : rows) {
    ComPtr<IUnknown> unknown = Create<IUnknown>(row.prog_id);
    ASSERT_TRUE(unknown);
    ComPtr<IUnknown> asked;
    EXPECT_EQ(unknown->QueryInterface(*row.iid, &asked), row.want);
    if (row.want == S_OK) {
      // Every interface leads back to the same identity.
      ComPtr<IUnknown> back;
      ASSERT_EQ(asked->QueryInterface(IID_IUnknown, &back), S_OK);
      EXPECT_EQ(back.Get(), unknown.Get());
    }
  }
  ComPtr<IDispatch> dispatch = Create<IDispatch>(L"Zyl.Ostrel2");
  ComPtr<IOstrel2> own;
  ASSERT_EQ(dispatch.As(&own), S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(own.Get()), static_cast<IUnknown*>(dispatch.Get()));

  // Aggregated: the outer object is the identity, the inner unknown owns the object.
  CLSID clsid{};
  ASSERT_EQ(::CLSIDFromProgID(L"Zyl.Ostrel2", &clsid), S_OK);
  Outer outer;
  IUnknown* refused = nullptr;
  EXPECT_EQ(::CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IOstrel2, reinterpret_cast<void**>(&refused)),
            CLASS_E_NOAGGREGATION);
  ASSERT_EQ(::CoCreateInstance(clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)),
            S_OK);
  IOstrel2* through = nullptr;
  ASSERT_EQ(outer.QueryInterface(IID_IOstrel2, reinterpret_cast<void**>(&through)), S_OK);
  IUnknown* identity = nullptr;
  ASSERT_EQ(through->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
  EXPECT_EQ(identity, &outer);
  Bstr version;
  EXPECT_EQ(through->get_LibraryVersion(version.out()), S_OK);
  EXPECT_EQ(version.wide(), L"4.2.2.0");
  identity->Release();
  through->Release();
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(DllCanUnloadNowOfKorvane(), S_FALSE);
  outer.inner->Release();

  // The exports: unknown classes, factory locks.
  HMODULE dll = ::GetModuleHandleW(L"korvane.dll");
  ASSERT_TRUE(dll);
  auto get_class = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
      reinterpret_cast<void*>(::GetProcAddress(dll, "DllGetClassObject")));
  ASSERT_TRUE(get_class);
  IClassFactory* factory = nullptr;
  EXPECT_EQ(get_class(IID_IDispatch, IID_IClassFactory, reinterpret_cast<void**>(&factory)), CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(get_class(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(DllCanUnloadNowOfKorvane(), S_FALSE);
  ASSERT_EQ(get_class(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  factory->LockServer(FALSE);
  factory->Release();
}

TEST_F(ComClient, MultithreadedClientThroughTheTypeLibraryMarshaler) {
  REQUIRE_SIM(port, "v3");
  std::thread client([&] {
    ComApartment mta(COINIT_MULTITHREADED);
    ASSERT_EQ(mta.Result(), S_OK);
    HRESULT hr = S_OK;
    ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2", &hr);
    ASSERT_EQ(hr, S_OK);
    // An in/out value crosses the apartments both ways.
    long forms = 77;
    ASSERT_EQ(o->CloseAllForms(&forms), S_OK);
    EXPECT_EQ(forms, kNoPort);
    Bstr p(port.c_str());
    ASSERT_EQ(o->put_Port(p.get()), S_OK);
    long r = 0;
    ASSERT_EQ(o->ConnectTerminal(&r), S_OK);
    ASSERT_EQ(r, kConnected);
    RecordingSink sink;
    sink.result_allowed = true;
    const DWORD cookie = Advise(o.Get(), &sink);
    ASSERT_NE(cookie, 0u);
    ASSERT_EQ(o->RecvPrepare(&r), S_OK);
    ComPtr<IOstrelStrings> rows;
    ASSERT_EQ(o->RecvTableAsStrings(0, &rows), S_OK);
    const std::vector<std::string> journal = CsvRows(SampleFile("journal.csv"));
    long count = 0;
    ASSERT_EQ(rows->get_Count(&count), S_OK);
    EXPECT_EQ(count, static_cast<long>(journal.size()));
    EXPECT_EQ(sink.calls.size(), journal.size()) << "bad shape " << sink.bad_shape;
    EXPECT_EQ(Unadvise(o.Get(), cookie), S_OK);
  });
  client.join();
}

TEST_F(ComClient, TextFollowsTheThreadsCodePage) {
  ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2");
  const LCID before = ::GetThreadLocale();
  // U+00E9 is byte 0xE9 in 1252, and 0xE9 reads back as U+0439 in 1251.
  ASSERT_TRUE(::SetThreadLocale(0x409));
  Bstr in(L"COM\u00E9");
  ASSERT_EQ(o->put_Port(in.get()), S_OK);
  Bstr same;
  ASSERT_EQ(o->get_Port(same.out()), S_OK);
  EXPECT_EQ(same.wide(), L"COM\u00E9");
  ASSERT_TRUE(::SetThreadLocale(0x419));
  Bstr other;
  ASSERT_EQ(o->get_Port(other.out()), S_OK);
  EXPECT_EQ(other.wide(), L"COM\u0439");
  // The text ends at the first zero character; a null BSTR is the empty text.
  BSTR cut = ::SysAllocStringLen(L"AB\0CD", 5);
  ASSERT_EQ(o->put_Port(cut), S_OK);
  ::SysFreeString(cut);
  ASSERT_EQ(o->get_Port(other.out()), S_OK);
  EXPECT_EQ(other.wide(), L"AB");
  ASSERT_EQ(o->put_Port(nullptr), S_OK);
  ASSERT_EQ(o->get_Port(other.out()), S_OK);
  EXPECT_EQ(other.wide(), L"");
  ::SetThreadLocale(before);
}

}  // namespace
}  // namespace korvane::comtest
