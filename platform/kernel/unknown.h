// COM-style reference counting for kernel objects: IUnknown, the
// non-delegating inner unknown, and the CUnknownBase every driver object
// derives from. An aggregated object forwards its IUnknown methods to the
// outer (controlling) unknown; a stand-alone object is its own outer.
#pragma once

#include "kernel/ntdef.h"
#include "kernel/pool.h"
#include "kernel/sync.h"

using HRESULT = LONG;

struct IUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID iid, PVOID* object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};
using PUNKNOWN = IUnknown*;

struct INonDelegatingUnknown {
  virtual NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;

 protected:
  ~INonDelegatingUnknown() = default;
};
using PNONDELEGATINGUNKNOWN = INonDelegatingUnknown*;

inline constexpr GUID IID_IUnknown = DEFINE_GUID_VALUE(0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00,
                                                       0x00, 0x00, 0x46);

// Objects are created in pool by the factories (operator new with a pool type
// and tag) and deleted by the last Release; the destructor is virtual so that
// Release deletes the most derived object.
class CUnknownBase : public INonDelegatingUnknown {
 public:
  explicit CUnknownBase(PUNKNOWN outerUnknown)
      : m_InnerUnknown(this), m_OuterUnknown(outerUnknown ? outerUnknown : &m_InnerUnknown) {}
  virtual ~CUnknownBase() = default;

  // The object's non-delegating unknown as a real IUnknown: what a factory
  // hands out, what an aggregating outer object keeps, and the outer unknown
  // of a stand-alone object.
  PUNKNOWN GetInnerUnknown() { return &m_InnerUnknown; }

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IUnknown)) {
      *object = GetInnerUnknown();
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&m_RefCount));
  }
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override {
    LONG count = InterlockedDecrement(&m_RefCount);
    KERNEL_RULE(count >= 0, "Release of an object whose reference count is zero");
    if (count == 0) {
      // Restore a count of one during destruction so that an AddRef/Release
      // pair inside the destructor cannot destroy the object twice.
      m_RefCount = 1;
      delete this;
    }
    return static_cast<ULONG>(count);
  }

  // Kernel objects live in pool: created zeroed by new (PoolType, Tag) and
  // returned to pool by the deleting destructor. A plain new does not compile.
  static void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, POOL_TYPE, ULONG) noexcept;

  PUNKNOWN GetOuterUnknown() const { return m_OuterUnknown; }

 private:
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(CUnknownBase* owner) : m_Owner(owner) {}
    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID iid, PVOID* object) override {
      return m_Owner->NonDelegatingQueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return m_Owner->NonDelegatingAddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return m_Owner->NonDelegatingRelease(); }

   private:
    CUnknownBase* m_Owner;
  };
  InnerUnknown m_InnerUnknown;

 protected:
  volatile LONG m_RefCount = 0;
  PUNKNOWN m_OuterUnknown;
};

// Placed in a class that derives from CUnknownBase and one or more IUnknown
// interfaces: the interfaces' IUnknown methods go to the outer unknown.
#define IMP_FORWARD_UNKNOWN                                                      \
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID iid, PVOID* object) override { \
    return m_OuterUnknown->QueryInterface(iid, object);                           \
  }                                                                               \
  ULONG STDMETHODCALLTYPE AddRef() override { return m_OuterUnknown->AddRef(); }  \
  ULONG STDMETHODCALLTYPE Release() override { return m_OuterUnknown->Release(); }

// Pool-backed allocation for other kernel data: new (PoolType, Tag) T(...)
// gives zeroed pool memory; free it with an explicit destructor call and
// ExFreePool, as driver code does.
void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
void* operator new[](size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
void operator delete(void* p, POOL_TYPE poolType, ULONG tag) noexcept;
void operator delete[](void* p, POOL_TYPE poolType, ULONG tag) noexcept;
