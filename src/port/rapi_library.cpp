#include "port/rapi_library.h"

namespace korvane {

namespace {

class SystemRapiLoader final : public RapiLoader {
 public:
  bool Load() override { return LoadSystemRapi(); }
  void Resolve(RapiEntryPoints& table) override { ResolveSystemRapi(table); }
  void Unload() override { UnloadSystemRapi(); }
};

SystemRapiLoader g_system_loader;
RapiLoader* g_loader = &g_system_loader;

}  // namespace

RapiLoader& CurrentRapiLoader() { return *g_loader; }

void SetRapiLoader(RapiLoader* loader) { g_loader = loader ? loader : &g_system_loader; }

bool RapiLibrary::Load() {
  if (loader_) return true;
  RapiLoader& loader = CurrentRapiLoader();
  if (!loader.Load()) return false;
  loader.Resolve(api_);
  if (!api_.Complete()) {
    loader.Unload();
    api_ = {};
    return false;
  }
  loader_ = &loader;
  return true;
}

void RapiLibrary::Unload() {
  if (loader_) loader_->Unload();
  loader_ = nullptr;
  api_ = {};
}

RapiLibrary& ProcessRapiLibrary() {
  static RapiLibrary library;
  return library;
}

void RapiConnection::Release() {
  const RapiEntryPoints& api = library_.Api();
  if (initialised_ && library_.Loaded()) {
    if (key_) api.CeRegCloseKey(key_);
    api.CeRapiUninit();
  }
  key_ = nullptr;
  initialised_ = false;
  library_.Unload();
}

}  // namespace korvane
