#include "link/answer_ledger.h"

#include <algorithm>
#include <cstring>

#include "link/link_protocol.h"

namespace korvane {

void AnswerLedger::Sent(const uint8_t* message, size_t length) {
  if (length < 1) return;
  std::string code(message + 1, message + length);
  const auto known = std::find(codes_.begin(), codes_.end(), code);
  if (known != codes_.end()) codes_.erase(known);
  if (codes_.size() == kRemembered) codes_.erase(codes_.begin());
  codes_.push_back(std::move(code));
}

bool AnswerLedger::LeftOver(const uint8_t* answer, size_t length, const uint8_t* message, size_t message_length) const {
  if (length < 1) return false;
  if (answer[0] == kRS) return true;
  if (answer[0] != kENQ) return false;
  if (length == message_length && std::memcmp(answer + 1, message + 1, length - 1) == 0) return false;
  const std::string code(answer + 1, answer + length);
  return std::find(codes_.begin(), codes_.end(), code) != codes_.end();
}

}  // namespace korvane
