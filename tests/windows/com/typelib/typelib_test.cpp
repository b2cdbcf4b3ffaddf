// The type library embedded in korvane.dll is what compiled clients and scripts bind to: its
// identity, each type's GUID, kind, flags and help string, and each member's DISPID, kind, vtable
// slot and parameter directions. The 64-bit DLL is checked against the table below; the 32-bit
// DLL cannot be loaded here, so its library is read as data and must describe exactly the same.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr INVOKEKIND kGet = INVOKE_PROPERTYGET;
constexpr INVOKEKIND kPut = INVOKE_PROPERTYPUT;
constexpr INVOKEKIND kFunc = INVOKE_FUNC;
constexpr WORD kDualFlags = TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
constexpr int kDispatchSlots = 7;  // IUnknown and IDispatch come first in every dual vtable
const char kMethodOrProperty[] = "*";  // help string "method <name>" or "property <name>"

struct Member {
  std::string name;
  DISPID id;
  INVOKEKIND kind;
  std::string params;  // per parameter: '-' no direction, 'i' in, 'o' out, 'r' out+retval, 'x' in+out
  std::string help = kMethodOrProperty;  // "": none
  WORD flags = 0;  // FUNCFLAGS
};

struct Type {
  std::string name;
  std::string guid;
  TYPEKIND kind;
  WORD flags;
  std::string help;
  std::vector<Member> members = {};  // in slot order
  std::vector<std::string> implemented = {};  // coclasses: "<interface> <IMPLTYPEFLAGS>"
};

const char kLibId[] = "{1D4966D1-8C8B-4877-9AA9-7220FFCD50D3}";

const std::vector<Member> kOstrel = {
    {"Port", 1, kGet, "r"},
    {"Port", 1, kPut, "i"},
    {"ConnectTerminal", 2, kFunc, "r"},
    {"DisconnectTerminal", 3, kFunc, ""},
    {"LibraryRegistrationPath", 4, kGet, "r"},
    {"LibraryVersion", 5, kGet, "r"},
    {"ProtocolVersion", 6, kGet, "r"},
    {"RemoteProgName", 7, kGet, "r"},
    {"RemoteProgVersion", 8, kGet, "r"},
    {"RemoteDevName", 9, kGet, "r"},
    {"RemoteDevID", 10, kGet, "r"},
    {"GetLastDiagMsg", 11, kFunc, "ooo"},
    {"AvailablePorts", 12, kGet, "r"},
    {"GetCurrentID", 13, kFunc, "-or"},
    {"RecvPrepare", 14, kFunc, "r"},
    {"RecvFinal", 15, kFunc, "r"},
    {"RecvTable", 16, kFunc, "-or"},
    {"Beep", 17, kFunc, "r"},
    {"ClearPrepare", 18, kFunc, "r"},
    {"ClearFinal", 19, kFunc, "-r"},
    {"ClearTable", 20, kFunc, "-r"},
    {"SendPrepare", 21, kFunc, "r"},
    {"SendFinal", 22, kFunc, "-r"},
    {"SendTable", 23, kFunc, "--r"},
    {"SetCurrentID", 24, kFunc, "--r"},
    {"ResetAllFilters", 25, kFunc, "r"},
    {"SetFilterID", 26, kFunc, "--r"},
    {"SetFilterText", 27, kFunc, "--r"},
    // [in, out] rather than no direction: a bare pointer loses its value across apartments.
    {"CloseAllForms", 28, kFunc, "x"},
    {"Reboot", 29, kFunc, "r"},
    {"FilesPrepare", 30, kFunc, "-r"},
    {"FileUpload", 31, kFunc, "----r"},
    {"FileDownload", 32, kFunc, "----r"},
    {"FilesFinal", 33, kFunc, "-r"},
    {"Korvane_SendCmd", 34, kFunc, "-r"},
    {"Korvane_TryToSend", 35, kFunc, "-r"},
    {"Korvane_TryToRecv", 36, kFunc, "or"},
    {"Korvane_FlushWrite", 37, kFunc, "r"},
    {"SetupLogfile", 38, kFunc, "ii"},
    {"LogStr", 39, kFunc, "ii"},
};

// IOstrel2 repeats IOstrel with SendTable retired and SendTable2 behind it, then adds its own.
std::vector<Member> Ostrel2Members() {
  const size_t send_table = 23;
  std::vector<Member> m(kOstrel.begin(), kOstrel.begin() + send_table);
  m.push_back({"SendTable_obsolete", 23, kFunc, "--r"});
  m.push_back({"SendTable2", 50, kFunc, "--r"});
  m.insert(m.end(), kOstrel.begin() + send_table + 1, kOstrel.end());
  m.insert(m.end(), {
      {"AvailablePortsStrings", 40, kGet, "r"},
      {"LastErrorCode", 41, kGet, "r"},
      {"LastErrorMsg", 42, kGet, "r"},
      {"LastErrorContext", 43, kGet, "r"},
      {"CurrentID", 44, kFunc, "ir"},
      {"RecvTableAsStrings", 45, kFunc, "ir"},
      {"SendTableAsStrings", 46, kFunc, "--r"},
      {"Korvane_TryToRecvLine", 47, kFunc, "r"},
      {"InvokeText", 48, kFunc, "iir"},
      {"InvokeObject", 49, kFunc, "iir"},
      {"SaveCSVEnum", 51, kFunc, "iii"},
      {"ReadCSVEnum", 52, kFunc, "ir"},
      {"SaveCSVStrings", 53, kFunc, "iii"},
      {"ReadCSVStrings", 54, kFunc, "ir"},
  });
  return m;
}

const std::vector<Type>& ExpectedTypes() {
  static const std::vector<Type> types = {
      {"IKorvaneX", "{E4A7E558-8179-4AEF-9E6C-0E4FB08B3B62}", TKIND_DISPATCH,
       TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, "IKorvaneX Interface",
       {{"OpenPort", 1, kFunc, "ir"},
        {"ClosePort", 2, kFunc, "r"},
        {"SendCMD", 3, kFunc, "ir"},
        {"TryToRecv", 4, kFunc, "or"},
        {"TryToSend", 5, kFunc, "ir"},
        {"Buffer", 6, kGet, "r"},
        {"SendEOT", 7, kFunc, ""},
        {"EOF", 8, kGet, "r"},
        {"OpenIRDA", 9, kFunc, "ir"}}},
      {"IKorvaneX2", "{49EC5C21-3950-4B0E-BC57-2881FBD6E68E}", TKIND_DISPATCH, kDualFlags, "IKorvaneX2 Interface",
       {{"OpenPort", 1, kFunc, "ir"},
        {"OpenIRDA", 2, kFunc, "ir"},
        {"ClosePort", 3, kFunc, "r"},
        {"SendCMD", 4, kFunc, "ir"},
        {"TryToSend", 5, kFunc, "ir"},
        {"TryToRecv", 6, kFunc, "or"},
        {"SendEOT", 7, kFunc, "r"},
        {"EOF", 8, kGet, "r"},
        {"LibraryVersion", 9, kGet, "r"},
        {"ProtocolVersion", 10, kGet, "r"},
        {"IsTerminalOnline", 11, kFunc, "ir"},
        {"SelectProtocolVersion", 12, kFunc, "-r"},
        {"Buffer", 13, kGet, "r"}}},
      {"KorvaneX", "{0CC2E606-3A74-4E24-80DA-44433CCD97D6}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "KorvaneX Class", {},
       {"IKorvaneX default"}},
      {"KorvaneX2", "{375AF27A-80F6-4FBF-9813-B56CFAC12A18}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "KorvaneX2 Class",
       {}, {"IKorvaneX2 default"}},
      {"IOstrel", "{5235B983-45E8-40CB-8C66-5E67068A7784}", TKIND_DISPATCH, kDualFlags, "IOstrel Interface", kOstrel},
      {"IOstrel2", "{2B637B5F-F54C-45F6-B9B5-8F996B1F9B8E}", TKIND_DISPATCH, kDualFlags, "IOstrel2 Interface",
       Ostrel2Members()},
      {"_IOstrelEvents", "{7EB85289-DCF8-4FBD-B09B-1862757317F6}", TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE,
       "_IOstrelEvents Interface", {{"RowReceived", 1, kFunc, "--"}, {"RowSent", 2, kFunc, "--"}}},
      {"IOstrelStrings", "{BF98A03E-5ED1-4871-857C-3D4DB0F3E721}", TKIND_DISPATCH, kDualFlags,
       "IOstrelStrings Interface",
       {{"_NewEnum", DISPID_NEWENUM, kGet, "r", ""},
        {"Item", DISPID_VALUE, kGet, "ir", ""},
        {"Count", 1, kGet, "r", ""},
        {"Add", 2, kFunc, "-r"},
        {"Remove", 3, kFunc, "-r"},
        {"Enumerator", 4, kGet, "r"},
        {"Clear", 5, kFunc, ""}}},
      {"IEnumHelper", "{4C7A2EF7-AC68-42F1-9123-FF6C3B8F55C3}", TKIND_DISPATCH, kDualFlags, "IEnumHelper Interface",
       {{"_NewEnum", DISPID_NEWENUM, kGet, "r", "", FUNCFLAG_FRESTRICTED | FUNCFLAG_FHIDDEN},
        {"Attach", 1, kFunc, "i"},
        {"Detach", 2, kFunc, ""},
        {"AttachAsUntyped", 3, kFunc, "i"},
        {"Next", 4, kFunc, "r"},
        {"Skip", 5, kFunc, "i"},
        {"Reset", 6, kFunc, ""},
        {"Clone", 7, kFunc, "r"}}},
      {"Ostrel", "{C5259695-5430-4B25-90D1-0E3CE4D41B23}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "Ostrel Class", {},
       {"IOstrel default", "_IOstrelEvents default source"}},
      {"Ostrel2", "{A34D256E-E92F-4F8A-B109-1B90961254DB}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "Ostrel2 Class", {},
       {"IOstrel2 default", "_IOstrelEvents default source"}},
      {"OstrelStrings", "{30C3A186-8C39-448F-835E-22785AA9B493}", TKIND_COCLASS, TYPEFLAG_FCANCREATE,
       "OstrelStrings Class", {}, {"IOstrelStrings default"}},
      {"EnumHelper", "{469C073F-2E36-4953-BE42-8D79EF00EBF5}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "EnumHelper Class",
       {}, {"IEnumHelper default"}},
  };
  return types;
}

// Eleven text properties, DISPIDs from 1 in slot order.
std::vector<Member> PortDescMembers() {
  std::vector<Member> m;
  for (const char* name : {"Service", "DevicePath", "Vendor", "PortDesc", "Class", "ClassGUID", "Driver", "PDO",
                           "Location", "HardwareID", "InternalType"})
    m.push_back({name, static_cast<DISPID>(m.size() + 1), kGet, "r"});
  return m;
}

// The port enumeration objects.
std::vector<Type> PortEnumerationTypes() {
  const std::vector<Member> set = {{"EnumPorts", 1, kFunc, "r"},
                                   {"Count", 2, kGet, "r"},
                                   {"Item", 3, kFunc, "ir"},
                                   {"Init", 4, kFunc, ""},
                                   {"Destroy", 5, kFunc, ""}};
  const std::vector<Member> events = {{"NotifyDeviceChange", 1, kFunc, "--"}}, coclass;
  const std::vector<std::string> set_parts = {"IWCEPortSet default", "_IWCEPortSetEvents default source"};
  const std::vector<std::string> desc_parts = {"IWCEPortDesc default"};
  return {
      {"IWCEPortDesc", "{EB5F5366-EA44-47CB-9DA3-360C23BDFC24}", TKIND_DISPATCH, kDualFlags, "IWCEPortDesc Interface",
       PortDescMembers()},
      {"IWCEPortSet", "{DB60CFFB-B774-436C-9B68-3E11AB42C37B}", TKIND_DISPATCH, kDualFlags, "IWCEPortSet Interface",
       set},
      {"_IWCEPortSetEvents", "{BC1E1283-A82D-4C5C-9C9C-D847130A1DA1}", TKIND_DISPATCH, TYPEFLAG_FDISPATCHABLE,
       "_IWCEPortSetEvents Interface", events},
      {"WCEPortSet", "{75076B20-7A28-4EEA-AFCD-1FBD487464D3}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "WCEPortSet Class",
       coclass, set_parts},
      {"WCEPortDesc", "{33BADC6C-E752-4B1D-8B35-A0696F690D23}", TKIND_COCLASS, TYPEFLAG_FCANCREATE, "WCEPortDesc Class",
       coclass, desc_parts},
  };
}

// --- rendering: expected and found types become the same lines, so a failure shows both -------

std::string Hex(unsigned value) {
  char text[16];
  snprintf(text, sizeof text, "0x%X", value);
  return text;
}

std::string FlagWords(unsigned flags, const std::vector<std::pair<unsigned, const char*>>& names) {
  std::string s;
  for (const auto& [bit, name] : names) {
    if (flags & bit) {
      s += s.empty() ? "" : " ";
      s += name;
      flags &= ~bit;
    }
  }
  if (flags != 0) s += (s.empty() ? "" : " ") + Hex(flags);
  return s;
}

std::string TypeFlagWords(WORD flags) {
  return FlagWords(flags, {{TYPEFLAG_FCANCREATE, "cancreate"}, {TYPEFLAG_FHIDDEN, "hidden"}, {TYPEFLAG_FDUAL, "dual"},
                           {TYPEFLAG_FNONEXTENSIBLE, "nonextensible"}, {TYPEFLAG_FOLEAUTOMATION, "oleautomation"},
                           {TYPEFLAG_FRESTRICTED, "restricted"}, {TYPEFLAG_FAGGREGATABLE, "aggregatable"},
                           {TYPEFLAG_FDISPATCHABLE, "dispatchable"}});
}

std::string KindWord(TYPEKIND kind) {
  switch (kind) {
    case TKIND_INTERFACE: return "interface";
    case TKIND_DISPATCH: return "dispatch";
    case TKIND_COCLASS: return "coclass";
    default: return "kind " + std::to_string(kind);
  }
}

std::string InvokeWord(INVOKEKIND kind) {
  switch (kind) {
    case INVOKE_FUNC: return "method";
    case INVOKE_PROPERTYGET: return "get";
    case INVOKE_PROPERTYPUT: return "put";
    default: return "invoke " + std::to_string(kind);
  }
}

std::string TypeLine(const Type& t) {
  return t.name + " " + t.guid + " " + KindWord(t.kind) + " [" + TypeFlagWords(t.flags) + "] '" + t.help + "'";
}

// slot < 0: a dispinterface member, which has no vtable slot.
std::string MemberLine(const Member& m, int slot) {
  std::string help = m.help;
  if (help == kMethodOrProperty) help = (m.kind == INVOKE_FUNC ? "method " : "property ") + m.name;
  return m.name + " " + InvokeWord(m.kind) + " id=" + std::to_string(m.id) +
         (slot >= 0 ? " slot=" + std::to_string(slot) : "") + " (" + m.params + ") '" + help + "' [" +
         FlagWords(m.flags, {{FUNCFLAG_FRESTRICTED, "restricted"}, {FUNCFLAG_FHIDDEN, "hidden"}}) + "]";
}

using Lines = std::map<std::string, std::vector<std::string>>;  // per type name

Lines ExpectedLines() {
  Lines lines;
  std::vector<Type> types = ExpectedTypes();
  for (Type& t : PortEnumerationTypes()) types.push_back(std::move(t));
  for (const Type& t : types) {
    auto& out = lines[t.name];
    const bool dual = t.flags & TYPEFLAG_FDUAL;
    // A dual keeps oleautomation on its vtable side; its dispatch side is automation by nature.
    Type listed = t;
    if (dual) listed.flags &= ~TYPEFLAG_FOLEAUTOMATION;
    out.push_back(TypeLine(listed));
    if (t.kind == TKIND_COCLASS) {
      for (const auto& impl : t.implemented) out.push_back("implements " + impl);
      continue;
    }
    out.push_back("base IDispatch");
    if (dual) out.push_back("vtable interface [" + TypeFlagWords(t.flags) + "]");
    for (size_t i = 0; i < t.members.size(); ++i)
      out.push_back(MemberLine(t.members[i], dual ? kDispatchSlots + static_cast<int>(i) : -1));
  }
  return lines;
}

// --- reading a type library ----------------------------------------------------------------------

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw std::runtime_error(std::string(what) + " failed: " + Hex(hr));
}

struct Releaser {
  void operator()(IUnknown* p) const { p->Release(); }
};
template <class T>
using Com = std::unique_ptr<T, Releaser>;

std::string Narrow(BSTR s) {
  std::string out;
  for (UINT i = 0; s && i < SysStringLen(s); ++i) out += s[i] < 0x80 ? static_cast<char>(s[i]) : '?';
  return out;
}

std::string GuidText(const GUID& guid) {
  OLECHAR text[40];
  StringFromGUID2(guid, text, 40);
  std::string out;
  for (const OLECHAR* p = text; *p; ++p) out += static_cast<char>(*p);
  return out;
}

// Name and help string of a member (MEMBERID_NIL: of the type itself).
std::pair<std::string, std::string> Documentation(ITypeInfo* info, MEMBERID id) {
  BSTR name = nullptr, help = nullptr;
  Check(info->GetDocumentation(id, &name, &help, nullptr, nullptr), "GetDocumentation");
  std::pair<std::string, std::string> doc{Narrow(name), Narrow(help)};
  SysFreeString(name);
  SysFreeString(help);
  return doc;
}

Com<ITypeInfo> RefType(ITypeInfo* info, int impl_index) {
  HREFTYPE ref = 0;
  Check(info->GetRefTypeOfImplType(impl_index, &ref), "GetRefTypeOfImplType");
  ITypeInfo* raw = nullptr;
  Check(info->GetRefTypeInfo(ref, &raw), "GetRefTypeInfo");
  return Com<ITypeInfo>(raw);
}

template <class F>
void WithAttr(ITypeInfo* info, F f) {
  TYPEATTR* attr = nullptr;
  Check(info->GetTypeAttr(&attr), "GetTypeAttr");
  f(*attr);
  info->ReleaseTypeAttr(attr);
}

char Direction(USHORT flags) {
  const USHORT in = PARAMFLAG_FIN, out = PARAMFLAG_FOUT, retval = PARAMFLAG_FRETVAL;
  if (flags & ~(in | out | retval)) return '?';
  if (flags == (out | retval)) return 'r';
  if (flags == (in | out)) return 'x';
  if (flags == out) return 'o';
  if (flags == in) return 'i';
  return flags == 0 ? '-' : '?';
}

std::vector<std::string> MemberLines(ITypeInfo* info, bool vtable) {
  std::vector<std::string> lines;
  WORD count = 0;
  WithAttr(info, [&](const TYPEATTR& a) { count = a.cFuncs; });
  for (UINT i = 0; i < count; ++i) {
    FUNCDESC* f = nullptr;
    Check(info->GetFuncDesc(i, &f), "GetFuncDesc");
    Member m{"", f->memid, f->invkind, "", "", f->wFuncFlags};
    for (SHORT p = 0; p < f->cParams; ++p) m.params += Direction(f->lprgelemdescParam[p].paramdesc.wParamFlags);
    // Offsets come in this process's pointer size whatever the library's: the loader scales a
    // 32-bit library's offsets, so the slot index is the same for both builds.
    const int slot = vtable ? f->oVft / static_cast<int>(sizeof(void*)) : -1;
    info->ReleaseFuncDesc(f);
    std::tie(m.name, m.help) = Documentation(info, m.id);
    lines.push_back(MemberLine(m, slot));
  }
  return lines;
}

std::vector<std::string> TypeLines(ITypeInfo* info) {
  Type t;
  std::tie(t.name, t.help) = Documentation(info, MEMBERID_NIL);
  WORD impl_count = 0;
  WithAttr(info, [&](const TYPEATTR& a) {
    t.guid = GuidText(a.guid);
    t.kind = a.typekind;
    t.flags = a.wTypeFlags;
    impl_count = a.cImplTypes;
  });
  std::vector<std::string> lines{TypeLine(t)};
  if (t.kind == TKIND_COCLASS) {
    for (UINT i = 0; i < impl_count; ++i) {
      INT impl_flags = 0;
      Check(info->GetImplTypeFlags(i, &impl_flags), "GetImplTypeFlags");
      lines.push_back("implements " + Documentation(RefType(info, i).get(), MEMBERID_NIL).first + " " +
                      FlagWords(impl_flags, {{IMPLTYPEFLAG_FDEFAULT, "default"}, {IMPLTYPEFLAG_FSOURCE, "source"}}));
    }
    return lines;
  }
  lines.push_back("base " + (impl_count ? Documentation(RefType(info, 0).get(), MEMBERID_NIL).first : "none"));
  if (!(t.flags & TYPEFLAG_FDUAL)) {
    auto members = MemberLines(info, false);
    lines.insert(lines.end(), members.begin(), members.end());
    return lines;
  }
  // The members' slots are on the vtable side of the dual.
  Com<ITypeInfo> vtable = RefType(info, -1);
  WithAttr(vtable.get(), [&](const TYPEATTR& a) {
    lines.push_back("vtable " + KindWord(a.typekind) + " [" + TypeFlagWords(a.wTypeFlags) + "]");
  });
  auto members = MemberLines(vtable.get(), true);
  lines.insert(lines.end(), members.begin(), members.end());
  return lines;
}

struct Library {
  std::string libid, name;
  WORD major = 0, minor = 0;
  LCID lcid = 0;
  SYSKIND syskind{};
  Lines types;
};

Library Read(const wchar_t* path) {
  ITypeLib* raw = nullptr;
  Check(LoadTypeLibEx(path, REGKIND_NONE, &raw), "LoadTypeLibEx");
  Com<ITypeLib> lib(raw);
  Library out;
  TLIBATTR* attr = nullptr;
  Check(lib->GetLibAttr(&attr), "GetLibAttr");
  out.libid = GuidText(attr->guid);
  out.major = attr->wMajorVerNum;
  out.minor = attr->wMinorVerNum;
  out.lcid = attr->lcid;
  out.syskind = attr->syskind;
  lib->ReleaseTLibAttr(attr);
  BSTR name = nullptr;
  Check(lib->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), "GetDocumentation");
  out.name = Narrow(name);
  SysFreeString(name);
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ITypeInfo* raw_info = nullptr;
    Check(lib->GetTypeInfo(i, &raw_info), "GetTypeInfo");
    Com<ITypeInfo> info(raw_info);
    out.types[Documentation(info.get(), MEMBERID_NIL).first] = TypeLines(info.get());
  }
  return out;
}

void ExpectSameTypes(const Lines& want, const Lines& got) {
  for (const auto& [name, want_lines] : want) {
    auto found = got.find(name);
    if (found == got.end()) {
      ADD_FAILURE() << "type " << name << " is missing";
      continue;
    }
    const auto& got_lines = found->second;
    for (size_t i = 0; i < std::max(want_lines.size(), got_lines.size()); ++i)
      EXPECT_EQ(i < want_lines.size() ? want_lines[i] : "(nothing)", i < got_lines.size() ? got_lines[i] : "(nothing)")
          << name << ", line " << i;
  }
  for (const auto& entry : got)
    if (!want.count(entry.first)) ADD_FAILURE() << "unexpected type " << entry.first;
}

bool FileExists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

const wchar_t kDll64[] = L"" KORVANE_DLL_X64;
const wchar_t kDll32[] = L"" KORVANE_DLL_X86;

TEST(ComTypeLib, MatchesTheContract) {
  const Library lib = Read(kDll64);
  EXPECT_EQ(lib.libid, kLibId);
  EXPECT_EQ(lib.name, "Korvane");
  EXPECT_EQ(lib.major, 1);
  EXPECT_EQ(lib.minor, 0);
  // Language-neutral: a library registered for 1033 only is not found for other locales.
  EXPECT_EQ(lib.lcid, 0u);
  EXPECT_EQ(lib.syskind, SYS_WIN64);
  ExpectSameTypes(ExpectedLines(), lib.types);
}

TEST(ComTypeLib, ThirtyTwoBitBuildDescribesTheSame) {
  ASSERT_TRUE(FileExists(kDll32)) << "no 32-bit korvane.dll at " << KORVANE_DLL_X86
                                  << ": build it with the windows-x86 preset (scripts/test.sh does so first)";
  const Library lib32 = Read(kDll32);
  const Library lib64 = Read(kDll64);
  EXPECT_EQ(lib32.syskind, SYS_WIN32);
  EXPECT_EQ(lib32.libid, lib64.libid);
  EXPECT_EQ(lib32.name, lib64.name);
  EXPECT_EQ(lib32.major, lib64.major);
  EXPECT_EQ(lib32.minor, lib64.minor);
  EXPECT_EQ(lib32.lcid, lib64.lcid);
  ExpectSameTypes(lib64.types, lib32.types);
}

}  // namespace
