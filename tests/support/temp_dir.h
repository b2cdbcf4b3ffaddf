// A fresh folder for one test, removed with everything in it at the end.
#pragma once
#include <filesystem>
#include <string>

namespace korvane::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path of `name` inside the folder, with this build's separator.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

// Sets KORVANE_LOG_DIR for the life of the object (the log writers read it on every line).
class ScopedLogDir {
 public:
  explicit ScopedLogDir(const std::string& dir);
  ~ScopedLogDir();

 private:
  std::string previous_;
  bool had_previous_ = false;
};

// The process environment, on both builds.
void SetEnv(const char* name, const std::string& value);
void UnsetEnv(const char* name);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

}  // namespace korvane::test
