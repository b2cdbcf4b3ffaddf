#include "legacy/korvanex_core.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include "log/call_stack.h"
#include "log/log_time.h"

namespace korvane {

namespace {
constexpr double kVersionScale = 100.0;
constexpr double kMaxVersion = 4294967295.0;
}  // namespace

std::string ProtocolVersionText(uint32_t version) { return StrFormat("%1.2lf", version / kVersionScale); }

uint32_t ParseProtocolVersion(const std::string& text) {
  const double v = std::strtod(text.c_str(), nullptr) * kVersionScale;
  // Converting a negative or too large double to unsigned is undefined: hold it in range first.
  if (!(v > 0)) return 0;
  if (v >= kMaxVersion) return static_cast<uint32_t>(kMaxVersion);
  return static_cast<uint32_t>(std::trunc(v));
}

std::atomic<uint32_t>& KorvaneXDefaultVersion() {
  static std::atomic<uint32_t> version{kComportVersion100};
  return version;
}

KorvaneXCore::KorvaneXCore(Flavor flavor, ProfileStore& profile, const Clock& clock) : flavor_(flavor), port_(clock) {
  if (flavor == Flavor::kX2) {
    port_.SetProtocolVersion(kComportVersion200);
    return;
  }
  const std::string fallback = ProtocolVersionText(KorvaneXDefaultVersion().load());
  const uint32_t value = ParseProtocolVersion(
      profile.Read(kKorvaneIniSection, kX1VersionKey, fallback, kVersionTextCapacity));
  KorvaneXDefaultVersion().store(value);
  profile.Write(kKorvaneIniSection, kX1VersionKey, ProtocolVersionText(value));
  port_.SetProtocolVersion(value);
}

int32_t KorvaneXCore::OpenPort(const std::string& name) {
  CallStackScope scope("%s::OpenPort('%s')", Prefix(), name.c_str());
  return port_.Open(name);
}

int32_t KorvaneXCore::OpenIRDA(const std::string& name) {
  CallStackScope scope("%s::OpenIRDA('%s')", Prefix(), name.c_str());
  return port_.OpenIRDA(name);
}

int32_t KorvaneXCore::ClosePort() {
  CallStackScope scope("%s::ClosePort()", Prefix());
  return port_.Close();
}

int32_t KorvaneXCore::SendCMD(const std::string& cmd) {
  CallStackScope scope("%s::SendCMD('%s')", Prefix(), cmd.c_str());
  return port_.SendCmd(cmd);
}

int32_t KorvaneXCore::TryToSend(const std::string& text) {
  CallStackScope scope("%s::TryToSend('%s')", Prefix(), text.c_str());
  return port_.TryToSend(text);
}

int32_t KorvaneXCore::TryToRecv() {
  CallStackScope scope("%s::TryToRecv()", Prefix());
  std::vector<char> buffer(kKorvaneRecvBufferSize, '\0');
  int32_t size = kKorvaneRecvBufferSize;
  const int32_t r = port_.TryToRecv(buffer.data(), size);
  if (size < 1 || size >= kKorvaneRecvBufferSize) {
    eof_ = 0;
    buffer_.clear();
  } else {
    buffer[static_cast<size_t>(size)] = '\0';
    eof_ = static_cast<uint8_t>(buffer[0]) == kBlockEOT ? 1 : 0;
    buffer_ = buffer.data();  // up to the first NUL
  }
  return r;
}

int32_t KorvaneXCore::SendEOT() {
  CallStackScope scope("%s::SendEOT()", Prefix());
  // Finalising has nothing left to do after a row that did not go (at 1.00 never anything) and
  // would report success: the row's own failure is the result.
  const int32_t sent = port_.TryToSend(std::string(1, static_cast<char>(kBlockEOT)));
  if (sent < 1) return sent;
  return port_.TryToSendFinalize();
}

int32_t KorvaneXCore::IsTerminalOnline(int32_t timeout_ms) {
  CallStackScope scope("%s::IsTerminalOnline()", Prefix());
  return port_.IsTerminalOnline(timeout_ms);
}

std::string KorvaneXCore::SelectProtocolVersion(const std::string& query) {
  return ProtocolVersionText(port_.SetProtocolVersion(ParseProtocolVersion(query)));
}

}  // namespace korvane
