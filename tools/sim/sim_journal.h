// The simulator's journal: one line per command and parameter record the library sent, one per
// table uploaded and one per session, so tests and people can see what reached the terminal.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace korvane::sim {

class SimJournal {
 public:
  SimJournal() = default;
  ~SimJournal();
  SimJournal(const SimJournal&) = delete;
  SimJournal& operator=(const SimJournal&) = delete;

  // An empty name keeps the journal off (the tracking still runs).
  bool Open(const std::string& file_name);
  void Session(uint32_t number);
  // One message from the library (SOH + code, or RS + text).
  void OnMessage(const std::string& message);
  // A line of the simulator's own (session end, faults).
  void Note(const std::string& text);

  // Control bytes and the backslash written as \xNN, so one message stays one line.
  static std::string Escape(const std::string& text);

 private:
  void Line(const std::string& text);

  FILE* file_ = nullptr;
  std::string parameter_for_;  // command whose parameter record comes next
  int32_t upload_kind_ = -1;
  uint64_t upload_rows_ = 0;
};

}  // namespace korvane::sim
