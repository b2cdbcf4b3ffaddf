// The commands sent on one connection, so that an answer left over from an earlier exchange (a
// terminal that answered late, or twice) is known for what it is and not taken for the answer to
// the command sent now.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

class AnswerLedger {
 public:
  // `message` is SOH and the command's code.
  void Sent(const uint8_t* message, size_t length);
  void Clear() { codes_.clear(); }
  // True for an answer that is not the echo of `message` and comes from an earlier exchange: a
  // data record, or the echo of another command sent on this connection.
  bool LeftOver(const uint8_t* answer, size_t length, const uint8_t* message, size_t message_length) const;

 private:
  static constexpr size_t kRemembered = 16;
  std::vector<std::string> codes_;  // the latest last
};

}  // namespace korvane
