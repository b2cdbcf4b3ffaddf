// Rows done of total, rate and elapsed time on stderr while a table moves; drawn only on a
// terminal, at most a few times a second.
#pragma once
#include <chrono>
#include <cstdio>
#include <string>

#include "link/terminal_link.h"

namespace korvane::tools {

class ProgressBar final : public _CAbsRecvSendEvents {
 public:
  // `enabled` false makes every call a no-op (quiet mode, stderr not a terminal).
  ProgressBar(std::string label, bool enabled, FILE* out = stderr);
  ~ProgressBar();

  void RowReceived(long nReceived, long nCount) override { Update(nReceived, nCount); }
  void RowSent(long nSent, long nCount) override { Update(nSent, nCount); }
  // Draws the final state and ends the line.
  void Finish();
  long Done() const { return done_; }

  // The line drawn for a state; public so its format can be tested without a terminal.
  static std::string Line(const std::string& label, long done, long total, double elapsed_s);

 private:
  void Update(long done, long total);
  void Draw();

  std::string label_;
  bool enabled_;
  FILE* out_;
  long done_ = 0;
  long total_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace korvane::tools
