// CEnumHelper over no, a real, a foreign and a failing enumerator; the row source that reads a
// caller's enumerator for an upload.
#include "automation/ostrel_strings.h"
#include "automation/row_adapters.h"
#include "com_unit_util.h"

namespace korvane::com::test {
namespace {

class EnumHelper : public ComUnitTest {
 protected:
  void SetUp() override {
    ComUnitTest::SetUp();
    ASSERT_EQ(CreateOwned(helper_), S_OK);
  }
  void TearDown() override {
    helper_ = Ref<CEnumHelper>();
    ComUnitTest::TearDown();
  }
  std::wstring HelperNext() {
    Variant v;
    const HRESULT hr = helper_->Next(&v);
    if (hr != S_OK) return L"<hr " + std::to_wstring(hr) + L">";
    return V_VT(&v) == VT_EMPTY ? L"<empty>" : TextOf(v);
  }
  static std::wstring EnumNext(IEnumVARIANT* e) {
    Variant v;
    return e->Next(1, &v, nullptr) == S_OK ? TextOf(v) : L"<end>";
  }
  Ref<CEnumHelper> helper_;
};

TEST_F(EnumHelper, WithoutEnumerator) {
  CEnumHelper& h = *helper_.get();
  Variant v;
  V_VT(&v) = VT_I4;
  EXPECT_EQ(h.Next(&v), S_OK);
  EXPECT_EQ(V_VT(&v), VT_EMPTY);
  EXPECT_EQ(h.Skip(1), S_OK);
  EXPECT_EQ(h.Reset(), S_OK);
  IEnumVARIANT* clone = reinterpret_cast<IEnumVARIANT*>(1);
  EXPECT_EQ(h.Clone(&clone), S_OK);
  EXPECT_EQ(clone, nullptr);
  IUnknown* unknown = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(h.get__NewEnum(&unknown), S_OK);
  EXPECT_EQ(unknown, nullptr);
  EXPECT_EQ(h.get__NewEnum(nullptr), E_POINTER);
  EXPECT_EQ(h.Attach(nullptr), E_POINTER);
  EXPECT_EQ(h.AttachAsUntyped(nullptr), E_POINTER);
  EXPECT_EQ(h.Detach(), S_OK);
}

TEST_F(EnumHelper, ReattachingTheSameEnumeratorKeepsIt) {
  FakeEnum fake;
  fake.AddText(L"only");
  ASSERT_EQ(helper_->Attach(&fake), S_OK);
  fake.Release();  // the helper's reference is the only one now
  ASSERT_EQ(fake.refs, 1u);
  EXPECT_EQ(helper_->Attach(&fake), S_OK);
  EXPECT_EQ(helper_->AttachAsUntyped(&fake), S_OK);
  EXPECT_FALSE(fake.died) << "re-attaching released the enumerator before holding it";
  EXPECT_EQ(fake.refs, 1u);
  EXPECT_EQ(HelperNext(), L"only");
  EXPECT_EQ(helper_->Detach(), S_OK);
  EXPECT_EQ(fake.refs, 0u);
}

TEST_F(EnumHelper, AttachAsUntypedWithANonEnumeratorLeavesItDetached) {
  FakeEnum earlier;
  earlier.AddText(L"earlier");
  ASSERT_EQ(helper_->Attach(&earlier), S_OK);
  CountedUnknown not_an_enumerator;
  EXPECT_EQ(helper_->AttachAsUntyped(&not_an_enumerator), E_INVALIDARG);
  EXPECT_EQ(earlier.refs, 1u) << "the helper still holds the earlier enumerator";
  EXPECT_EQ(not_an_enumerator.refs, 1u);
  EXPECT_EQ(HelperNext(), L"<empty>");
  IUnknown* unknown = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(helper_->get__NewEnum(&unknown), S_OK);
  EXPECT_EQ(unknown, nullptr);
}

TEST_F(EnumHelper, ForwardsToAnAttachedCollectionEnumerator) {
  Ref<COstrelStrings> strings;
  ASSERT_EQ(CreateOwned(strings), S_OK);
  strings->AppendRow("a");
  strings->AppendRow("b");
  Ref<IEnumVARIANT> e;
  ASSERT_EQ(strings->get_Enumerator(e.put()), S_OK);
  ASSERT_EQ(helper_->Attach(e.get()), S_OK);

  EXPECT_EQ(helper_->Next(nullptr), E_INVALIDARG);
  EXPECT_EQ(HelperNext(), L"a");
  // Clone and _NewEnum copy the position and then move on their own.
  Ref<IEnumVARIANT> clone;
  ASSERT_EQ(helper_->Clone(clone.put()), S_OK);
  Ref<IUnknown> unknown;
  ASSERT_EQ(helper_->get__NewEnum(unknown.put()), S_OK);
  Ref<IEnumVARIANT> new_enum;
  ASSERT_EQ(unknown->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(new_enum.put())), S_OK);
  EXPECT_EQ(EnumNext(clone.get()), L"b");
  EXPECT_EQ(EnumNext(clone.get()), L"<end>");
  EXPECT_EQ(EnumNext(new_enum.get()), L"b");
  EXPECT_EQ(HelperNext(), L"b");

  // The end: S_OK and the caller's VT_EMPTY left as it was.
  EXPECT_EQ(HelperNext(), L"<empty>");
  EXPECT_EQ(helper_->Skip(1), S_FALSE);
  EXPECT_EQ(helper_->Reset(), S_OK);
  EXPECT_EQ(helper_->Skip(1), S_OK);
  EXPECT_EQ(HelperNext(), L"b");
}

TEST_F(EnumHelper, AFailingEnumeratorIsReportedNotTakenForTheEnd) {
  FakeEnum broken;
  broken.AddText(L"never");
  broken.fail = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
  broken.skip_result = E_UNEXPECTED;
  ASSERT_EQ(helper_->Attach(&broken), S_OK);
  Variant v;
  EXPECT_EQ(helper_->Next(&v), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_EQ(V_VT(&v), VT_EMPTY);
  EXPECT_EQ(helper_->Skip(4), E_UNEXPECTED);
  EXPECT_EQ(broken.skips, std::vector<ULONG>{4});
  helper_->Detach();
}

// --- EnumVariantRowSource ------------------------------------------------------------------

using Fetch = RowSource::Fetch;
using RowAdapters = ComUnitTest;

TEST_F(RowAdapters, EnumeratorSourceTakesTextAndRefusesWhatHasNone) {
  CountedUnknown unknown;
  CountedUnknown dispatch;
  dispatch.dispatch = true;
  FakeEnum caller;
  caller.AddText(L"abc");
  caller.AddI4(-42);
  caller.AddUnknown(&unknown, VT_UNKNOWN);
  caller.AddUnknown(&dispatch, VT_DISPATCH);  // no default value to turn into text
  caller.AddText(L"Привет");
  caller.AddText(L"");
  EnumVariantRowSource source(&caller);
  struct {
    Fetch fetch;
    std::string row;
  } expected[] = {{Fetch::kRow, "abc"},   {Fetch::kRow, "-42"},
                  {Fetch::kNotText, ""},  {Fetch::kNotText, ""},
                  {Fetch::kRow, "\xCF\xF0\xE8\xE2\xE5\xF2"}, {Fetch::kRow, ""},
                  {Fetch::kEnd, ""},      {Fetch::kEnd, ""}};
  for (size_t i = 0; i < std::size(expected); ++i) {
    std::string row;
    EXPECT_EQ(source.Next(row), expected[i].fetch) << i;
    if (expected[i].fetch == Fetch::kRow) {
      EXPECT_EQ(row, expected[i].row) << i;
    }
  }
  // Every element handed out was released again: one reference by the test, one by the script.
  EXPECT_EQ(unknown.refs, 2u);
  EXPECT_EQ(dispatch.refs, 2u);

  source.Reset();
  EXPECT_EQ(caller.resets, 1);
  std::string row;
  EXPECT_EQ(source.Next(row), Fetch::kRow);
  EXPECT_EQ(row, "abc");
  caller.skip_result = S_OK;
  EXPECT_TRUE(source.Skip(2));
  caller.skip_result = S_FALSE;
  EXPECT_FALSE(source.Skip(9));
  caller.skip_result = E_FAIL;
  EXPECT_FALSE(source.Skip(1));
  EXPECT_EQ(caller.skips, (std::vector<ULONG>{2, 9, 1}));

  // A broken enumerator must not look like the end of a complete table.
  caller.fail = E_FAIL;
  EXPECT_EQ(source.Next(row), Fetch::kNotText);
}

}  // namespace
}  // namespace korvane::com::test
