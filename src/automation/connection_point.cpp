#include "automation/connection_point.h"

#include <olectl.h>

#include <utility>

namespace korvane::com {

namespace {

// Enumerators over a snapshot of items; each copy counts as a module object.
template <class Interface, class Item>
class SnapshotEnum final : public ObjectRoot, public Interface {
 public:
  explicit SnapshotEnum(IUnknown*) : ObjectRoot(nullptr) {}
  HRESULT Initialize() { return S_OK; }
  KORVANE_DELEGATE_IUNKNOWN

  std::vector<Item> items;
  size_t position = 0;

  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (!out || (count != 1 && !fetched)) return E_POINTER;
    ULONG given = 0;
    for (; given < count && position < items.size(); ++given, ++position) {
      out[given] = items[position];
      AddRefItem(out[given]);
    }
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    if (count > items.size() - position) {
      position = items.size();
      return S_FALSE;
    }
    position += count;
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    position = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Interface** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return Boundary([&] {
      Ref<SnapshotEnum> copy;
      if (const HRESULT hr = CreateOwned(copy); FAILED(hr)) return hr;
      for (const Item& item : items) copy->Add(item);
      copy->position = position;
      *out = copy.detach();
      return S_OK;
    });
  }
  void Add(Item item) {
    items.push_back(item);
    AddRefItem(item);  // only once it is held: a failed push_back takes no reference
  }
  ~SnapshotEnum() override {
    for (Item& item : items) ReleaseItem(item);
  }

 protected:
  void* InterfaceFor(REFIID iid) override {
    return IsEqualIID(iid, __uuidof(Interface)) ? static_cast<Interface*>(this) : nullptr;
  }

 private:
  static void AddRefItem(CONNECTDATA& c) { c.pUnk->AddRef(); }
  static void ReleaseItem(CONNECTDATA& c) { c.pUnk->Release(); }
  static void AddRefItem(IConnectionPoint* p) { p->AddRef(); }
  static void ReleaseItem(IConnectionPoint* p) { p->Release(); }
};

using ConnectionsEnum = SnapshotEnum<IEnumConnections, CONNECTDATA>;
using PointsEnum = SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*>;

}  // namespace

HRESULT NewConnectionPointEnum(IConnectionPoint* point, IEnumConnectionPoints** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Boundary([&] {
    Ref<PointsEnum> e;
    if (const HRESULT hr = CreateOwned(e); FAILED(hr)) return hr;
    e->Add(point);
    *out = e.detach();
    return S_OK;
  });
}

STDMETHODIMP EventConnectionPoint::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
    *out = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP EventConnectionPoint::GetConnectionInterface(IID* iid) {
  if (!iid) return E_POINTER;
  *iid = events_;
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** out) {
  if (!out) return E_POINTER;
  container_.AddRef();
  *out = &container_;
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
  if (!sink || !cookie) return E_POINTER;
  *cookie = 0;
  // The sink is called through IDispatch: one that cannot be is refused now, not at the event.
  Ref<IDispatch> dispatch;
  if (FAILED(sink->QueryInterface(events_, reinterpret_cast<void**>(dispatch.put()))) &&
      FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.put()))))
    return CONNECT_E_CANNOTCONNECT;
  for (size_t i = 0; i < sinks_.size(); ++i) {
    if (!sinks_[i]) {
      sinks_[i] = std::move(dispatch);
      *cookie = static_cast<DWORD>(i + 1);
      return S_OK;
    }
  }
  return Boundary([&] {
    sinks_.push_back(std::move(dispatch));
    *cookie = static_cast<DWORD>(sinks_.size());
    return S_OK;
  });
}

STDMETHODIMP EventConnectionPoint::Unadvise(DWORD cookie) {
  if (cookie == 0 || cookie > sinks_.size() || !sinks_[cookie - 1]) return CONNECT_E_NOCONNECTION;
  Ref<IDispatch> gone = std::move(sinks_[cookie - 1]);  // released after the entry is empty
  sinks_[cookie - 1] = Ref<IDispatch>();
  return S_OK;
}

STDMETHODIMP EventConnectionPoint::EnumConnections(IEnumConnections** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Boundary([&] {
    Ref<ConnectionsEnum> e;
    if (const HRESULT hr = CreateOwned(e); FAILED(hr)) return hr;
    for (size_t i = 0; i < sinks_.size(); ++i)
      if (sinks_[i]) e->Add(CONNECTDATA{sinks_[i].get(), static_cast<DWORD>(i + 1)});
    *out = e.detach();
    return S_OK;
  });
}

HRESULT EventConnectionPoint::Find(REFIID events, IConnectionPoint** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualIID(events, events_)) return CONNECT_E_NOCONNECTION;
  AddRef();
  *out = this;
  return S_OK;
}

void EventConnectionPoint::Fire(DISPID id, VARIANTARG* args, UINT count) {
  DISPPARAMS params{args, nullptr, count, 0};
  // Index walk: a sink advised or unadvised meanwhile changes entries, not the walk.
  for (size_t i = 0; i < sinks_.size(); ++i) {
    Ref<IDispatch> sink = sinks_[i];
    if (!sink) continue;
    sink->Invoke(id, IID_NULL, kEventLocale, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
}

}  // namespace korvane::com
