#include <dlfcn.h>
#include <grp.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/dynamic_library.h"
#include "platform/errors.h"
#include "platform/settings.h"
#include "platform/setup_api.h"

namespace korvane {

DynamicLibrary::~DynamicLibrary() { Unload(); }

bool DynamicLibrary::Load(const std::string& name) {
  Unload();
  handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const { return handle_ ? ::dlsym(handle_, name) : nullptr; }

void DynamicLibrary::Unload() {
  if (handle_) ::dlclose(handle_);
  handle_ = nullptr;
}

std::string SerialOpenErrorHint(const std::string& name, uint32_t err) {
  if (err != kErrNoPermission) return {};
  // Only a group that may read and write the device is worth joining; root's group never is.
  constexpr gid_t kRootGroup = 0;
  struct stat st{};
  if (::stat(name.c_str(), &st) != 0 || st.st_gid == kRootGroup) return {};
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return {};
  const struct group* g = ::getgrgid(st.st_gid);
  if (g == nullptr || g->gr_name == nullptr || *g->gr_name == 0) return {};
  const std::string group_name = g->gr_name;
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "Нет прав на доступ к порту %s: устройство принадлежит группе %s. "
                "Добавьте пользователя в эту группу (usermod -aG %s ИМЯ) и войдите в систему заново",
                name.c_str(), group_name.c_str(), group_name.c_str());
  return buf;
}

std::unique_ptr<SettingsStore> OpenUserRegistryKey(const std::string&) {
  return std::make_unique<MemorySettings>();
}

ProfileStore& SystemProfile(const std::string&) {
  static MemoryProfile* profile = new MemoryProfile;
  return *profile;
}

// No device-setup library here: the USB enumeration reads the kernel's device tree instead.
const SetupApi* SystemSetupApi() { return nullptr; }

}  // namespace korvane
