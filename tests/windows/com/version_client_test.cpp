// The version resource of the korvane.dll that COM loads: the build's version, while LibraryVersion
// keeps the objects' own fixed text.
#include <vector>

#include "client_common.h"
#include "korvane_version.h"

namespace korvane::comtest {
namespace {

std::wstring Widen(const char* ascii) { return std::wstring(ascii, ascii + std::char_traits<char>::length(ascii)); }

TEST_F(ComClient, VersionResourceIsTheBuildsVersion) {
  ComPtr<IOstrel2> o = Create<IOstrel2>(L"Zyl.Ostrel2");
  ASSERT_TRUE(o);
  EXPECT_EQ(Text(o.Get(), &IOstrel2::get_LibraryVersion), "4.2.2.0");
  wchar_t path[MAX_PATH] = {};
  ASSERT_GT(::GetModuleFileNameW(::GetModuleHandleW(L"korvane.dll"), path, MAX_PATH), 0u);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<BYTE> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(path, 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  const DWORD high = MAKELONG(KORVANE_VERSION_MINOR, KORVANE_VERSION_MAJOR), low = MAKELONG(0, KORVANE_VERSION_PATCH);
  EXPECT_EQ(fixed->dwFileVersionMS, high);
  EXPECT_EQ(fixed->dwFileVersionLS, low);
  EXPECT_EQ(fixed->dwProductVersionMS, high);
  EXPECT_EQ(fixed->dwProductVersionLS, low);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  const struct {
    const wchar_t* name;
    std::wstring want;
  } strings[] = {{L"ProductVersion", Widen(KORVANE_VERSION)},
                 {L"FileVersion", Widen(KORVANE_VERSION_QUAD)},
                 {L"OriginalFilename", L"korvane.dll"},
                 {L"ProductName", L"Korvane"}};
  for (const auto& s : strings) {
    wchar_t* text = nullptr;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + s.name;
    ASSERT_TRUE(::VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length)) << s.name;
    EXPECT_EQ(std::wstring(text), s.want) << s.name;
  }
}

}  // namespace
}  // namespace korvane::comtest
