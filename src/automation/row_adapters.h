// The link reads rows from a caller's IEnumVARIANT and writes downloaded and CSV rows straight
// into a string collection, without a copy in between.
#pragma once
#include "automation/com_object.h"
#include "automation/ostrel_strings.h"
#include "link/row_stream.h"

namespace korvane::com {

class EnumVariantRowSource final : public RowSource {
 public:
  explicit EnumVariantRowSource(IEnumVARIANT* source) : source_(source) {}
  void Reset() override;
  bool Skip(uint32_t count) override;
  // An element without a text form and a failing enumerator both end the upload as kNotText: a
  // short table must never look complete.
  Fetch Next(std::string& row) override;

 private:
  IEnumVARIANT* source_;
};

class CollectionRowSink final : public RowSink {
 public:
  explicit CollectionRowSink(COstrelStrings& rows) : rows_(rows) {}
  void Clear() override { rows_.Rows().clear(); }
  void Append(std::string_view row) override { rows_.AppendRow(row); }
  void ForEachHeld(const std::function<void(std::string_view)>& visit) const override {
    for (const std::string& row : rows_.Rows()) visit(row);
  }

 private:
  COstrelStrings& rows_;
};

}  // namespace korvane::com
