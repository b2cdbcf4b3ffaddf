// Arbitrary PC bytes under the terminal's side of the character-block protocol: unit parsing,
// checksums, answers, resends and stale units. Whatever arrives, the terminal hands on only whole
// messages (a command code or a row) and sends only well-formed blocks and answers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "terminal/block_terminal.h"

namespace {

// The terminal's output is a sequence of ACK/NAK pairs, echoes and data blocks.
void CheckOutput(const std::vector<uint8_t>& out) {
  using namespace korvane;
  size_t i = 0;
  while (i < out.size()) {
    const uint8_t lead = out[i];
    if (lead == kBlockACK || lead == kBlockNAK) {
      if (i + 1 >= out.size() || out[i + 1] != lead) std::abort();
      i += kAnswerBlockSize;
    } else if (lead == kBlockENQ) {
      if (i + kCommandBlockSize > out.size() || out[i + 4] != BlockChecksum(&out[i], kCommandBlockSize - 1))
        std::abort();
      i += kCommandBlockSize;
    } else if (lead == kBlockRS) {
      size_t end = i + 1;
      while (end < out.size() && out[end] != kBlockETB) ++end;
      if (end + 1 >= out.size() || out[end + 1] != BlockChecksum(&out[i], end + 1 - i)) std::abort();
      i = end + 2;
    } else {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvane;
  fuzz::Input in(data, size);
  ManualClock clock;
  int outgoing = 0;
  BlockTerminal terminal(
      [](const uint8_t* m, size_t n) {
        const bool command = n == 1 + kCommandChars && m[0] == kBlockSOH;
        const bool row = n >= 1 && m[0] == kBlockRS;
        if (!command && !row) std::abort();
      },
      [&outgoing](std::string& message) {
        if (outgoing >= 4) return false;
        message = (outgoing++ % 2 == 0) ? std::string("\x05"
                                                      "303")
                                        : std::string("\x1E"
                                                      "row");
        return true;
      },
      clock);
  if (in.Byte() & 1) terminal.NakFirstDataBlockOnce();
  while (!in.Empty()) {
    const uint8_t n = in.Byte();
    const std::vector<uint8_t> piece = in.Take(n);
    terminal.Feed(piece.data(), piece.size());
    clock.Advance(in.U16() % (kBlockResendMs + 1000));
    terminal.Poll();
    CheckOutput(terminal.TakeOutput());
  }
  return 0;
}
