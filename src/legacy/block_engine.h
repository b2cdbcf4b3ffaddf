// The character-block protocol: short blocks with an additive checksum, each answered by ACK or
// NAK, commands answered by an echo. One block in flight; the receiver purges its input before it
// answers, so a block the sender sends early is lost.
#pragma once
#include <cstdint>
#include <string>

#include "frame/line_quality.h"
#include "legacy/block_format.h"
#include "legacy/block_line.h"
#include "log/log_time.h"
#include "platform/ticks.h"

namespace korvane {

constexpr uint32_t kBlockReadTimeoutMs = 5000;
constexpr uint32_t kBlockReadSliceMs = 100;
constexpr uint32_t kBlockWriteTimeoutMs = 2000;
constexpr int kCommandAttempts = 4;
constexpr int kSendAttempts = 3;
constexpr int kRecvAttempts = 5;
constexpr int32_t kWaitAckNone = 0;

class BlockEngine {
 public:
  // `dump_counter` is the owner's elapsed counter for wire-dump lines.
  BlockEngine(BlockLine& line, const Clock& clock, ElapsedCounter& dump_counter)
      : line_(line), clock_(clock), dump_counter_(dump_counter) {}

  // The whole-read time-out (5000 ms); tests over real lines shorten it.
  void SetReadTimeout(uint32_t ms) { read_timeout_ms_ = ms; }

  uint32_t ReadMore(uint8_t* buffer, uint32_t& position, uint32_t capacity, uint32_t timeout_ms, uint32_t& error_word);
  int32_t Read(uint8_t* buffer, uint32_t count, uint32_t& error_word);
  uint32_t ReadETBAnd1(uint8_t* buffer, uint32_t capacity, uint8_t start_byte, uint32_t& error_word);
  int32_t Write(const uint8_t* data, uint32_t count);
  int32_t SendACK();
  int32_t SendNAK();
  int32_t WaitACK();

  // 1 on an exact echo; commands shorter than three characters are refused unsent. What is queued
  // before the command goes (each time it goes) is no answer to it and is dropped.
  int32_t SendCmd(const std::string& cmd);
  // 1 when the terminal acknowledged; a text over 8189 bytes is refused unsent.
  int32_t TryToSend(const std::string& text);
  // 1 with the text (NUL-terminated) and its length in `size`; `size` in is the capacity, and a
  // block whose text does not fit is not acknowledged.
  int32_t TryToRecv(char* buffer, int32_t& size);
  // Blocks repeated, lost or damaged among the last ones.
  const LineQuality& Quality() const { return quality_; }

 private:
  void Dump(const char* tag, const uint8_t* bytes, uint32_t count);
  void LogSystemError(uint32_t code);
  // A failed operation on a line that damaged blocks says how badly, beside its own reason.
  int32_t FailedOnLine();

  BlockLine& line_;
  const Clock& clock_;
  ElapsedCounter& dump_counter_;
  uint32_t read_timeout_ms_ = kBlockReadTimeoutMs;
  LineQuality quality_;
  uint32_t last_block_bytes_ = kCommandBlockSize;  // a block lost on the way is taken to be as long
};

}  // namespace korvane
