#include "legacy/block_engine.h"

#include <cstring>
#include <vector>

#include "log/call_stack.h"
#include "log/diag_log.h"
#include "platform/errors.h"

namespace korvane {

namespace {
constexpr int32_t kWaitAckAck = kBlockACK;
constexpr int32_t kWaitAckNak = kBlockNAK;

int32_t AsCode(uint32_t v) { return static_cast<int32_t>(v); }

constexpr const char* kBlockLineDamaged =
    "Линия связи искажает данные: из последних %u блоков повторены, потеряны или повреждены %u, искажено около "
    "%.2f%% байт (протокол 1.00).";
}  // namespace

void BlockEngine::Dump(const char* tag, const uint8_t* bytes, uint32_t count) {
  DumpHexLine(dump_counter_, tag, bytes, count);
}

void BlockEngine::LogSystemError(uint32_t code) { DiagLog(SystemErrorText(code), AsCode(code)); }

int32_t BlockEngine::FailedOnLine() {
  if (quality_.Damaged() > 0) {
    DiagLog(StrFormat(kBlockLineDamaged, quality_.Samples(), quality_.Wasted(), quality_.ByteErrorRate() * 100), 0);
  }
  return 0;
}

uint32_t BlockEngine::ReadMore(uint8_t* buffer, uint32_t& position, uint32_t capacity, uint32_t timeout_ms,
                               uint32_t& error_word) {
  CallStackScope scope("CP::ReadMore(to=%u)", timeout_ms);
  // Wait up to the time-out for the first byte, then return at once with what is queued.
  SerialTimeouts t;
  t.read_interval = kMaxDword;
  t.read_multiplier = kMaxDword;
  t.read_constant = timeout_ms;
  t.write_multiplier = 0;
  t.write_constant = kBlockWriteTimeoutMs;
  line_.SetTimeouts(t);
  uint32_t done = 0;
  const uint32_t room = capacity > position ? capacity - position : 0;
  if (line_.Read(buffer + position, room, done)) {
    error_word = 0;
    position += done;
    Dump("ReadMore", buffer, position);
    return position;
  }
  LogSystemError(line_.LastError());
  const uint32_t flags = line_.ClearError();
  DiagLog(StrFormat("[ReadMore::ClearCommError] dwErrorFlag = 0x%4.4X\n", flags), 0);
  error_word = flags;
  return 0;
}

int32_t BlockEngine::Read(uint8_t* buffer, uint32_t count, uint32_t& error_word) {
  CallStackScope scope("CP::Read(%u)", count);
  uint32_t position = 0;
  const uint32_t deadline = clock_.Now() + read_timeout_ms_;
  if (ReadMore(buffer, position, count, read_timeout_ms_, error_word) == 0) return 0;
  // What a read that used the whole wait brought is still taken (a driver may hold a read for its
  // whole time-out although the bytes were there).
  if (position >= count) return 1;
  while (!TickReached(clock_.Now(), deadline)) {
    if (position >= count) return 1;
    ReadMore(buffer, position, count, kBlockReadSliceMs, error_word);
    if (error_word != 0) return 0;
  }
  return 0;
}

uint32_t BlockEngine::ReadETBAnd1(uint8_t* buffer, uint32_t capacity, uint8_t start_byte, uint32_t& error_word) {
  CallStackScope scope("CP::ReadETBAnd1()");
  uint32_t position = 0;
  const uint32_t deadline = clock_.Now() + read_timeout_ms_;
  if (ReadMore(buffer, position, capacity, read_timeout_ms_, error_word) == 0) return 0;
  // The first pass runs even when that read used the whole wait: a block it brought is kept.
  for (bool first = true; first || !TickReached(clock_.Now(), deadline); first = false) {
    if (start_byte != 0 && position >= 1 && buffer[0] != start_byte) {
      const uint8_t* found = static_cast<const uint8_t*>(std::memchr(buffer, start_byte, position));
      const uint32_t noise = found ? static_cast<uint32_t>(found - buffer) : position;
      Dump("[ReadETBAnd1] Cut wrong read: ", buffer, noise);
      DiagLog("[ReadETBAnd1] Cut wrong read! (korvdump.txt)", 0);
      std::memmove(buffer, buffer + noise, position - noise);
      position -= noise;
    }
    if (position > 2 && buffer[position - 2] == kBlockETB) return position;
    // A full buffer without a block end holds no block: waiting on would only spin.
    if (position >= capacity || TickReached(clock_.Now(), deadline)) return 0;
    ReadMore(buffer, position, capacity, kBlockReadSliceMs, error_word);
    if (error_word != 0) return 0;
  }
  return 0;
}

int32_t BlockEngine::Write(const uint8_t* data, uint32_t count) {
  CallStackScope scope("CP::Write(%u)", count);
  uint32_t done = 0;
  if (line_.Write(data, count, done)) {
    if (done == count) {
      Dump("Write", data, count);
      return 1;
    }
    Dump("Write Err", data, count);
    DiagLog("WriteFile() Error. Записано меньше нужного", AsCode(line_.LastError()));
    return 0;
  }
  LogSystemError(line_.LastError());
  const uint32_t flags = line_.ClearError();
  DiagLog(StrFormat("[Write::ClearCommError] dwErrorFlag = 0x%4.4X\n", flags), 0);
  return 0;
}

int32_t BlockEngine::SendACK() {
  // Whatever the terminal sent early is dropped: only one block may be in flight.
  line_.PurgeAll();
  const std::vector<uint8_t> block = MakeAnswerBlock(kBlockACK);
  return Write(block.data(), kAnswerBlockSize);
}

int32_t BlockEngine::SendNAK() {
  line_.PurgeAll();
  const std::vector<uint8_t> block = MakeAnswerBlock(kBlockNAK);
  return Write(block.data(), kAnswerBlockSize);
}

int32_t BlockEngine::WaitACK() {
  CallStackScope scope("CP::WaitACK()");
  uint8_t answer[kAnswerBlockSize] = {};
  uint32_t error_word = 0;
  if (Read(answer, kAnswerBlockSize, error_word) == 0) return kWaitAckNone;
  if (answer[0] == kBlockACK) return kWaitAckAck;
  if (answer[0] == kBlockNAK) return kWaitAckNak;
  Dump("WaitACK err: ", answer, kAnswerBlockSize);
  // The answer is its code twice: with the first byte damaged on the line the second still tells,
  // and taking it spares the terminal a second copy of a row it already has.
  if (answer[1] == kBlockACK) return kWaitAckAck;
  if (answer[1] == kBlockNAK) return kWaitAckNak;
  return kWaitAckNone;
}

int32_t BlockEngine::SendCmd(const std::string& cmd) {
  CallStackScope scope("CP::SendCmd('%s')", cmd.c_str());
  if (cmd.size() < kCommandChars) {
    DiagLog(StrFormat("SendCMD() Error. Команда короче %u символов: '%s'", kCommandChars, cmd.c_str()), 0);
    return 0;
  }
  const std::vector<uint8_t> block = MakeCommandBlock(kBlockSOH, cmd.c_str());
  uint8_t answer[kCommandBlockSize] = {};
  for (int attempt = 0; attempt < kCommandAttempts; ++attempt) {
    // What is queued belongs to an earlier exchange (a late or repeated echo, a row, what the
    // terminal sent after our NAK): read as this command's answer it would fail the command while
    // the terminal takes it, and the ACK after it would confirm the right echo unread. Input only,
    // as before a row.
    line_.PurgeInput();
    if (Write(block.data(), kCommandBlockSize) == 0) {
      DiagLog("SendCMD() Error. Write() Error", AsCode(line_.LastError()));
      return 0;
    }
    uint32_t error_word = 0;
    if (Read(answer, kCommandBlockSize, error_word) == 0) {
      DiagLog("SendCMD() Error. Read Error...", AsCode(line_.LastError()));
      quality_.Note(true, 2 * kCommandBlockSize, error_word != 0);
      if (error_word == 0) return FailedOnLine();  // silence is not worth a retry
    } else if (answer[0] == kBlockENQ && answer[4] == BlockChecksum(answer, kCommandBlockSize - 1)) {
      quality_.Note(false, 2 * kCommandBlockSize);
      SendACK();
      return std::memcmp(answer + 1, cmd.data(), kCommandChars) == 0 ? 1 : 0;
    } else {
      DiagLog("SendCMD() Error. Неверный CRC", AsCode(line_.LastError()));
      quality_.Note(true, 2 * kCommandBlockSize, true);
    }
    SendNAK();
  }
  DiagLog(StrFormat("SendCMD() Error. nTry=%d", kCommandAttempts), AsCode(line_.LastError()));
  return FailedOnLine();
}

int32_t BlockEngine::TryToSend(const std::string& text) {
  CallStackScope scope("CP::TryToSend('%s')", text.c_str());
  if (text.size() > kMaxBlockText) {
    DiagLog(StrFormat("TryToSend() Error. Строка длиннее %u байт не помещается в блок (%u)", kMaxBlockText,
                      static_cast<uint32_t>(text.size())),
            0);
    return 0;
  }
  if (text.find(static_cast<char>(kBlockETB)) != std::string::npos) {
    DiagLog("TryToSend() Error. Строка содержит ETB (0x17)", 0);
    return 0;
  }
  const std::vector<uint8_t> block = MakeDataBlock(text);
  for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
    // An answer is read as two bytes: a stray byte left from the last one would shift this one,
    // and a NAK could then read as ACK (a row lost) or an old NAK resend a row (a row repeated).
    // Input only: an ACK just written for the terminal's last block must still leave.
    line_.PurgeInput();
    if (Write(block.data(), static_cast<uint32_t>(block.size())) == 0) {
      DiagLog("TryToSend() Error. Write() Error", AsCode(line_.LastError()));
      continue;
    }
    const int32_t answer = WaitACK();
    const uint32_t bytes = static_cast<uint32_t>(block.size()) + kAnswerBlockSize;
    // No answer may be a block damaged, or a terminal gone: only a NAK proves damage.
    quality_.Note(answer != kWaitAckAck, bytes, answer == kWaitAckNak);
    if (answer == kWaitAckAck) return 1;
    if (answer == kWaitAckNak) continue;
    DiagLog("TryToSend() Error. (WaitAck() != ACK) and (WaitAck() != NAK)", answer);
    return FailedOnLine();
  }
  DiagLog(StrFormat("TryToSend() Error. nTry=%d", kSendAttempts), AsCode(line_.LastError()));
  return FailedOnLine();
}

int32_t BlockEngine::TryToRecv(char* buffer, int32_t& size) {
  CallStackScope scope("CP::TryToRecv(sz=%i)", size);
  std::vector<uint8_t> block(kBlockBufferSize);
  for (int attempt = 0; attempt < kRecvAttempts; ++attempt) {
    uint32_t error_word = 0;
    const uint32_t n = ReadETBAnd1(block.data(), kBlockBufferSize, kBlockRS, error_word);
    if (n == 0) {
      DiagLog("TryToRecv() nodata! Error", 0);
      quality_.Note(true, last_block_bytes_, error_word != 0);
      if (error_word == 0) return FailedOnLine();
    } else if (n <= 2) {
      DiagLog("TryToRecv() Error. nRd <= 2", 0);
    } else if (block[n - 2] != kBlockETB) {
      DiagLog("TryToRecv() Error. !ETB", 0);
    } else if (const uint8_t sum = BlockChecksum(block.data(), n - 1); block[n - 1] != sum) {
      DiagLog(StrFormat("TryToRecv() Error. CRC Error. Ожидалось %2.2X, а получили %2.2X", block[n - 1], sum), 0);
    } else {
      const uint32_t length = n - kDataBlockOverhead;
      if (size < 0 || length + 1 > static_cast<uint32_t>(size)) {
        // Left unacknowledged: the terminal sends it again to a caller with room for it.
        DiagLog(StrFormat("TryToRecv() Error. Строка (%u байт) не помещается в буфер (%i)", length, size), 0);
        return 0;
      }
      last_block_bytes_ = n + kAnswerBlockSize;
      quality_.Note(false, last_block_bytes_);
      SendACK();
      std::memcpy(buffer, block.data() + 1, length);
      buffer[length] = '\0';
      size = static_cast<int32_t>(length);
      return 1;
    }
    quality_.Note(true, n + kAnswerBlockSize, true);
    SendNAK();
    DiagLog("TryToRecv() Error. Read() Error", AsCode(line_.LastError()));
  }
  DiagLog("TryToRecv() Retry > 3, Error.", 0);
  return FailedOnLine();
}

}  // namespace korvane
