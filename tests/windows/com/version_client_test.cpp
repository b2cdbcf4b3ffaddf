// The version resources of the korvane.dll that COM loads and of the tools beside it: the build's
// version, while LibraryVersion keeps the objects' own fixed text.
#include <vector>

#include "client_common.h"
#include "korvane_version.h"

namespace korvane::comtest {
namespace {

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)); }

// The version resource of the file at `path`: the build's version, its type and its own name.
void ExpectBuildVersion(const std::wstring& path, DWORD file_type, const std::wstring& file_name) {
  SCOPED_TRACE(std::string(path.begin(), path.end()));
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD high = MAKELONG(KORVANE_VERSION_MINOR, KORVANE_VERSION_MAJOR), low = MAKELONG(0, KORVANE_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, file_type);

  const struct {
    const wchar_t* name;
    std::wstring want;
  } strings[] = {{L"ProductVersion", Widen(KORVANE_VERSION)},
                 {L"FileVersion", Widen(KORVANE_VERSION_QUAD)},
                 {L"OriginalFilename", file_name},
                 {L"ProductName", L"Korvane"}};
  for (const auto& s : strings) {
    wchar_t* text = nullptr;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.name;
    ASSERT_TRUE(::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length)) << s.name;
    EXPECT_EQ(std::wstring(text), s.want) << s.name;
  }
}

TEST_F(ComClient, VersionResourceIsTheBuildsVersion) {
  ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2");
  ASSERT_TRUE(o);
  EXPECT_EQ(Text(o.Get(), &IOstrel2::get_LibraryVersion), "4.2.2.0");
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(::GetModuleHandleW(L"korvane.dll"), path, MAX_PATH), 0u);
  ExpectBuildVersion(path, VFT_DLL, L"korvane.dll");
}

// The tools carry the same version as the DLL beside them.
TEST(ToolVersion, ResourcesAreTheBuildsVersion) {
  for (const wchar_t* tool : {L"korvane.exe", L"korvane-sim.exe"})
    ExpectBuildVersion(Widen(KORVANE_BIN "\\") + tool, VFT_APP, tool);
}

}  // namespace
}  // namespace korvane::comtest
