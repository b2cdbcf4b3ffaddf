#include "progress.h"

#include <cstdio>

namespace korvane::tools {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;
constexpr int kSecondsPerMinute = 60;

}  // namespace

ProgressBar::ProgressBar(std::string label, bool enabled, FILE* out)
    : label_(std::move(label)), enabled_(enabled), out_(out), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { Finish(); }

std::string ProgressBar::Line(const std::string& label, long done, long total, double elapsed_s) {
  char buf[256];
  const double rate = elapsed_s > 0 ? done / elapsed_s : 0.0;
  const long secs = static_cast<long>(elapsed_s);
  std::string bar;
  if (total > 0) {
    long filled = done >= total ? kBarWidth : done * kBarWidth / total;
    bar = "[" + std::string(static_cast<size_t>(filled), '#') +
          std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] ";
    std::snprintf(buf, sizeof buf, "%s%ld/%ld rows", bar.c_str(), done, total);
  } else {
    std::snprintf(buf, sizeof buf, "%ld rows", done);
  }
  std::string line = label + " " + buf;
  std::snprintf(buf, sizeof buf, "  %.0f rows/s  %ld:%02ld", rate, secs / kSecondsPerMinute, secs % kSecondsPerMinute);
  return line + buf;
}

void ProgressBar::Update(long done, long total) {
  done_ = done;
  total_ = total;
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - last_draw_ < kRedrawInterval && !(total > 0 && done >= total)) return;
  last_draw_ = now;
  Draw();
}

void ProgressBar::Draw() {
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // \r and clear-to-end-of-line, so a shorter line leaves no tail behind.
  std::fprintf(out_, "\r%s\x1b[K", Line(label_, done_, total_, elapsed).c_str());
  std::fflush(out_);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (!enabled_) return;
  Draw();
  std::fputc('\n', out_);
  std::fflush(out_);
  enabled_ = false;
}

}  // namespace korvane::tools
