// Libraries loaded at run time (winusb.dll, wtsapi32.dll, rapi.dll).
#pragma once
#include <string>

namespace korvane {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  bool Load(const std::string& name);
  void* Symbol(const char* name) const;
  bool Loaded() const { return handle_ != nullptr; }
  void Unload();

 private:
  void* handle_ = nullptr;
};

}  // namespace korvane
