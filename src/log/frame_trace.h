// The frame trace for support: every frame (v2, v3) or block (1.00) that crossed the wire, one
// line each, with its decoded header and its bytes in hex. Switched on by naming a file (the
// tool's --trace, or KORVANE_TRACE for an application that loads the library). Apart from the
// wire dump, which keeps the engines' own words.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

inline constexpr const char* kFrameTraceEnvironment = "KORVANE_TRACE";

// Directions on the line, as written in the trace.
inline constexpr char kTraceSent = '>';
inline constexpr char kTraceReceived = '<';

// Starts tracing into `path` (appended, created if missing) and writes a first comment line;
// false when the file cannot be written, and then nothing is traced.
bool OpenFrameTrace(const std::string& path);
// Takes the file from KORVANE_TRACE if set; touches no file (safe while a library is loading).
void OpenFrameTraceFromEnvironment();
void CloseFrameTrace();
bool FrameTraceOn();

// One decoded unit. `unit`: frame, block or bytes (noise, or a partial unit left at close);
// `number` < 0 for none; `check`: crc-ok, crc-bad, sum-ok, sum-bad or "-".
struct TraceUnit {
  std::string link;
  char direction = kTraceSent;
  const char* unit = "frame";
  int32_t number = -1;
  std::string kind;
  const char* check = "-";
  const uint8_t* bytes = nullptr;
  uint32_t length = 0;
};

// The line without its time stamp and end of line (tests pin it).
std::string FormatTraceUnit(const TraceUnit& u);
// Writes the unit as one whole line, time-stamped; thread-safe. Nothing when tracing is off.
void TraceFrameUnit(const TraceUnit& u);

// One direction of one link: bytes in as they move, whole units out as lines. A subclass knows
// the units (frames, blocks); what lies before a unit is traced as "bytes noise", and what is held
// at the end as "bytes partial".
class TraceCutter {
 public:
  TraceCutter(std::string link, char direction);
  virtual ~TraceCutter() = default;
  TraceCutter(const TraceCutter&) = delete;
  TraceCutter& operator=(const TraceCutter&) = delete;
  void Feed(const uint8_t* data, uint32_t length);
  void Finish();

 protected:
  // Looks at the held bytes: `noise` leading bytes are no unit; true with `u` (kind, number,
  // check, length) filled when a whole unit follows them, false to wait for more bytes.
  virtual bool Cut(uint8_t* bytes, uint32_t count, uint32_t& noise, TraceUnit& u) = 0;

 private:
  void Emit(const char* unit, const char* kind, uint32_t length);

  std::string link_;
  char direction_;
  std::vector<uint8_t> held_;
};

}  // namespace korvane
