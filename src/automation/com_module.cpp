#include "automation/com_module.h"

#include <map>
#include <mutex>
#include <vector>

namespace korvane::com {

namespace {

std::atomic<long> g_module_count{0};
HMODULE g_module = nullptr;

constexpr UINT kTypeLibResource = 1;

HMODULE ModuleOfThisCode() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleOfThisCode), &module);
  return module;
}

struct TypeInfoCache {
  std::mutex lock;
  ITypeLib* library = nullptr;  // kept until the process ends
  std::map<GUID, ITypeInfo*, bool (*)(const GUID&, const GUID&)> infos{
      [](const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) < 0; }};
};

TypeInfoCache& Cache() {
  static TypeInfoCache* cache = new TypeInfoCache;  // never destroyed: no COM calls at unload
  return *cache;
}

}  // namespace

HMODULE ModuleHandle() { return g_module ? g_module : ModuleOfThisCode(); }

void SetModuleHandleFromDllMain(HMODULE module) { g_module = module; }

std::wstring ModulePath() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(ModuleHandle(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A full buffer may hold a cut path: grow until the path fits.
    if (n < buffer.size() - 1) return std::wstring(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

void ModuleAddRef() { g_module_count.fetch_add(1); }
void ModuleRelease() { g_module_count.fetch_sub(1); }
long ModuleCount() { return g_module_count.load(); }

HRESULT LoadEmbeddedTypeLib(ITypeLib** lib) {
  const std::wstring path = ModulePath();
  if (path.empty()) return E_FAIL;
  // "path\1" names the resource explicitly.
  const std::wstring resource = path + L"\\" + std::to_wstring(kTypeLibResource);
  return ::LoadTypeLibEx(resource.c_str(), REGKIND_NONE, lib);
}

ITypeInfo* TypeInfoOf(REFIID iid, HRESULT* hr) {
  TypeInfoCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.lock);
  if (auto it = cache.infos.find(iid); it != cache.infos.end()) {
    if (hr) *hr = S_OK;
    return it->second;
  }
  HRESULT result = S_OK;
  if (!cache.library) result = LoadEmbeddedTypeLib(&cache.library);
  ITypeInfo* info = nullptr;
  if (SUCCEEDED(result)) result = cache.library->GetTypeInfoOfGuid(iid, &info);
  if (hr) *hr = result;
  if (FAILED(result)) return nullptr;
  cache.infos.emplace(iid, info);
  return info;
}

}  // namespace korvane::com
