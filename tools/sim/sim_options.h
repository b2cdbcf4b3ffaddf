// Options of korvane-sim, parsed apart from main so they can be tested.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "line_filter.h"

namespace korvane::sim {

enum class SimProtocol { kV1, kV2, kV2Large, kV3 };

struct SimOptions {
  std::string listen;  // HOST:PORT, or empty
  bool pty = false;
  std::string pty_link;
  std::string device;        // an existing serial device or pty to play on, or empty
  std::string connect_back;  // the file that receives the PC's connect-back value, or empty
  SimProtocol protocol = SimProtocol::kV3;
  std::string data_dir;
  std::string journal;
  std::string charset = "CP1251";  // the terminal's; texts from the command line are converted to it

  // Terminal state; unset ones keep the terminal side's defaults.
  std::optional<int32_t> job;
  std::optional<int32_t> ready_state;
  std::optional<std::string> ready_text;
  std::optional<std::string> verdict;
  std::optional<std::string> program_name, program_version;
  std::optional<std::string> device_name, device_id;  // --model
  std::optional<int32_t> lines_count;
  std::optional<std::string> unsolicited;  // a record sent on its own after the identity answers

  LineFaults faults;
  int32_t nak_code = 0;  // 0: none

  double timeout_s = 0;  // 0: no limit
  bool once = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

std::optional<SimOptions> ParseSimOptions(const std::vector<std::string>& argv, std::string& error);
std::string SimHelp();
// What to say at start when the journals differ in row count (empty when they agree): the
// row-count query names no table, so one of them cannot be downloaded.
std::string JournalCountWarning(size_t journal_rows, size_t journal2_rows);
// The SYN version a terminal of this protocol answers with.
uint16_t SynVersion(SimProtocol p);

}  // namespace korvane::sim
