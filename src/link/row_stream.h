// How rows enter and leave the link: a source that behaves like an automation enumerator and a
// sink, so callers can hold rows in a collection, stream them to a file, or adapt COM objects.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

class RowSource {
 public:
  enum class Fetch { kRow, kEnd, kNotText };

  virtual ~RowSource() = default;
  virtual void Reset() = 0;
  // Moves past `count` elements; false when fewer were left (the position is then at the end).
  virtual bool Skip(uint32_t count) = 0;
  // The next element as text; kNotText for an element without a text form (it is consumed).
  virtual Fetch Next(std::string& row) = 0;
};

class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void Clear() = 0;
  virtual void Append(std::string_view row) = 0;
  // The rows the sink still holds in memory, for the report of an interrupted download; a
  // streaming sink holds none.
  virtual void ForEachHeld(const std::function<void(std::string_view)>& visit) const { (void)visit; }
};

// Rows held in memory: a sink for downloads and CSV reads, a source for uploads and CSV saves.
class StringRowList final : public RowSource, public RowSink {
 public:
  StringRowList() = default;
  explicit StringRowList(std::vector<std::string> rows) : rows_(std::move(rows)) {}

  const std::vector<std::string>& Rows() const { return rows_; }
  std::vector<std::string>& Rows() { return rows_; }

  void Reset() override { position_ = 0; }
  bool Skip(uint32_t count) override;
  Fetch Next(std::string& row) override;

  void Clear() override {
    rows_.clear();
    position_ = 0;
  }
  void Append(std::string_view row) override { rows_.emplace_back(row); }
  void ForEachHeld(const std::function<void(std::string_view)>& visit) const override;

 private:
  std::vector<std::string> rows_;
  size_t position_ = 0;
};

}  // namespace korvane
