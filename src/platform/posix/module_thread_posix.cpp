#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/module_thread.h"

namespace korvane {

ModuleThread::~ModuleThread() { Detach(); }

bool ModuleThread::Start(std::function<void()> body, uint32_t& err) noexcept {
  Detach();
  try {
    handle_ = new std::thread([body = std::move(body)] {
      try {
        body();
      } catch (...) {
        // Nothing may leave a thread: the process would end.
      }
    });
  } catch (const std::system_error& e) {
    err = SystemErrorFromErrno(e.code().value(), ErrnoSite::kIo);
    return false;
  } catch (...) {
    err = kErrNotEnoughMemory;
    return false;
  }
  err = 0;
  return true;
}

void ModuleThread::Join() noexcept {
  auto* thread = static_cast<std::thread*>(handle_);
  handle_ = nullptr;
  if (!thread) return;
  try {
    thread->join();
  } catch (...) {
  }
  delete thread;
}

void ModuleThread::Detach() noexcept {
  auto* thread = static_cast<std::thread*>(handle_);
  handle_ = nullptr;
  if (!thread) return;
  try {
    thread->detach();
  } catch (...) {
  }
  delete thread;
}

}  // namespace korvane
