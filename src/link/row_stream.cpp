#include "link/row_stream.h"

namespace korvane {

bool StringRowList::Skip(uint32_t count) {
  const size_t left = rows_.size() - position_;
  if (count > left) {
    position_ = rows_.size();
    return false;
  }
  position_ += count;
  return true;
}

RowSource::Fetch StringRowList::Next(std::string& row) {
  if (position_ >= rows_.size()) return Fetch::kEnd;
  row = rows_[position_++];
  return Fetch::kRow;
}

void StringRowList::ForEachHeld(const std::function<void(std::string_view)>& visit) const {
  for (const std::string& row : rows_) visit(row);
}

}  // namespace korvane
