// The plumbing every automation object shares: reference counting with aggregation, IDispatch over
// the embedded type library, a small owning pointer and creation through a class factory.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include <atomic>
#include <new>
#include <utility>

#include "automation/com_module.h"

namespace korvane::com {

// Every COM method and export runs its body through this: no C++ exception leaves the library,
// and the failure path only returns a constant, so it cannot throw in turn.
template <class Body>
HRESULT Boundary(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// A side effect of a failure path (a log line, a diagnostic record) that may itself fail for want
// of memory: whatever it throws is dropped.
template <class Body>
void Quietly(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// An owning interface pointer: one reference, released when it goes.
template <class T>
class Ref {
 public:
  Ref() = default;
  // Takes over a reference the caller already holds.
  static Ref Adopt(T* p) {
    Ref r;
    r.p_ = p;
    return r;
  }
  explicit Ref(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  Ref(const Ref& o) : Ref(o.p_) {}
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    *this = Ref();
    return &p_;
  }
  // Hands the reference to the caller.
  T* detach() { return std::exchange(p_, nullptr); }

 private:
  T* p_ = nullptr;
};

// One object's reference count and identity. The inner unknown owns the count; the interfaces'
// IUnknown methods go to the controlling unknown: the outer object when aggregated, else the
// inner one. Each live object holds one module reference.
class ObjectRoot {
 public:
  explicit ObjectRoot(IUnknown* outer) : outer_(outer ? outer : &inner_) { inner_.owner = this; }
  virtual ~ObjectRoot() = default;
  ObjectRoot(const ObjectRoot&) = delete;
  ObjectRoot& operator=(const ObjectRoot&) = delete;

  IUnknown* Inner() { return &inner_; }
  IUnknown* Controlling() const { return outer_; }

 protected:
  // The interface pointer that answers `iid` (IUnknown excluded), without a reference; else null.
  virtual void* InterfaceFor(REFIID iid) = 0;
  // Runs once before the object is deleted, with the count held at one so a call made from here
  // cannot delete it twice.
  virtual void FinalRelease() {}

 private:
  struct InnerUnknown final : IUnknown {
    ObjectRoot* owner = nullptr;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
      if (!out) return E_POINTER;
      *out = IsEqualIID(iid, IID_IUnknown) ? static_cast<IUnknown*>(this) : owner->InterfaceFor(iid);
      if (!*out) return E_NOINTERFACE;
      static_cast<IUnknown*>(*out)->AddRef();
      return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++owner->refs_; }
    STDMETHODIMP_(ULONG) Release() override {
      const ULONG n = --owner->refs_;
      if (n == 0) {
        owner->refs_ = 1;
        Quietly([&] { owner->FinalRelease(); });
        delete owner;
      }
      return n;
    }
  };

  InnerUnknown inner_;
  IUnknown* outer_;
  std::atomic<ULONG> refs_{0};
  ModuleReference module_;
};

#define KORVANE_DELEGATE_IUNKNOWN                                                                              \
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override { return Controlling()->QueryInterface(iid, out); } \
  STDMETHODIMP_(ULONG) AddRef() override { return Controlling()->AddRef(); }                                  \
  STDMETHODIMP_(ULONG) Release() override { return Controlling()->Release(); }

// Holds the object alive for the length of a call: an event sink may release it meanwhile.
class CallGuard {
 public:
  explicit CallGuard(IUnknown* controlling) : p_(controlling) { p_->AddRef(); }
  ~CallGuard() { p_->Release(); }
  CallGuard(const CallGuard&) = delete;
  CallGuard& operator=(const CallGuard&) = delete;

 private:
  IUnknown* p_;
};

// IDispatch of a dual interface through its type information. DISPID_NEWENUM also answers as a
// method: script engines ask for it either way.
template <class I>
class DispatchImpl : public I {
 public:
  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return Boundary([&] {
      HRESULT hr = S_OK;
      ITypeInfo* ti = TypeInfoOf(__uuidof(I), &hr);
      if (!ti) return hr;
      ti->AddRef();
      *info = ti;
      return S_OK;
    });
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    return Boundary([&] {
      HRESULT hr = S_OK;
      ITypeInfo* ti = TypeInfoOf(__uuidof(I), &hr);
      if (!ti) return hr;
      return ::DispGetIDsOfNames(ti, names, count, ids);
    });
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* arg_error) override {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return Boundary([&] {
      HRESULT hr = S_OK;
      ITypeInfo* ti = TypeInfoOf(__uuidof(I), &hr);
      if (!ti) return hr;
      if (id == DISPID_NEWENUM && (flags & DISPATCH_METHOD)) flags = DISPATCH_PROPERTYGET;
      DISPPARAMS none{nullptr, nullptr, 0, 0};
      return ::DispInvoke(static_cast<I*>(this), ti, id, flags, params ? params : &none, result, excep, arg_error);
    });
  }
};

// Builds a T for a class factory or for the library's own use. An aggregating caller must ask
// for IUnknown. A constructor that throws frees its memory and ends in the failure result.
template <class T>
HRESULT CreateObject(IUnknown* outer, REFIID iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return Boundary([&] {
    T* object = new T(outer);
    object->Inner()->AddRef();
    const Ref<IUnknown> hold = Ref<IUnknown>::Adopt(object->Inner());
    if (const HRESULT hr = object->Initialize(); FAILED(hr)) return hr;
    return hold->QueryInterface(iid, out);
  });
}

// A new, not aggregated T held by `out` (one reference).
template <class T>
HRESULT CreateOwned(Ref<T>& out) noexcept {
  return Boundary([&] {
    T* object = new T(nullptr);
    object->Inner()->AddRef();
    const Ref<IUnknown> hold = Ref<IUnknown>::Adopt(object->Inner());
    if (const HRESULT hr = object->Initialize(); FAILED(hr)) return hr;
    out = Ref<T>(object);
    return S_OK;
  });
}

}  // namespace korvane::com
