#include "line_filter.h"

#include <algorithm>

#include "frame/frame_layout.h"

namespace korvane::sim {

namespace {

constexpr uint32_t kBitsPerByte8N1 = 10;
constexpr int64_t kNanosPerSecond = 1000000000;
// Paced bytes are released in pieces this small so a frame trickles out as on a real line.
constexpr size_t kPaceSliceBytes = 16;
constexpr size_t kReadChunk = 16384;
constexpr int32_t kReaderPollMs = 200;
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

LinePort::LinePort(std::unique_ptr<PortDevice> inner, const LineFaults& faults)
    : inner_(std::move(inner)),
      faults_(faults),
      to_terminal_(faults, faults.seed, Clock::now()),
      to_library_(faults, faults.seed + 1, Clock::now()),
      silence_(faults.silent_after_frames) {
  reader_ = std::thread([this] { ReaderLoop(); });
  writer_ = std::thread([this] { WriterLoop(); });
}

LinePort::~LinePort() { Close(); }

void LinePort::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  in_ready_.notify_all();
  out_ready_.notify_all();
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
  inner_->Close();
}

bool LinePort::HasHandle() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !(closed_ && in_.empty());
}

uint32_t LinePort::Send(const uint8_t* data, uint32_t length, int32_t, uint32_t& err) {
  err = 0;
  std::vector<uint8_t> bytes(data, data + length);
  std::lock_guard<std::mutex> lock(mutex_);
  silence_.Filter(bytes);
  const auto entry = Clock::now() + std::chrono::milliseconds(faults_.delay_ms);
  to_library_.Pass(bytes.data(), bytes.size(), entry, out_);
  out_ready_.notify_one();
  return length;
}

uint32_t LinePort::ReadMore(uint8_t* buffer, uint32_t count, uint32_t capacity, int32_t timeout_ms, uint32_t& err) {
  err = 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const auto now = Clock::now();
    while (!in_.empty() && in_.front().due <= now && count < capacity) {
      auto& piece = in_.front().bytes;
      const uint32_t n = std::min<uint32_t>(capacity - count, static_cast<uint32_t>(piece.size()));
      std::copy(piece.begin(), piece.begin() + n, buffer + count);
      count += n;
      piece.erase(piece.begin(), piece.begin() + n);
      if (piece.empty()) in_.pop_front();
    }
    if (count > 0 && (in_.empty() || in_.front().due > now || count >= capacity)) return count;
    if (now >= deadline || (closed_ && in_.empty()) || stopping_) return count;
    const auto until = in_.empty() ? deadline : std::min(deadline, in_.front().due);
    in_ready_.wait_until(lock, until);
  }
}

void LinePort::ReaderLoop() {
  std::vector<uint8_t> chunk(kReadChunk);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    uint32_t err = 0;
    const uint32_t n = inner_->ReadMore(chunk.data(), 0, static_cast<uint32_t>(chunk.size()), kReaderPollMs, err);
    std::lock_guard<std::mutex> lock(mutex_);
    if (n > 0) {
      to_terminal_.Pass(chunk.data(), n, Clock::now(), in_);
      in_ready_.notify_all();
    }
    if (!inner_->HasHandle()) {
      closed_ = true;
      in_ready_.notify_all();
      return;
    }
  }
}

void LinePort::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::vector<uint8_t> batch;
  for (;;) {
    if (stopping_) return;
    const auto now = Clock::now();
    batch.clear();
    while (!out_.empty() && out_.front().due <= now) {
      batch.insert(batch.end(), out_.front().bytes.begin(), out_.front().bytes.end());
      out_.pop_front();
    }
    if (!batch.empty()) {
      lock.unlock();
      uint32_t err = 0;
      inner_->Send(batch.data(), static_cast<uint32_t>(batch.size()), kWriterSendTimeoutMs, err);
      lock.lock();
      continue;
    }
    if (out_.empty())
      out_ready_.wait(lock);
    else
      out_ready_.wait_until(lock, out_.front().due);
  }
}

uint64_t LinePort::Corrupted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return to_terminal_.Corrupted() + to_library_.Corrupted();
}

uint64_t LinePort::Dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return to_terminal_.Dropped() + to_library_.Dropped();
}

}  // namespace korvane::sim
