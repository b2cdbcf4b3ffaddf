// The docking remote API as the kind-5 open uses it: the library loaded on demand (one for the
// process) and one connection's start and key, given back together.
#pragma once
#include "platform/remote_api.h"

namespace korvane {

// Where the library's entry points come from: the system's rapi.dll, or a test's fake.
class RapiLoader {
 public:
  virtual ~RapiLoader() = default;
  virtual bool Load() = 0;
  // Fills `table` by name; names the library lacks stay null.
  virtual void Resolve(RapiEntryPoints& table) = 0;
  virtual void Unload() = 0;
};

RapiLoader& CurrentRapiLoader();
// A test's loader in place of the system's; null gives the system's back. Never during an open.
void SetRapiLoader(RapiLoader* loader);

class RapiLibrary {
 public:
  // Loads once; an incomplete library is given back and nothing stays loaded.
  bool Load();
  void Unload();
  bool Loaded() const { return loader_ != nullptr; }
  const RapiEntryPoints& Api() const { return api_; }

 private:
  RapiEntryPoints api_;
  RapiLoader* loader_ = nullptr;  // the one that loaded it unloads it
};

RapiLibrary& ProcessRapiLibrary();

// One connect attempt's hold on the remote API; released (and the library unloaded) when it goes.
class RapiConnection {
 public:
  explicit RapiConnection(RapiLibrary& library) : library_(library) {}
  ~RapiConnection() { Release(); }
  RapiConnection(const RapiConnection&) = delete;
  RapiConnection& operator=(const RapiConnection&) = delete;

  void SetInitialised() { initialised_ = true; }
  bool Initialised() const { return initialised_; }
  RapiHandle& Key() { return key_; }
  // Closes the device key, stops the remote API and unloads the library.
  void Release();

 private:
  RapiLibrary& library_;
  bool initialised_ = false;
  RapiHandle key_ = nullptr;
};

}  // namespace korvane
