// The string collection and its enumerator: exact results, positions, a live sequence that
// changes under the enumerator, lifetime, and text through the thread's code page.
#include <climits>
#include <set>
#include <thread>

#include "automation/ostrel_strings.h"
#include "com_unit_util.h"

namespace korvane::com::test {
namespace {

const char kPrivetCp1251[] = "\xCF\xF0\xE8\xE2\xE5\xF2";

class OstrelStrings : public ComUnitTest {
 protected:
  void SetUp() override {
    ComUnitTest::SetUp();
    ASSERT_EQ(CreateOwned(strings_), S_OK);
  }
  void TearDown() override {
    strings_ = Ref<COstrelStrings>();
    ComUnitTest::TearDown();
  }
  void AddRows(std::initializer_list<const wchar_t*> rows) {
    for (const wchar_t* row : rows) {
      LONG index = -1;
      ASSERT_EQ(strings_->Add(Bstr(row).get(), &index), S_OK);
    }
  }
  Ref<IEnumVARIANT> Enumerator() {
    Ref<IEnumVARIANT> e;
    EXPECT_EQ(strings_->get_Enumerator(e.put()), S_OK);
    return e;
  }
  // Next of one row: its text, or "<end>".
  static std::wstring NextText(IEnumVARIANT* e) {
    Variant v;
    ULONG fetched = 99;
    const HRESULT hr = e->Next(1, &v, &fetched);
    if (hr == S_FALSE && fetched == 0 && V_VT(&v) == VT_EMPTY) return L"<end>";
    if (hr != S_OK || fetched != 1) return L"<hr " + std::to_wstring(hr) + L">";
    return TextOf(v);
  }
  Ref<COstrelStrings> strings_;
};

TEST_F(OstrelStrings, MembersAnswerExactResults) {
  COstrelStrings& s = *strings_.get();
  LONG n = -1;
  Bstr text;
  EXPECT_EQ(s.get_Count(&n), S_OK);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(s.get_Item(1, text.out()), E_FAIL);
  EXPECT_EQ(s.get_Item(0, text.out()), E_INVALIDARG);

  // Null out-pointers.
  EXPECT_EQ(s.get_Count(nullptr), E_POINTER);
  EXPECT_EQ(s.get_Item(1, nullptr), E_POINTER);
  EXPECT_EQ(s.Add(Bstr(L"x").get(), nullptr), E_POINTER);
  EXPECT_EQ(s.Remove(0, nullptr), E_POINTER);
  EXPECT_EQ(s.get__NewEnum(nullptr), E_POINTER);
  EXPECT_EQ(s.get_Enumerator(nullptr), E_POINTER);
  EXPECT_EQ(s.Rows().size(), 0u);

  for (LONG expected : {0, 1, 2}) {
    EXPECT_EQ(s.Add(Bstr((L"row" + std::to_wstring(expected)).c_str()).get(), &n), S_OK);
    EXPECT_EQ(n, expected);
  }
  struct {
    LONG index;
    HRESULT hr;
    const wchar_t* text;
  } items[] = {{1, S_OK, L"row0"}, {3, S_OK, L"row2"}, {4, E_FAIL, L""}, {0, E_INVALIDARG, L""},
               {-1, E_INVALIDARG, L""}, {LONG_MAX, E_FAIL, L""}};
  for (const auto& c : items) {
    BSTR out = reinterpret_cast<BSTR>(1);
    ASSERT_EQ(s.get_Item(c.index, &out), c.hr) << c.index;
    if (FAILED(c.hr)) {
      EXPECT_EQ(out, nullptr) << c.index;
      continue;
    }
    EXPECT_EQ(std::wstring(out), c.text) << c.index;
    ::SysFreeString(out);
  }

  // Out of range removes nothing.
  for (LONG bad : {LONG{-1}, LONG{3}, LONG{LONG_MIN}}) {
    n = 77;
    EXPECT_EQ(s.Remove(bad, &n), E_INVALIDARG) << bad;
    EXPECT_EQ(s.Rows(), (std::vector<std::string>{"row0", "row1", "row2"}));
  }
  EXPECT_EQ(s.Remove(0, &n), S_OK);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(s.get_Item(1, text.out()), S_OK);
  EXPECT_EQ(text.wide(), L"row1");
  EXPECT_EQ(s.Clear(), S_OK);
  EXPECT_EQ(s.get_Count(&n), S_OK);
  EXPECT_EQ(n, 0);
}

TEST_F(OstrelStrings, EnumeratorNextSkipResetClone) {
  AddRows({L"a", L"b"});
  Ref<IEnumVARIANT> e = Enumerator();
  Variant three[3];
  ULONG fetched = 99;
  EXPECT_EQ(e->Next(3, three, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(TextOf(three[0]), L"a");
  EXPECT_EQ(TextOf(three[1]), L"b");
  EXPECT_EQ(V_VT(&three[2]), VT_EMPTY);
  EXPECT_EQ(NextText(e.get()), L"<end>");

  // Pointer checks: a count without a place for it is allowed only for one row.
  Variant one;
  EXPECT_EQ(e->Next(1, nullptr, &fetched), E_POINTER);
  EXPECT_EQ(e->Next(2, three, nullptr), E_POINTER);
  EXPECT_EQ(e->Reset(), S_OK);
  EXPECT_EQ(e->Next(1, &one, nullptr), S_OK);
  EXPECT_EQ(TextOf(one), L"a");

  // Skip: exactly to the end is S_OK, past it S_FALSE and the position stays at the end.
  struct {
    ULONG skip;
    HRESULT hr;
    const wchar_t* next;
  } skips[] = {{0, S_OK, L"a"}, {1, S_OK, L"b"}, {2, S_OK, L"<end>"}, {3, S_FALSE, L"<end>"},
               {ULONG_MAX, S_FALSE, L"<end>"}};
  for (const auto& c : skips) {
    e->Reset();
    EXPECT_EQ(e->Skip(c.skip), c.hr) << c.skip;
    EXPECT_EQ(NextText(e.get()), c.next) << c.skip;
  }

  // A clone starts where its original is and moves on its own.
  e->Reset();
  e->Skip(1);
  Ref<IEnumVARIANT> clone;
  EXPECT_EQ(e->Clone(nullptr), E_POINTER);
  ASSERT_EQ(e->Clone(clone.put()), S_OK);
  EXPECT_EQ(NextText(clone.get()), L"b");
  EXPECT_EQ(NextText(clone.get()), L"<end>");
  EXPECT_EQ(NextText(e.get()), L"b");

  // _NewEnum hands out a fresh enumerator at the first row.
  Ref<IUnknown> unknown;
  ASSERT_EQ(strings_->get__NewEnum(unknown.put()), S_OK);
  Ref<IEnumVARIANT> fresh;
  ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(fresh.put())), S_OK);
  EXPECT_EQ(NextText(fresh.get()), L"a");
}

TEST_F(OstrelStrings, NextInitialisesGarbageVariantsWithoutFreeingThem) {
  AddRows({L"a", L"b"});
  CountedUnknown garbage;
  VARIANT out[3];
  for (VARIANT& v : out) {
    V_VT(&v) = VT_UNKNOWN;
    V_UNKNOWN(&v) = &garbage;
  }
  ULONG fetched = 0;
  EXPECT_EQ(Enumerator()->Next(3, out, &fetched), S_FALSE);
  EXPECT_EQ(garbage.refs, 1u) << "Next released what an uninitialised variant pointed to";
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(TextOf(out[0]), L"a");
  EXPECT_EQ(TextOf(out[1]), L"b");
  ::VariantClear(&out[0]);
  ::VariantClear(&out[1]);
}

TEST_F(OstrelStrings, EnumeratorFollowsTheLiveSequenceWithoutReadingOutside) {
  AddRows({L"a", L"b", L"c"});
  Ref<IEnumVARIANT> before_clear = Enumerator();
  EXPECT_EQ(NextText(before_clear.get()), L"a");
  Ref<IEnumVARIANT> at_end = Enumerator();
  EXPECT_EQ(at_end->Skip(3), S_OK);

  // Shrunk below the positions.
  LONG n = 0;
  strings_->Remove(0, &n);
  strings_->Remove(0, &n);
  EXPECT_EQ(NextText(at_end.get()), L"<end>");
  EXPECT_EQ(at_end->Skip(1), S_FALSE);
  Ref<IEnumVARIANT> clone;
  ASSERT_EQ(at_end->Clone(clone.put()), S_OK);
  EXPECT_EQ(NextText(clone.get()), L"<end>");

  // Cleared: an enumerator made before gives no more rows.
  strings_->Clear();
  EXPECT_EQ(NextText(before_clear.get()), L"<end>");
  EXPECT_EQ(before_clear->Skip(1), S_FALSE);

  // Grown again: where it goes on from is open, but only rows of the sequence come out.
  AddRows({L"x", L"y", L"z", L"w"});
  const std::set<std::wstring> rows{L"x", L"y", L"z", L"w"};
  int given = 0;
  for (std::wstring text; (text = NextText(at_end.get())) != L"<end>" && given <= 4; ++given)
    EXPECT_TRUE(rows.count(text)) << given;
  EXPECT_LE(given, 4);
  EXPECT_EQ(at_end->Reset(), S_OK);
  EXPECT_EQ(NextText(at_end.get()), L"x");
}

TEST_F(OstrelStrings, EnumeratorKeepsTheCollectionAlive) {
  IOstrelStrings* collection = nullptr;
  ASSERT_EQ(CreateObject<COstrelStrings>(nullptr, IID_IOstrelStrings, reinterpret_cast<void**>(&collection)), S_OK);
  LONG index = 0;
  collection->Add(Bstr(L"kept").get(), &index);
  IEnumVARIANT* e = nullptr;
  ASSERT_EQ(collection->get_Enumerator(&e), S_OK);
  collection->Release();
  EXPECT_EQ(ModuleCount(), 2 + 1) << "enumerator, collection, and the fixture's own collection";
  EXPECT_EQ(NextText(e), L"kept");
  e->Release();
}

TEST_F(OstrelStrings, TextCrossesInTheThreadCodePage) {
  struct {
    LCID locale;
    const wchar_t* wide;
    const char* bytes;
  } cases[] = {
      {kRussian, L"Привет", kPrivetCp1251},
      {kRussian, L"\u0439", "\xE9"},
      {kEnglish, L"\u00E9", "\xE9"},
  };
  for (const auto& c : cases) {
    strings_->Clear();
    std::wstring back;
    std::thread([&] {
      ::SetThreadLocale(c.locale);
      LONG index = -1;
      strings_->Add(Bstr(c.wide).get(), &index);
      Bstr item;
      strings_->get_Item(1, item.out());
      back = item.wide();
    }).join();
    EXPECT_EQ(strings_->Rows(), std::vector<std::string>{c.bytes}) << c.locale;
    EXPECT_EQ(back, c.wide) << c.locale;
  }
}

TEST_F(OstrelStrings, ZerosInsideText) {
  // In: the BSTR ends at its first zero character; a null BSTR is the empty row.
  LONG index = -1;
  BSTR zero_inside = ::SysAllocStringLen(L"AB\0CD", 5);
  EXPECT_EQ(strings_->Add(zero_inside, &index), S_OK);
  ::SysFreeString(zero_inside);
  EXPECT_EQ(strings_->Add(nullptr, &index), S_OK);
  EXPECT_EQ(strings_->Rows(), (std::vector<std::string>{"AB", ""}));

  // Out: the whole 8-bit row, zero byte included, by Item and by the enumerator.
  strings_->Clear();
  strings_->AppendRow(std::string_view("A\0\xCF", 3));
  const std::wstring expected(L"A\0\u041F", 3);
  Bstr item;
  ASSERT_EQ(strings_->get_Item(1, item.out()), S_OK);
  EXPECT_EQ(item.wide(), expected);
  EXPECT_EQ(NextText(Enumerator().get()), expected);
}

TEST_F(OstrelStrings, DispatchFindsTheEmbeddedTypeLibraryAndNewEnumAsMethod) {
  IDispatch* dispatch = static_cast<IOstrelStrings*>(strings_.get());
  OLECHAR name[] = L"Count";
  LPOLESTR names[] = {name};
  DISPID id = 0;
  ASSERT_EQ(dispatch->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
  EXPECT_EQ(id, 1);
  AddRows({L"m"});
  // Script engines ask for the enumerator as a method too.
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant result;
  ASSERT_EQ(dispatch->Invoke(DISPID_NEWENUM, IID_NULL, 0, DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
  ASSERT_EQ(V_VT(&result), VT_UNKNOWN);
  Ref<IEnumVARIANT> e;
  ASSERT_EQ(V_UNKNOWN(&result)->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(e.put())), S_OK);
  EXPECT_EQ(NextText(e.get()), L"m");
}

}  // namespace
}  // namespace korvane::com::test
