// The terminal's side of the character-block protocol: checks each block from the PC, answers it
// (ACK or NAK for rows, the echo for commands), and sends its own messages one block at a time,
// the next only after the PC's ACK, the same one again after a NAK or a long silence. No I/O: the
// owner feeds the bytes it read and writes the bytes it takes.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "legacy/block_format.h"
#include "platform/ticks.h"

namespace korvane {

// The PC gives up on a block after 5000 ms of waiting; a block is sent again only after that.
constexpr uint32_t kBlockResendMs = 6000;
// A unit that stops short for this long is taken as it is (a lone ACK or NAK) or dropped.
constexpr uint32_t kBlockStaleMs = 200;

class BlockTerminal {
 public:
  // A whole message from the PC: SOH + three characters, or RS + text.
  using MessageSink = std::function<void(const uint8_t* data, size_t size)>;
  // The next message for the PC (ENQ + three characters, or RS + text); false when none.
  using MessageSource = std::function<bool(std::string& message)>;

  BlockTerminal(MessageSink sink, MessageSource source, const Clock& clock = SystemClock());

  // NAKs the first good row from the PC once (a fault the simulator can play).
  void NakFirstDataBlockOnce() { nak_first_ = true; }

  void Feed(const uint8_t* data, size_t size);
  // Parses what arrived, sends what is due.
  void Poll();
  std::vector<uint8_t> TakeOutput();
  // True while a unit is half read (it goes stale soon). The resend wait is long: no need to hurry.
  bool Busy() const { return !in_.empty(); }
  // Bytes read and not yet taken as a unit: never more than a block buffer after a Poll.
  size_t InputBytes() const { return in_.size(); }

 private:
  // Handles the unit at the start of the input; false when it is not complete yet.
  bool TakeUnit(bool stale);
  void OnAnswer(uint8_t code);
  void OnCommand(const uint8_t* block);
  void OnData(const uint8_t* block, size_t size);
  void SendBlock(std::vector<uint8_t> block);

  MessageSink sink_;
  MessageSource source_;
  const Clock& clock_;
  std::vector<uint8_t> in_;
  uint32_t last_input_ = 0;
  std::vector<uint8_t> out_;
  std::vector<uint8_t> sent_;  // the block waiting for its answer
  bool awaiting_ = false;
  bool sent_is_echo_ = false;
  bool echo_refused_ = false;  // the PC NAKed the echo and will send its command again
  uint32_t sent_at_ = 0;
  bool nak_first_ = false;
};

}  // namespace korvane
