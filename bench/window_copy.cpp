// The ceiling a window-limited frame protocol can reach over a byte path: the sender keeps at most
// kV3Window frames of kV3MaxFrameSize bytes unacknowledged (every frame due in one write), the
// receiver answers each whole frame with a header-sized acknowledgement (those of one read in one
// write). No CRC, no parsing, no rows: what is left is the path's round trips under v3's window.
//
//   window_copy send FD BYTES [WINDOW]  moves BYTES of payload through FD, as v3 frames would carry
//                                       it (WINDOW frames unacknowledged, default v3's)
//   window_copy receive FD BYTES        takes them, checks every byte, prints the seconds it took
//
// The receiver starts the clock and tells the sender to begin with one byte, so both can be
// started in any order. Exit 1 when the bytes come out wrong or the path fails.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame/frame_buffer.h"
#include "frame/frame_layout.h"

namespace {

using korvane::kFrameHeaderSize;
using korvane::kV3MaxFrameSize;
using korvane::kV3Window;

constexpr size_t kPayloadPerFrame = kV3MaxFrameSize - kFrameHeaderSize;
constexpr size_t kReadChunk = 64 * 1024;

// Payload byte at offset o is kPattern[o % 256]; the table runs one frame past 256 so that any
// frame's payload is one contiguous slice of it.
constexpr size_t kPatternPeriod = 256;
std::vector<uint8_t> MakePattern() {
  std::vector<uint8_t> p(kPatternPeriod + kPayloadPerFrame);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>((i % kPatternPeriod) * 131 + 7);
  return p;
}
const std::vector<uint8_t> kPattern = MakePattern();
const uint8_t* PatternAt(size_t payload_offset) { return kPattern.data() + payload_offset % kPatternPeriod; }

double Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

constexpr long long kMaxWindow = 32767;

// A whole decimal number, or -1.
long long Number(const char* text) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text, &end, 10);
  return (end == text || *end != '\0' || errno != 0 || v < 0 || v > INT32_MAX) ? -1 : v;
}

size_t FrameCount(size_t payload) { return (payload + kPayloadPerFrame - 1) / kPayloadPerFrame; }

// Wire size of frame k (0-based) of a transfer of `payload` bytes.
size_t FrameBytes(size_t k, size_t payload) {
  const size_t body = std::min(kPayloadPerFrame, payload - k * kPayloadPerFrame);
  return kFrameHeaderSize + body;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

ssize_t ReadSome(int fd, uint8_t* buffer, size_t size) {
  for (;;) {
    const ssize_t r = read(fd, buffer, size);
    if (r < 0 && errno == EINTR) continue;
    return r;
  }
}

int Send(int fd, size_t payload, size_t window) {
  const size_t frames = FrameCount(payload);
  std::vector<uint8_t> wire;
  std::vector<uint8_t> in(kReadChunk);
  uint8_t go = 0;
  if (ReadSome(fd, &go, 1) != 1) return 1;
  size_t sent = 0;         // frames written
  size_t acked_bytes = 0;  // acknowledgement bytes read
  while (acked_bytes < frames * kFrameHeaderSize) {
    const size_t acked = acked_bytes / kFrameHeaderSize;
    wire.clear();
    for (; sent < frames && sent < acked + window; ++sent) {
      const size_t n = FrameBytes(sent, payload);
      const size_t base = wire.size();
      wire.resize(base + n, 0);
      std::memcpy(wire.data() + base + kFrameHeaderSize, PatternAt(sent * kPayloadPerFrame), n - kFrameHeaderSize);
    }
    if (!wire.empty() && !WriteAll(fd, wire.data(), wire.size())) return 1;
    const ssize_t r = ReadSome(fd, in.data(), in.size());
    if (r <= 0) return 1;
    acked_bytes += static_cast<size_t>(r);
  }
  // Every frame acknowledged means the receiver has read everything: closing now drops nothing.
  return 0;
}

int Receive(int fd, size_t payload) {
  const size_t frames = FrameCount(payload);
  std::vector<uint8_t> in(kReadChunk);
  const std::vector<uint8_t> acks((kReadChunk / kFrameHeaderSize + 1) * kFrameHeaderSize, 0);
  size_t frame = 0;     // frame being taken in
  size_t in_frame = 0;  // its bytes so far
  bool intact = true;
  const uint8_t go = 'g';
  const double start = Now();
  if (!WriteAll(fd, &go, 1)) return 1;
  while (frame < frames) {
    const ssize_t r = ReadSome(fd, in.data(), in.size());
    if (r <= 0) return 1;
    size_t whole = 0;
    for (size_t i = 0; i < static_cast<size_t>(r);) {
      if (frame >= frames) {
        intact = false;
        break;
      }
      const size_t frame_bytes = FrameBytes(frame, payload);
      const size_t take = std::min(frame_bytes - in_frame, static_cast<size_t>(r) - i);
      // The part of this slice past the header is payload, checked against the pattern.
      const size_t header_left = in_frame < kFrameHeaderSize ? std::min(kFrameHeaderSize - in_frame, take) : 0;
      const size_t body_at = in_frame + header_left - kFrameHeaderSize;
      if (take > header_left && std::memcmp(in.data() + i + header_left, PatternAt(frame * kPayloadPerFrame) + body_at,
                                            take - header_left) != 0)
        intact = false;
      i += take;
      in_frame += take;
      if (in_frame == frame_bytes) {
        ++frame;
        in_frame = 0;
        ++whole;
      }
    }
    if (whole > 0 && !WriteAll(fd, acks.data(), whole * kFrameHeaderSize)) return 1;
  }
  const double seconds = Now() - start;
  if (!intact) {
    std::fprintf(stderr, "window_copy: the bytes came out wrong\n");
    return 1;
  }
  std::printf("%.6f\n", seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* usage = "usage: window_copy send FD BYTES [WINDOW] | receive FD BYTES\n";
  if (argc != 4 && argc != 5) {
    std::fputs(usage, stderr);
    return 2;
  }
  const std::string role = argv[1];
  const long long fd = Number(argv[2]);
  const long long payload = Number(argv[3]);
  const long long window = argc == 5 ? Number(argv[4]) : kV3Window;
  // Frame numbers are 16-bit and compared within half their range, so no window can be wider.
  if (fd < 0 || payload <= 0 || window <= 0 || window > kMaxWindow || (role != "send" && role != "receive") ||
      (role == "receive" && argc == 5)) {
    std::fputs(usage, stderr);
    return 2;
  }
  const auto bytes = static_cast<size_t>(payload);
  return role == "send" ? Send(static_cast<int>(fd), bytes, static_cast<size_t>(window))
                        : Receive(static_cast<int>(fd), bytes);
}
