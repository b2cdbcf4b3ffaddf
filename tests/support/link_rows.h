// Rows in and out of the link's table operations, as a test sees them.
#pragma once
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "link/row_stream.h"
#include "link/terminal_link.h"

namespace korvane::test {

// The link's row notifications, in order: (rows so far, expected count).
struct Events final : _CAbsRecvSendEvents {
  std::vector<std::pair<long, long>> received;
  std::vector<std::pair<long, long>> sent;
  void RowReceived(long n, long count) override { received.emplace_back(n, count); }
  void RowSent(long n, long count) override { sent.emplace_back(n, count); }
};

// A source whose elements may lack a text form (a null), as an automation collection's may.
class ElementRows final : public RowSource {
 public:
  ElementRows() = default;
  explicit ElementRows(std::vector<std::optional<std::string>> elements) : elements(std::move(elements)) {}
  std::vector<std::optional<std::string>> elements;

  void Reset() override { at_ = 0; }
  bool Skip(uint32_t count) override {
    if (count > elements.size() - at_) {
      at_ = elements.size();
      return false;
    }
    at_ += count;
    return true;
  }
  Fetch Next(std::string& row) override {
    if (at_ >= elements.size()) return Fetch::kEnd;
    const std::optional<std::string>& element = elements[at_++];
    if (!element) return Fetch::kNotText;
    row = *element;
    return Fetch::kRow;
  }

 private:
  size_t at_ = 0;
};

}  // namespace korvane::test
