// What the two KorvaneX automation classes do, without COM: a port object, the text of the last
// received row with its end-of-data flag, the version texts, and for the first class the protocol
// version kept in "Korvane.ini".
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "legacy/comport.h"
#include "platform/settings.h"

namespace korvane {

inline constexpr const char* kKorvaneIni = "Korvane.ini";
inline constexpr const char* kKorvaneIniSection = "Settings";
inline constexpr const char* kX1VersionKey = "X1ProtocolVersion";
inline constexpr const char* kKorvaneLibraryVersion = "4.2.2.0";
constexpr size_t kVersionTextCapacity = 64;
// TryToRecv hands the port object a buffer of this many bytes.
constexpr int32_t kKorvaneRecvBufferSize = 65535;

// "%1.2lf" of version / 100.
std::string ProtocolVersionText(uint32_t version);
// The leading decimal number of `text` times 100, truncated toward zero and held to 0..UINT32_MAX
// (0 when there is none).
uint32_t ParseProtocolVersion(const std::string& text);

// The version a new first-class object starts from; replaced by each one's settings.
std::atomic<uint32_t>& KorvaneXDefaultVersion();

class KorvaneXCore {
 public:
  enum class Flavor { kX1, kX2 };
  // X1 reads and normalises its version in `profile`; X2 starts at 2.00.
  KorvaneXCore(Flavor flavor, ProfileStore& profile, const Clock& clock = SystemClock());

  CComport& Port() { return port_; }
  int32_t OpenPort(const std::string& name);
  int32_t OpenIRDA(const std::string& name);
  int32_t ClosePort();
  int32_t SendCMD(const std::string& cmd);
  int32_t TryToSend(const std::string& text);
  // Receives one row into Buffer() and sets EOF().
  int32_t TryToRecv();
  // The end-of-data row: the send's result when the row did not go, else that of finalising it.
  int32_t SendEOT();
  int32_t IsTerminalOnline(int32_t timeout_ms);
  std::string SelectProtocolVersion(const std::string& query);
  std::string ProtocolVersion() const { return ProtocolVersionText(port_.GetProtocolVersion()); }
  const std::string& Buffer() const { return buffer_; }
  int32_t EndOfData() const { return eof_; }

 private:
  const char* Prefix() const { return flavor_ == Flavor::kX1 ? "X1" : "X2"; }

  Flavor flavor_;
  CComport port_;
  std::string buffer_;
  int32_t eof_ = 0;
};

}  // namespace korvane
