// korvane.dll as applications use it: objects created by ProgID after regsvr32, against the
// native simulator over loopback TCP. Each session checks many members at once.
#include "client_common.h"

namespace korvane::comtest {
namespace {

// One session through either interface: identity, a download with events, an upload with
// events, every command (checked in the simulator's journal), the direct commands.
template <class I>
void RunSession(const wchar_t* prog_id, const char* sim, const std::wstring& port, const char* version) {
  HRESULT hr = S_OK;
  ComPtr<I> o = Create<I>(prog_id, &hr);
  ASSERT_EQ(hr, S_OK);
  const size_t journal_start = JournalLines(sim).size();
  Bstr port_text(port.c_str());
  ASSERT_EQ(o->put_Port(port_text.get()), S_OK);
  EXPECT_EQ(Text(o.Get(), &I::get_Port), Bstr(port.c_str()).cp1251());

  long r = 0;
  ASSERT_EQ(o->ConnectTerminal(&r), S_OK);
  ASSERT_EQ(r, kConnected);
  EXPECT_EQ(Text(o.Get(), &I::get_ProtocolVersion), version);
  EXPECT_EQ(Text(o.Get(), &I::get_LibraryVersion), "4.2.2.0");
  EXPECT_EQ(Text(o.Get(), &I::get_RemoteProgName), "Ostrel");
  EXPECT_EQ(Text(o.Get(), &I::get_RemoteProgVersion), "1.0.0.0");
  EXPECT_EQ(Text(o.Get(), &I::get_RemoteDevName), "Terminal");
  EXPECT_EQ(Text(o.Get(), &I::get_RemoteDevID), "00000000");
  EXPECT_NE(Text(o.Get(), &I::get_LibraryRegistrationPath).find("korvane.dll"), std::string::npos);
  {
    long code = 0;
    Bstr msg, ctx;
    ASSERT_EQ(o->GetLastDiagMsg(&code, msg.out(), ctx.out()), S_OK);
    EXPECT_EQ(code, kConnected);
    EXPECT_EQ(ctx.cp1251(), "Подключение");
  }

  // Download: rows in arrival order, one event per row counted 1..N of N.
  RecordingSink sink;
  const DWORD cookie = Advise(o.Get(), &sink);
  ASSERT_NE(cookie, 0u);
  ASSERT_EQ(o->RecvPrepare(&r), S_OK);
  EXPECT_EQ(r, 0);
  ComPtr<IEnumVARIANT> rows;
  ASSERT_EQ(o->RecvTable(0, &rows, &r), S_OK);
  EXPECT_EQ(r, 0);
  const std::vector<std::string> journal = CsvRows(SampleFile("journal.csv"));
  EXPECT_EQ(DrainEnum(rows.Get()), journal);
  ASSERT_EQ(sink.calls.size(), journal.size());
  for (size_t i = 0; i < sink.calls.size(); ++i) {
    EXPECT_EQ(sink.calls[i].id, 1);
    EXPECT_EQ(sink.calls[i].done, static_cast<long>(i + 1));
    EXPECT_EQ(sink.calls[i].total, static_cast<long>(journal.size()));
  }
  ASSERT_EQ(o->RecvFinal(&r), S_OK);
  EXPECT_EQ(r, 0);

  // Upload from the caller's enumerator; the terminal keeps exactly these bytes.
  const std::vector<std::string> goods = {"1;4607001234567;Молоко 3,2%;1;шт", "2;4607001234574;Кефир;2;шт",
                                          "3;;\"quoted; text\";3;кг"};
  sink.calls.clear();
  ASSERT_EQ(o->SendPrepare(&r), S_OK);
  EXPECT_EQ(r, 0);
  ComPtr<IOstrelStrings> upload = Collection(goods);
  ComPtr<IEnumVARIANT> source;
  ASSERT_EQ(upload->get_Enumerator(&source), S_OK);
  if constexpr (std::is_same_v<I, IOstrel>) {
    ASSERT_EQ(o->SendTable(7, source.Get(), &r), S_OK);
  } else {
    ASSERT_EQ(o->SendTable2(7, source.Get(), &r), S_OK);
  }
  EXPECT_EQ(r, 0);
  ASSERT_EQ(sink.calls.size(), goods.size());
  for (size_t i = 0; i < goods.size(); ++i) {
    EXPECT_EQ(sink.calls[i].id, 2);
    EXPECT_EQ(sink.calls[i].done, static_cast<long>(i + 1));
    EXPECT_EQ(sink.calls[i].total, static_cast<long>(goods.size()));
  }
  ASSERT_EQ(o->SendFinal(7, &r), S_OK);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(CsvRows(SimFile(sim, "data/uploaded/goods.csv")), goods);
  EXPECT_EQ(Unadvise(o.Get(), cookie), S_OK);

  // Every command, in order; the simulator's journal names what reached the terminal.
  long id = -1, forms = 77;
  Bstr filter(Wide1251("4607001234567").c_str());
  const struct {
    const char* what;
    std::function<HRESULT(long*)> call;
  } commands[] = {
      {"Beep", [&](long* p) { return o->Beep(p); }},
      {"ClearPrepare", [&](long* p) { return o->ClearPrepare(p); }},
      {"ResetAllFilters", [&](long* p) { return o->ResetAllFilters(p); }},
      {"SetCurrentID", [&](long* p) { return o->SetCurrentID(5, 42, p); }},
      {"GetCurrentID", [&](long* p) { return o->GetCurrentID(5, &id, p); }},
      {"SetFilterID", [&](long* p) { return o->SetFilterID(3, 9, p); }},
      {"SetFilterText", [&](long* p) { return o->SetFilterText(7, filter.get(), p); }},
      {"ClearFinal(false)", [&](long* p) { return o->ClearFinal(VARIANT_FALSE, p); }},
      {"ClearFinal(true)", [&](long* p) { return o->ClearFinal(VARIANT_TRUE, p); }},
      {"restore the job", [&](long* p) { return o->SetCurrentID(2, 1, p); }},
      {"CloseAllForms", [&](long*) { return o->CloseAllForms(&forms); }},
  };
  for (const auto& c : commands) {
    long result = 99;
    EXPECT_EQ(c.call(&result), S_OK) << c.what;
    if (std::string(c.what) != "CloseAllForms") {
      EXPECT_EQ(result, 0) << c.what;
    }
  }
  EXPECT_EQ(id, 42);
  EXPECT_EQ(forms, 0);

  // Members with no terminal behind them: -1 and nothing sent.
  Bstr a(L"a"), b(L"b"), c(L"c");
  const std::function<HRESULT(long*)> unbuilt[] = {
      [&](long* p) { return o->FilesPrepare(1, p); },
      [&](long* p) { return o->FileUpload(a.get(), b.get(), c.get(), 0, p); },
      [&](long* p) { return o->FileDownload(a.get(), b.get(), c.get(), 0, p); },
      [&](long* p) { return o->FilesFinal(0, p); },
  };
  for (const auto& call : unbuilt) {
    long result = 0;
    EXPECT_EQ(call(&result), S_OK);
    EXPECT_EQ(result, -1);
  }

  // Direct commands: a refused kind leaves a record; a good direct command keeps it in IOstrel and
  // clears it in IOstrel2.
  ASSERT_EQ(o->ClearTable(5, &r), S_OK);
  EXPECT_EQ(r, -3);
  Bstr check(L"--p"), line(Wide1251("RAW;строка").c_str());
  ASSERT_EQ(o->Korvane_SendCmd(check.get(), &r), S_OK);
  EXPECT_EQ(r, 0);
  long code = 0;
  {
    Bstr msg, ctx;
    ASSERT_EQ(o->GetLastDiagMsg(&code, msg.out(), ctx.out()), S_OK);
  }
  EXPECT_EQ(code, (std::is_same_v<I, IOstrel> ? -3 : 0));
  ASSERT_EQ(o->Korvane_TryToSend(line.get(), &r), S_OK);
  EXPECT_EQ(r, 0);
  ASSERT_EQ(o->Korvane_FlushWrite(&r), S_OK);
  EXPECT_EQ(r, 0);
  ASSERT_EQ(o->DisconnectTerminal(), S_OK);
  o.Reset();

  const std::vector<std::string> expected_commands = {
      "--p", "303", "--s", "--h",                         // connect
      "880", "998", "999", "40R", "020", "021",           // download
      "002", "151", "003", "881",                         // upload, new operation ID
      "004", "40R", "40R", "887", "886", "403", "408",   // commands
      "881", "881", "000", "--p"};
  const std::vector<std::string> after = JournalLines(sim, journal_start);
  EXPECT_EQ(CommandsIn(after), expected_commands);
  EXPECT_NE(std::find(after.begin(), after.end(), "REC RAW;" + std::string("строка")), after.end());
  // Every command's parameter row (the clock's aside): ClearFinal(true) sets the operations
  // table's current ID to 0.
  std::vector<std::string> params;
  for (const std::string& l : after)
    if (l.rfind("PARAM ", 0) == 0 && l.rfind("PARAM 303 ", 0) != 0) params.push_back(l);
  EXPECT_EQ(params, (std::vector<std::string>{"PARAM 881 7", "PARAM 887 42", "PARAM 403 9", "PARAM 408 4607001234567",
                                              "PARAM 881 0", "PARAM 881 1"}));
}

TEST_F(ComClient, OstrelSessionV3) {
  REQUIRE_SIM(port, "v3");
  RunSession<IOstrel>(L"Zyl.Ostrel", "v3", port, "3.00");
}

TEST_F(ComClient, Ostrel2SessionV3) {
  REQUIRE_SIM(port, "v3");
  RunSession<IOstrel2>(L"Zyl.Ostrel2", "v3", port, "3.00");
}

TEST_F(ComClient, OstrelSessionV2) {
  REQUIRE_SIM(port, "v2");
  RunSession<IOstrel>(L"Zyl.Ostrel", "v2", port, "2.00");
}

TEST_F(ComClient, Ostrel2SessionV2) {
  REQUIRE_SIM(port, "v2");
  RunSession<IOstrel2>(L"Zyl.Ostrel2", "v2", port, "2.00");
}

}  // namespace
}  // namespace korvane::comtest
