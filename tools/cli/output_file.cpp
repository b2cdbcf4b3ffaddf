// What OutputFile does the same way everywhere; the files themselves are opened by the platform's
// half (output_file_posix.cpp, output_file_win32.cpp).
#include "output_file.h"

#include <cerrno>

#include "output_file_platform.h"

namespace korvane::tools {

OutputFile::~OutputFile() { Close(); }

bool OutputFile::Open(const std::string& path) {
  Close();
  Forget();
  existed_ = false;
  if (path.empty() || path == "-") {
    file_ = stdout;
    owns_ = false;
    return true;
  }
  return OpenNamed(path);
}

bool OutputFile::Close() {
  if (file_ == nullptr) return true;
  bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
  int e = errno;
  if (owns_ && std::fclose(file_) != 0) {
    ok = false;
    e = errno;
  }
  errno = e;
  file_ = nullptr;
  owns_ = false;
  return ok;
}

bool OutputFile::Commit() {
  if (!Close()) return false;
  if (temp_path_.empty()) return true;
  if (!RenameOver(temp_path_, target_)) return false;
  Forget();
  return true;
}

void OutputFile::Discard() {
  Close();
  if (!temp_path_.empty()) RemovePath(temp_path_);
  Forget();
}

void OutputFile::Keep() { Forget(); }

void OutputFile::Forget() {
  if (!temp_path_.empty()) RemoveOnSignal(signal_slot_, {});
  temp_path_.clear();
}

}  // namespace korvane::tools
