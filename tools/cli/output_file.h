// Where the tools put what they write: standard descriptors that are surely open, output files
// replaced whole or written in place as their kind demands, and partial files that a signal
// removes. Also the checks of named files made before any port is opened.
#pragma once
#include <cstdio>
#include <string>

namespace korvane::tools {

// Opens /dev/null onto each of descriptors 0-2 that is closed, so that a port opened later never
// takes one of their numbers (and rows or messages never go down the link). False if it cannot.
bool EnsureStandardDescriptors();

// On SIGINT, SIGTERM, SIGHUP and SIGPIPE the partial files of the open OutputFiles are removed before
// the process dies of the signal.
void InstallInterruptCleanup();

// Why `path` cannot take output, empty when it can: a folder, a missing folder, no permission.
// `append`: the file is appended to in place (a log), not replaced.
std::string OutputPathProblem(const std::string& path, bool append);
// Why `path` cannot be read as an input file, empty when it can. `read_twice`: the file is read
// once to count its rows and again to send them, so it must be a regular file.
std::string InputPathProblem(const std::string& path, bool read_twice);
// Why new files cannot be made in `folder` (empty: they can), checked before any port opens.
std::string FolderProblem(const std::string& folder);
// True when both names lead to one existing file (same device and inode).
bool SameFile(const std::string& a, const std::string& b);

// Names are the tools' own text (the locale's charset; UTF-8 on Windows, opened there by their
// wide form so any name works).
FILE* OpenNamedFile(const std::string& path, const char* mode);
bool IsFolder(const std::string& path);
// Creates the folder; true when it exists afterwards.
bool MakeFolder(const std::string& path);
// Empties an open file.
bool TruncateFile(FILE* file);
// A file or port name as the library passes it to the system: unchanged, or on Windows in the ANSI
// code page of the library's narrow system calls.
std::string SystemName(const std::string& name);

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // "" or "-" is standard output. Symbolic links are followed to their target. A regular or
  // missing target gets a temporary file beside it, renamed over it by Commit with the old file's
  // mode; any other target (a device, a pipe) is written in place. False with errno set.
  bool Open(const std::string& path);
  FILE* Stream() const { return file_; }
  // Flushes and closes (standard output is only flushed); false when that failed.
  bool Close();
  // Close, then the temporary file replaces the target; false (errno set) when either failed, the
  // temporary file then still holds what was written.
  bool Commit();
  // Close and remove the temporary file.
  void Discard();
  // Leaves the temporary file where it is (its name was given to the user): no signal removes it.
  void Keep();
  // The temporary file until Commit, else empty.
  const std::string& PartialPath() const { return temp_path_; }
  // Whether the target existed when Open ran.
  bool TargetExisted() const { return existed_; }

 private:
  // Open of a named file (the platform's half).
  bool OpenNamed(const std::string& path);
  void Forget();

  FILE* file_ = nullptr;
  bool owns_ = false;
  bool existed_ = false;
  std::string target_;
  std::string temp_path_;
  int signal_slot_ = -1;  // where a signal finds temp_path_
};

}  // namespace korvane::tools
