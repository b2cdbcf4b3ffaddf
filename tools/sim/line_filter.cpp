#include "line_filter.h"

#include <algorithm>
#include <thread>

#include "frame/frame_layout.h"

namespace korvane::sim {

namespace {

constexpr uint32_t kBitsPerByte8N1 = 10;
constexpr int64_t kNanosPerSecond = 1000000000;
// Paced bytes are released in pieces this small so a frame trickles out as on a real line.
constexpr size_t kPaceSliceBytes = 16;
constexpr size_t kReadChunk = 16384;
constexpr int32_t kWriterSendTimeoutMs = 1000;
constexpr uint8_t kFrameStartLow = static_cast<uint8_t>(kFrameStartMarker & 0xFF);
constexpr uint8_t kFrameStartHigh = static_cast<uint8_t>(kFrameStartMarker >> 8);

}  // namespace

void FrameCounter::Filter(std::vector<uint8_t>& bytes) {
  if (limit_ < 0) return;
  std::vector<uint8_t> kept;
  kept.reserve(bytes.size());
  for (uint8_t b : bytes) {
    if (left_in_frame_ > 0) {
      --left_in_frame_;
      if (!current_silenced_) kept.push_back(b);
      continue;
    }
    header_.push_back(b);
    const bool start_ok = header_[0] == kFrameStartLow && (header_.size() < 2 || header_[1] == kFrameStartHigh);
    if (!start_ok) {
      // Not a frame: the bytes pass as they are.
      kept.insert(kept.end(), header_.begin(), header_.end());
      header_.clear();
      continue;
    }
    if (header_.size() < kFrameOffCrc) continue;
    const uint16_t length = FrameLength(header_.data());
    current_silenced_ = static_cast<int64_t>(frames_) >= limit_;
    ++frames_;
    if (!current_silenced_) kept.insert(kept.end(), header_.begin(), header_.end());
    left_in_frame_ = length > header_.size() ? length - static_cast<uint32_t>(header_.size()) : 0;
    header_.clear();
  }
  bytes.swap(kept);
}

FaultChannel::FaultChannel(const LineFaults& faults, uint64_t seed, Clock::time_point session_start)
    : faults_(faults), rng_(seed), session_start_(session_start) {
  if (faults.baud > 0) byte_time_ = std::chrono::nanoseconds(kNanosPerSecond * kBitsPerByte8N1 / faults.baud);
}

bool FaultChannel::InOutage(Clock::time_point t) const {
  if (faults_.outage_at_ms < 0) return false;
  const auto from = session_start_ + std::chrono::milliseconds(faults_.outage_at_ms);
  return t >= from && t < from + std::chrono::milliseconds(faults_.outage_len_ms);
}

void FaultChannel::Pass(const uint8_t* data, size_t size, Clock::time_point entry, std::deque<Piece>& out) {
  const auto latency = std::chrono::milliseconds(faults_.latency_ms);
  const size_t slice = faults_.baud > 0 ? kPaceSliceBytes : size;
  for (size_t off = 0; off < size; off += slice) {
    const size_t n = std::min(slice, size - off);
    const Clock::time_point start = std::max(entry, line_free_);
    Piece piece;
    piece.bytes.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      uint8_t b = data[off + i];
      const bool lost = unit_(rng_) < faults_.drop;
      const bool hit = unit_(rng_) < faults_.corrupt;
      const uint8_t flip = static_cast<uint8_t>(1 + rng_() % 255);
      if (InOutage(start + byte_time_ * static_cast<int64_t>(i))) {
        ++dropped_;
        continue;
      }
      if (lost) {
        ++dropped_;
        continue;
      }
      if (hit) {
        b ^= flip;
        ++corrupted_;
      }
      piece.bytes.push_back(b);
    }
    line_free_ = start + byte_time_ * static_cast<int64_t>(n);
    piece.due = line_free_ + latency;
    if (!piece.bytes.empty()) out.push_back(std::move(piece));
  }
}

LinePort::LinePort(std::unique_ptr<SimDevice> inner, const LineFaults& faults)
    : inner_(std::move(inner)),
      faults_(faults),
      to_terminal_(faults, faults.seed, Clock::now()),
      to_library_(faults, faults.seed + 1, Clock::now()),
      silence_(faults.silent_after_frames),
      scratch_(kReadChunk) {}

LinePort::~LinePort() { Close(); }

void LinePort::Close() { inner_->Close(); }

void LinePort::WriteDue(Clock::time_point now) {
  scratch_.clear();
  while (!out_.empty() && out_.front().due <= now) {
    scratch_.insert(scratch_.end(), out_.front().bytes.begin(), out_.front().bytes.end());
    out_.pop_front();
  }
  if (scratch_.empty()) return;
  uint32_t err = 0;
  inner_->Send(scratch_.data(), static_cast<uint32_t>(scratch_.size()), kWriterSendTimeoutMs, err);
}

void LinePort::ReadAvailable() {
  scratch_.resize(kReadChunk);
  uint32_t err = 0;
  const uint32_t n = inner_->ReadMore(scratch_.data(), 0, static_cast<uint32_t>(scratch_.size()), 0, err);
  if (n > 0) to_terminal_.Pass(scratch_.data(), n, Clock::now(), in_);
}

uint32_t LinePort::Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) {
  err = 0;
  std::vector<uint8_t> bytes(data, data + length);
  silence_.Filter(bytes);
  to_library_.Pass(bytes.data(), bytes.size(), Clock::now() + std::chrono::milliseconds(faults_.delay_ms), out_);
  WriteDue(Clock::now());
  return length;
}

uint32_t LinePort::ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) {
  err = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    auto now = Clock::now();
    WriteDue(now);
    while (!in_.empty() && in_.front().due <= now && count < capacity) {
      auto& piece = in_.front().bytes;
      const uint32_t n = std::min<uint32_t>(capacity - count, static_cast<uint32_t>(piece.size()));
      std::copy(piece.begin(), piece.begin() + n, buffer + count);
      count += n;
      piece.erase(piece.begin(), piece.begin() + n);
      if (piece.empty()) in_.pop_front();
    }
    if (count > 0 || now >= deadline || !HasHandle()) return count;
    auto wake = deadline;
    if (!in_.empty()) wake = std::min(wake, in_.front().due);
    if (!out_.empty()) wake = std::min(wake, out_.front().due);
    if (inner_->HasHandle()) {
      if (inner_->WaitReadable(wake - now)) ReadAvailable();
    } else {
      std::this_thread::sleep_until(wake);
    }
  }
}

}  // namespace korvane::sim
