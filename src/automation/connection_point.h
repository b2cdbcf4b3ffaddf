// One outgoing event interface of an object: sinks advised through IConnectionPoint and called
// through their IDispatch. Its reference count is its owner's.
#pragma once
#include <vector>

#include "automation/com_object.h"

namespace korvane::com {

class EventConnectionPoint final : public IConnectionPoint {
 public:
  EventConnectionPoint(IConnectionPointContainer& container, const IID& events) : container_(container), events_(events) {}

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override { return container_.AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return container_.Release(); }

  STDMETHODIMP GetConnectionInterface(IID* iid) override;
  STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** out) override;
  STDMETHODIMP Advise(IUnknown* sink, DWORD* cookie) override;
  STDMETHODIMP Unadvise(DWORD cookie) override;
  STDMETHODIMP EnumConnections(IEnumConnections** out) override;

  // Calls every advised sink in connection order with DISPATCH_METHOD; `args` are in reverse
  // order, as IDispatch takes them. Sinks may advise or unadvise from inside their call.
  void Fire(DISPID id, VARIANTARG* args, UINT count);
  const IID& Events() const { return events_; }
  // IConnectionPointContainer::FindConnectionPoint of an owner with this single point.
  HRESULT Find(REFIID events, IConnectionPoint** out);
  // Drops every sink (the owner is going away).
  void Clear() { sinks_.clear(); }

 private:
  IConnectionPointContainer& container_;
  const IID events_;
  std::vector<Ref<IDispatch>> sinks_;  // cookie = index + 1; an unadvised entry stays empty
};

// The IEnumConnectionPoints an object with a single connection point hands out.
HRESULT NewConnectionPointEnum(IConnectionPoint* point, IEnumConnectionPoints** out);

// The locale events are fired with: the user's default.
constexpr LCID kEventLocale = 0x400;

}  // namespace korvane::com
