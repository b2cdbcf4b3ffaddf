#include "support/temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace korvane::test {

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}
void UnsetEnv(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

TempDir::TempDir() {
  static std::atomic<unsigned> serial{0};
  std::random_device rd;
  std::ostringstream name;
  name << "korvane-test-" << rd() << "-" << serial++;
  auto p = std::filesystem::temp_directory_path() / name.str();
  std::filesystem::create_directories(p);
  path_ = p.string();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::File(const std::string& name) const {
  return (std::filesystem::path(path_) / name).string();
}

ScopedLogDir::ScopedLogDir(const std::string& dir) {
  if (const char* p = std::getenv("KORVANE_LOG_DIR")) {
    had_previous_ = true;
    previous_ = p;
  }
  SetEnv("KORVANE_LOG_DIR", dir);
}

ScopedLogDir::~ScopedLogDir() {
  if (had_previous_)
    SetEnv("KORVANE_LOG_DIR", previous_);
  else
    UnsetEnv("KORVANE_LOG_DIR");
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
}

}  // namespace korvane::test
