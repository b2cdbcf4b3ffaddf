#include "terminal/block_terminal.h"

#include <algorithm>

namespace korvane {

namespace {
bool IsLead(uint8_t b) { return b == kBlockSOH || b == kBlockRS || b == kBlockACK || b == kBlockNAK; }
}  // namespace

BlockTerminal::BlockTerminal(MessageSink sink, MessageSource source, const Clock& clock)
    : sink_(std::move(sink)), source_(std::move(source)), clock_(clock) {}

void BlockTerminal::Feed(const uint8_t* data, size_t size) {
  if (data == nullptr || size == 0) return;
  in_.insert(in_.end(), data, data + size);
  last_input_ = clock_.Now();
}

void BlockTerminal::Poll() {
  const bool stale = !in_.empty() && TickReached(clock_.Now(), last_input_ + kBlockStaleMs);
  for (;;) {
    // Noise before a unit is dropped.
    auto lead = std::find_if(in_.begin(), in_.end(), IsLead);
    in_.erase(in_.begin(), lead);
    if (in_.empty() || !TakeUnit(stale)) break;
  }
  if (stale && !in_.empty()) in_.clear();
  if (awaiting_ && !sent_is_echo_ && TickReached(clock_.Now(), sent_at_ + kBlockResendMs)) {
    SendBlock(sent_);
  }
  std::string message;
  if (!awaiting_ && source_(message) && !message.empty()) {
    const uint8_t kind = static_cast<uint8_t>(message[0]);
    if (kind == kBlockENQ && message.size() > kCommandChars) {
      sent_is_echo_ = true;
      SendBlock(MakeCommandBlock(kBlockENQ, message.c_str() + 1));
    } else {
      sent_is_echo_ = false;
      SendBlock(MakeDataBlock(message.substr(1)));
    }
  }
}

bool BlockTerminal::TakeUnit(bool stale) {
  const uint8_t lead = in_[0];
  if (lead == kBlockACK || lead == kBlockNAK) {
    // An answer is the code twice; a second byte that differs was damaged and is looked at anew.
    if (in_.size() < kAnswerBlockSize && !stale) return false;
    const size_t used = in_.size() >= kAnswerBlockSize && in_[1] == lead ? kAnswerBlockSize : 1;
    in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
    OnAnswer(lead);
    return true;
  }
  if (lead == kBlockSOH) {
    if (in_.size() < kCommandBlockSize) return false;
    if (in_[4] == BlockChecksum(in_.data(), kCommandBlockSize - 1)) {
      OnCommand(in_.data());
    } else {
      out_.insert(out_.end(), {kBlockNAK, kBlockNAK});
    }
    // Like the PC, drop what else is queued before answering: the PC sends one block and waits.
    in_.clear();
    return true;
  }
  // RS: the block ends with ETB and one more byte, within the block buffer's size.
  const size_t reach = std::min<size_t>(in_.size(), kBlockBufferSize);
  for (size_t i = 1; i + 1 < reach; ++i) {
    if (in_[i] != kBlockETB) continue;
    const size_t size = i + 2;
    if (in_[i + 1] == BlockChecksum(in_.data(), size - 1)) {
      OnData(in_.data(), size);
    } else {
      out_.insert(out_.end(), {kBlockNAK, kBlockNAK});
    }
    in_.clear();
    return true;
  }
  if (in_.size() < kBlockBufferSize) return false;
  // A full buffer without a block end holds no block: dropped whole, as the PC drops it, so a
  // flood without ETB cannot grow the input.
  in_.erase(in_.begin(), in_.begin() + kBlockBufferSize);
  return true;
}

void BlockTerminal::OnAnswer(uint8_t code) {
  if (!awaiting_) return;
  if (code == kBlockACK) {
    awaiting_ = false;
    echo_refused_ = false;
  } else if (sent_is_echo_) {
    // The PC sends its command again and gets the echo then.
    awaiting_ = false;
    echo_refused_ = true;
  } else {
    SendBlock(sent_);
  }
}

void BlockTerminal::OnCommand(const uint8_t* block) {
  // The command of an echo the PC refused or never saw comes again: only the echo is repeated.
  const bool repeat = sent_is_echo_ && (echo_refused_ || awaiting_) &&
                      std::equal(block + 1, block + 4, sent_.begin() + 1);
  if (repeat) {
    SendBlock(sent_);
    return;
  }
  awaiting_ = false;
  echo_refused_ = false;
  sink_(block, 1 + kCommandChars);
}

void BlockTerminal::OnData(const uint8_t* block, size_t size) {
  if (nak_first_) {
    nak_first_ = false;
    out_.insert(out_.end(), {kBlockNAK, kBlockNAK});
    return;
  }
  out_.insert(out_.end(), {kBlockACK, kBlockACK});
  // RS and the text, without ETB and the checksum.
  sink_(block, size - 2);
}

void BlockTerminal::SendBlock(std::vector<uint8_t> block) {
  out_.insert(out_.end(), block.begin(), block.end());
  sent_ = std::move(block);
  awaiting_ = true;
  sent_at_ = clock_.Now();
}

std::vector<uint8_t> BlockTerminal::TakeOutput() {
  std::vector<uint8_t> out;
  out.swap(out_);
  return out;
}

}  // namespace korvane
