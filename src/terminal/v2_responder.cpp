#include "terminal/v2_responder.h"

#include <cstring>

#include "frame/frame_exchange.h"
#include "frame/frame_layout.h"

namespace korvane {

namespace {

constexpr uint32_t kDefaultMaxBlock = 65535;
// An E_NAK_NUMBER with this distance from the frame's own number names no frame the PC still
// holds, which makes it synchronise and start the block again.
constexpr uint16_t kForeignNumberDistance = 0x8000;

}  // namespace

V2Responder::V2Responder(uint16_t version) : version_(version), max_block_(kDefaultMaxBlock) {}

void V2Responder::SetVersion(uint16_t version) { version_ = version; }

uint16_t V2Responder::FrameSize() const {
  return version_ == kProtocolV2Large ? kV2LargeFrameSize : kV2DefaultFrameSize;
}

void V2Responder::ForceNakOnce(uint8_t code, int32_t number) {
  nak_forced_ = true;
  forced_code_ = code;
  forced_number_ = number;
}

bool V2Responder::TakeForcedNak(uint16_t number) {
  if (!nak_forced_) return false;
  nak_forced_ = false;
  Nak(forced_number_ < 0 ? number : static_cast<uint16_t>(forced_number_), forced_code_);
  return true;
}

void V2Responder::Feed(const uint8_t* data, size_t size) {
  if (!data || size == 0) return;
  in_.insert(in_.end(), data, data + size);
  const uint32_t held = static_cast<uint32_t>(in_.size());
  uint32_t pos = 0;
  for (;;) {
    // The PC never sends a frame larger than this side's version allows.
    const FrameFound found = FindFrame(in_.data(), held, pos, FrameSize());
    pos = found.start;
    if (found.length == 0) break;
    uint8_t* frame = in_.data() + pos;
    if (found.crc_ok) {
      HandleFrame(frame, found.length);
    } else {
      ++stats_.bad_crc;
      Nak(FrameNumber(frame), E_NAK_CRC);
    }
    pos += found.length;
  }
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(pos));
}

std::vector<uint8_t> V2Responder::TakeOutput() {
  std::vector<uint8_t> out;
  out.swap(out_);
  return out;
}

bool V2Responder::QueueBlock(const uint8_t* data, size_t size) {
  const size_t chunk = FrameSize() - kFragHeaderSize;
  if (size > kDefaultMaxBlock || (size > FrameSize() - kFrameHeaderSize && (size + chunk - 1) / chunk > kMaxFragments))
    return false;
  to_send_.emplace_back(data, data + size);
  if (req_waiting_ && to_send_.size() == 1) {
    req_waiting_ = false;
    Serve(waiting_number_, waiting_index_);
  }
  return true;
}

bool V2Responder::PopReceived(std::vector<uint8_t>& block) {
  if (received_.empty()) return false;
  block = std::move(received_.front());
  received_.pop_front();
  return true;
}

void V2Responder::HandleFrame(const uint8_t* frame, uint16_t length) {
  ++stats_.frames;
  const uint16_t number = FrameNumber(frame);
  switch (FrameControlCode(frame)) {
    case kCtlSyn: OnSyn(frame, length); break;
    case kCtlData:
    case kCtlFrag:
      if (!TakeForcedNak(number)) OnData(frame, length);
      break;
    case kCtlReq:
      if (length < kReqFrameSize) {
        Nak(number, E_NAK_DROP);
        break;
      }
      if (!TakeForcedNak(number)) OnReq(number, frame[kFrameOffBody + 1]);
      break;
    default: break;  // the PC sends no other code; nothing sensible to answer
  }
}

void V2Responder::OnSyn(const uint8_t* frame, uint16_t length) {
  const uint16_t number = FrameNumber(frame);
  // The PC numbers afresh after a SYN and starts its block again.
  assembling_ = false;
  assembly_.clear();
  last_acked_.clear();
  answered_req_ = false;
  if (length >= kSynFrameSize && GetU16(frame + kFrameOffBody) == kProtocolV3) {
    to_send_.clear();
    front_done_ = false;
    last_answer_.clear();
    req_waiting_ = false;
    if (connect_handler_) connect_handler_();
  }
  uint8_t body[4];
  PutU16(body, version_);
  PutU16(body + 2, kSynBlockVersion);
  Emit(number, kCtlSyn, body, sizeof body);
}

void V2Responder::OnData(const uint8_t* frame, uint16_t length) {
  const uint16_t number = FrameNumber(frame);
  // A PC that sends has given up the request it was polling with: served now, the answer would
  // carry that request's number, be dropped by the PC, and count as fetched.
  req_waiting_ = false;
  if (last_acked_.size() == length && std::memcmp(last_acked_.data(), frame, length) == 0) {
    ++stats_.duplicates;  // our ACK was lost and the PC sent the frame again
    Emit(number, kCtlAck, nullptr, 0);
    return;
  }
  if (FrameControlCode(frame) == kCtlData) {
    const size_t n = length - kFrameHeaderSize;
    if (n > max_block_) {
      Nak(number, E_NAK_OVERFLOW);
      return;
    }
    assembling_ = false;
    last_acked_.assign(frame, frame + length);
    Emit(number, kCtlAck, nullptr, 0);
    Deliver(std::vector<uint8_t>(frame + kFrameHeaderSize, frame + length));
    return;
  }
  if (length < kFragHeaderSize) {
    Nak(number, E_NAK_DROP);
    return;
  }
  const uint8_t count = frame[kFrameOffBody], index = frame[kFrameOffBody + 1];
  if (count == 0 || index >= count) {
    Nak(number, E_NAK_DROP);
    return;
  }
  if (index == 0) {
    assembling_ = true;
    assembly_.clear();
    assembly_count_ = count;
    next_fragment_ = 0;
  }
  if (!assembling_ || index != next_fragment_ || count != assembly_count_) {
    // A gap in the fragments: have the PC synchronise and send the block from its start.
    assembling_ = false;
    Nak(static_cast<uint16_t>(number + kForeignNumberDistance), E_NAK_NUMBER);
    return;
  }
  const size_t n = length - kFragHeaderSize;
  if (assembly_.size() + n > max_block_) {
    assembling_ = false;
    Nak(number, E_NAK_OVERFLOW);
    return;
  }
  assembly_.insert(assembly_.end(), frame + kFragHeaderSize, frame + length);
  ++next_fragment_;
  last_acked_.assign(frame, frame + length);
  Emit(number, kCtlAck, nullptr, 0);
  if (index + 1 == count) {
    assembling_ = false;
    Deliver(std::move(assembly_));
    assembly_.clear();
  }
}

void V2Responder::Deliver(std::vector<uint8_t>&& block) {
  ++stats_.blocks_received;
  if (handler_) {
    handler_(std::move(block));
  } else {
    received_.push_back(std::move(block));
  }
}

void V2Responder::OnReq(uint16_t number, uint8_t index) {
  if (answered_req_ && number == last_req_number_ && index == last_req_index_) {
    ++stats_.repeated_reqs;  // our answer was lost: the same answer again
    out_.insert(out_.end(), last_answer_.begin(), last_answer_.end());
    return;
  }
  // A new request after the front block's last frame: the PC has it.
  if (front_done_) {
    front_done_ = false;
    to_send_.pop_front();
  }
  if (to_send_.empty()) {
    req_waiting_ = true;
    waiting_number_ = number;
    waiting_index_ = index;
    return;
  }
  Serve(number, index);
}

void V2Responder::Serve(uint16_t number, uint8_t index) {
  const std::vector<uint8_t>& block = to_send_.front();
  const size_t frame_size = FrameSize();
  answered_req_ = true;
  last_req_number_ = number;
  last_req_index_ = index;
  if (block.size() <= frame_size - kFrameHeaderSize) {
    Emit(number, kCtlData, block.data(), block.size(), &last_answer_);
    front_done_ = true;
    ++stats_.blocks_sent;
    return;
  }
  const size_t chunk = frame_size - kFragHeaderSize;
  const size_t count = (block.size() + chunk - 1) / chunk;
  if (index >= count) {
    answered_req_ = false;
    Nak(number, E_NAK_DROP);
    return;
  }
  const size_t offset = index * chunk;
  const size_t n = block.size() - offset < chunk ? block.size() - offset : chunk;
  uint8_t body[kLastFrameSize];
  body[0] = static_cast<uint8_t>(count);
  body[1] = index;
  std::memcpy(body + 2, block.data() + offset, n);
  Emit(number, kCtlFrag, body, n + 2, &last_answer_);
  if (index + 1u == count) {
    front_done_ = true;
    ++stats_.blocks_sent;
  }
}

void V2Responder::Nak(uint16_t number, uint8_t code) {
  ++stats_.naks;
  Emit(number, kCtlNak, &code, 1);
}

void V2Responder::Emit(uint16_t number, uint8_t control, const uint8_t* body, size_t body_size,
                       std::vector<uint8_t>* copy) {
  const size_t start = out_.size();
  const size_t length = kFrameHeaderSize + body_size;
  out_.resize(start + length);
  uint8_t* frame = out_.data() + start;
  if (body_size) std::memcpy(frame + kFrameHeaderSize, body, body_size);
  FinishFrame(frame, number, static_cast<uint16_t>(length), control);
  if (copy) copy->assign(frame, frame + length);
}

}  // namespace korvane
