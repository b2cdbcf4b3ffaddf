// KorvaneX and KorvaneX2 as applications use them: created by ProgID after regsvr32, rows one at a
// time against the native simulator over loopback TCP, the version kept in Korvane.ini.
#include "client_common.h"

namespace korvane::comtest {
namespace {

constexpr char kIni[] = "Korvane.ini";

std::string IniVersion() {
  char text[64] = {};
  ::GetPrivateProfileStringA("Settings", "X1ProtocolVersion", "", text, sizeof text, kIni);
  return text;
}

// A download and an upload of rows through either class; both see the same members.
template <class I>
void RunRows(I* o, const char* sim, const std::wstring& port) {
  long r = 0;
  ASSERT_EQ(o->OpenPort(Bstr(port.c_str()).get(), &r), S_OK);
  ASSERT_EQ(r, 1);
  ASSERT_EQ(o->SendCMD(Bstr(L"021").get(), &r), S_OK);
  ASSERT_EQ(r, 1);
  std::vector<std::string> rows;
  for (long eof = 0; !eof && rows.size() < 100;) {
    Bstr row;
    ASSERT_EQ(o->TryToRecv(row.out(), &r), S_OK);
    ASSERT_GT(r, 0);
    EXPECT_EQ(Text(o, &I::get_Buffer), row.cp1251());  // the [out] BSTR and Buffer agree
    ASSERT_EQ(o->get_EOF(&eof), S_OK);
    if (!eof) rows.push_back(row.cp1251());
  }
  EXPECT_EQ(Text(o, &I::get_Buffer), "\x04");
  EXPECT_EQ(rows, CsvRows(SampleFile("journal.csv")));

  // No empty row: at 2.00 an empty row leaves nothing pending, so nothing is sent.
  const std::vector<std::string> upload = {"1;Молоко 3,2%;1", "2;;", "3;\"quoted; text\";3"};
  for (const char* code : {"002", "111"}) {
    ASSERT_EQ(o->SendCMD(Bstr(Wide1251(code).c_str()).get(), &r), S_OK);
    ASSERT_EQ(r, 1) << code;
  }
  for (const std::string& row : upload) {
    ASSERT_EQ(o->TryToSend(Bstr(Wide1251(row).c_str()).get(), &r), S_OK);
    EXPECT_GT(r, 0);
  }
  if constexpr (std::is_same_v<I, IKorvaneX2>) {
    ASSERT_EQ(o->SendEOT(&r), S_OK);
    EXPECT_GT(r, 0);
  } else {
    ASSERT_EQ(o->SendEOT(), S_OK);
  }
  ASSERT_EQ(o->SendCMD(Bstr(L"003").get(), &r), S_OK);
  ASSERT_EQ(r, 1);
  Bstr verdict;
  ASSERT_EQ(o->TryToRecv(verdict.out(), &r), S_OK);
  EXPECT_EQ(verdict.cp1251(), "SYNC;0;");
  EXPECT_EQ(CsvRows(SimFile(sim, "data/uploaded/operations.csv")), upload);
  ASSERT_EQ(o->ClosePort(&r), S_OK);
  EXPECT_EQ(r, 0);
}

TEST_F(ComClient, KorvaneXTwoRowsAndVersions) {
  REQUIRE_SIM(port2, "v2");
  REQUIRE_SIM(port3, "v3");
  HRESULT hr = S_OK;
  ComPtr<IKorvaneX2> o = Create<IKorvaneX2>(L"Zyl.KorvaneX2", &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(Text(o.Get(), &IKorvaneX2::get_LibraryVersion), "4.2.2.0");
  EXPECT_EQ(Text(o.Get(), &IKorvaneX2::get_ProtocolVersion), "2.00");
  RunRows(o.Get(), "v2", port2);
  // A terminal that answers 3.00 moves the object to 3.00.
  RunRows(o.Get(), "v3", port3);
  EXPECT_EQ(Text(o.Get(), &IKorvaneX2::get_ProtocolVersion), "3.00");
  long r = 0;
  for (auto [query, selected] : {std::pair{L"1.5", "3.00"}, {L"9", "3.00"}, {L"1", "1.00"}, {L"2", "2.00"}}) {
    Bstr text;
    ASSERT_EQ(o->SelectProtocolVersion(Bstr(query).get(), text.out()), S_OK);
    EXPECT_EQ(text.cp1251(), selected);
  }
  ASSERT_EQ(o->OpenPort(Bstr(port2.c_str()).get(), &r), S_OK);
  ASSERT_EQ(o->IsTerminalOnline(2000, &r), S_OK);
  EXPECT_EQ(r, 4);  // ENQ and "--p"
  ASSERT_EQ(o->SendCMD(Bstr(L"02").get(), &r), S_OK);
  EXPECT_EQ(r, 0);
  o->ClosePort(&r);
  // A negative result is passed on: the silent terminal's link check times out.
  REQUIRE_SIM(silent, "silent");
  ASSERT_EQ(o->OpenPort(Bstr(silent.c_str()).get(), &r), S_OK);
  ASSERT_EQ(o->IsTerminalOnline(300, &r), S_OK);
  EXPECT_EQ(r, -1);
}

TEST_F(ComClient, KorvaneXVersionFromTheIniFile) {
  REQUIRE_SIM(port, "v2");
  ::WritePrivateProfileStringA("Settings", nullptr, nullptr, kIni);  // a fresh section
  {
    HRESULT hr = S_OK;
    ComPtr<IKorvaneX> fresh = Create<IKorvaneX>(L"Zyl.KorvaneX", &hr);
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(IniVersion(), "1.00");
    EXPECT_NE(::GetFileAttributesA("C:\\windows\\Korvane.ini"), INVALID_FILE_ATTRIBUTES);
    // The class offers its own interface and IDispatch (the same pointer) and nothing more.
    ComPtr<IDispatch> d;
    ASSERT_EQ(fresh.As(&d), S_OK);
    EXPECT_EQ(static_cast<void*>(d.Get()), static_cast<void*>(fresh.Get()));
    ComPtr<IConnectionPointContainer> cpc;
    EXPECT_EQ(fresh.As(&cpc), E_NOINTERFACE);
  }
  ASSERT_TRUE(::WritePrivateProfileStringA("Settings", "X1ProtocolVersion", "2", kIni));
  HRESULT hr = S_OK;
  ComPtr<IKorvaneX> o = Create<IKorvaneX>(L"Zyl.KorvaneX", &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(IniVersion(), "2.00");
  RunRows(o.Get(), "v2", port);

  // The row count still pending is passed over by the next command. A result below 0 reaches
  // KorvaneX as 0 and KorvaneX2 as it is: a terminal that falls silent after the handshake.
  {
    REQUIRE_SIM(mute, "mute");
    ComPtr<IKorvaneX2> x2 = Create<IKorvaneX2>(L"Zyl.KorvaneX2");
    ASSERT_TRUE(x2);
    long results[2] = {99, 99};
    for (int which = 0; which < 2; ++which) {
      long& r = results[which];
      const auto send = [&](const wchar_t* code) {
        Bstr c(code);
        return which == 0 ? o->SendCMD(c.get(), &r) : x2->SendCMD(c.get(), &r);
      };
      const auto open = [&](const std::wstring& name) {
        return which == 0 ? o->OpenPort(Bstr(name.c_str()).get(), &r) : x2->OpenPort(Bstr(name.c_str()).get(), &r);
      };
      long closed = 0;
      ASSERT_EQ(open(port), S_OK);
      ASSERT_EQ(send(L"020"), S_OK);
      ASSERT_EQ(r, 1);
      ASSERT_EQ(send(L"004"), S_OK);
      EXPECT_EQ(r, 1);
      ASSERT_EQ(open(mute), S_OK);
      ASSERT_EQ(send(L"004"), S_OK);
      EXPECT_EQ(which == 0 ? o->ClosePort(&closed) : x2->ClosePort(&closed), S_OK);
    }
    EXPECT_LT(results[1], 0);
    EXPECT_EQ(results[0], 0);
  }

  // KorvaneX cannot be aggregated; KorvaneX2 can.
  CLSID clsid{};
  ASSERT_EQ(::CLSIDFromProgID(L"Zyl.KorvaneX", &clsid), S_OK);
  ComPtr<IUnknown> inner;
  EXPECT_EQ(::CoCreateInstance(clsid, o.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &inner), CLASS_E_NOAGGREGATION);
  ComPtr<IKorvaneX2> outer = Create<IKorvaneX2>(L"Zyl.KorvaneX2");
  ASSERT_EQ(::CLSIDFromProgID(L"Zyl.KorvaneX2", &clsid), S_OK);
  EXPECT_EQ(::CoCreateInstance(clsid, outer.Get(), CLSCTX_INPROC_SERVER, IID_IUnknown, &inner), S_OK);
  inner.Reset();
  ::WritePrivateProfileStringA("Settings", "X1ProtocolVersion", "1.00", kIni);
}

}  // namespace
}  // namespace korvane::comtest
