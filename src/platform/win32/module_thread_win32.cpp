#include <windows.h>

#include <memory>
#include <new>

#include "platform/errors.h"
#include "platform/module_thread.h"

namespace korvane {

namespace {

struct StartRecord {
  std::function<void()> body;
  HMODULE module;
};

DWORD WINAPI ModuleThreadMain(void* parameter) {
  HMODULE module;
  {
    std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(parameter));
    module = start->module;
    try {
      start->body();
    } catch (...) {
      // Nothing may leave a thread: the process would end.
    }
  }
  // Does not return: nothing of this module runs once its reference is given back.
  ::FreeLibraryAndExitThread(module, 0);
  return 0;
}

}  // namespace

ModuleThread::~ModuleThread() { Detach(); }

bool ModuleThread::Start(std::function<void()> body, uint32_t& err) noexcept {
  Detach();
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModuleThreadMain)), &module)) {
    err = ::GetLastError();
    return false;
  }
  auto* start = new (std::nothrow) StartRecord{std::move(body), module};
  if (!start) {
    ::FreeLibrary(module);
    err = kErrNotEnoughMemory;
    return false;
  }
  HANDLE thread = ::CreateThread(nullptr, 0, &ModuleThreadMain, start, 0, nullptr);
  if (!thread) {
    err = ::GetLastError();
    delete start;
    ::FreeLibrary(module);
    return false;
  }
  handle_ = thread;
  err = 0;
  return true;
}

void ModuleThread::Join() noexcept {
  if (!handle_) return;
  ::WaitForSingleObject(handle_, INFINITE);
  ::CloseHandle(handle_);
  handle_ = nullptr;
}

void ModuleThread::Detach() noexcept {
  if (handle_) ::CloseHandle(handle_);
  handle_ = nullptr;
}

}  // namespace korvane
