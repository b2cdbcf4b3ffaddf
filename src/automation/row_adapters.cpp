#include "automation/row_adapters.h"

#include "automation/bstr_text.h"

namespace korvane::com {

void EnumVariantRowSource::Reset() { source_->Reset(); }

bool EnumVariantRowSource::Skip(uint32_t count) { return source_->Skip(count) == S_OK; }

RowSource::Fetch EnumVariantRowSource::Next(std::string& row) {
  VARIANT element;
  ::VariantInit(&element);
  ULONG fetched = 0;
  const HRESULT hr = source_->Next(1, &element, &fetched);
  if (FAILED(hr)) return Fetch::kNotText;
  if (hr != S_OK || fetched != 1) {
    ::VariantClear(&element);
    return Fetch::kEnd;
  }
  Fetch result = Fetch::kRow;
  if (V_VT(&element) == VT_BSTR) {
    if (FAILED(BstrToAnsi(V_BSTR(&element), row))) result = Fetch::kNotText;
  } else {
    VARIANT text;
    ::VariantInit(&text);
    if (FAILED(::VariantChangeType(&text, &element, 0, VT_BSTR)) || FAILED(BstrToAnsi(V_BSTR(&text), row)))
      result = Fetch::kNotText;
    ::VariantClear(&text);
  }
  ::VariantClear(&element);
  return result;
}

}  // namespace korvane::com
