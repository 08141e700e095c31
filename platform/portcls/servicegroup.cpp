// Service groups: a stream asks for service (IPortWaveCyclic::Notify) at
// DISPATCH_LEVEL under its own lock; the group's DPC later runs every member
// on the DPC thread.
#include <vector>

#include "portcls/internal.h"

namespace platform::portcls {
namespace {

class CServiceGroup : public CUnknownBase, public IServiceGroup {
 public:
  explicit CServiceGroup(PUNKNOWN outer) : CUnknownBase(outer) {
    KeInitializeSpinLock(&m_Lock);
    KeInitializeDpc(&m_Dpc, &CServiceGroup::DpcRoutine, this);
    KeInitializeTimer(&m_Timer);
  }
  ~CServiceGroup() override {
    KeCancelTimer(&m_Timer);
    KeRemoveQueueDpc(&m_Dpc);
    // A DPC taken off the queue may still be running.
    KeFlushQueuedDpcs();
    for (PSERVICESINK member : m_Members) member->Release();
  }
  STANDIN_FORWARD_UNKNOWN

  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (!object) return STATUS_INVALID_PARAMETER;
    if (IsEqualGUIDAligned(iid, IID_IServiceGroup) || IsEqualGUIDAligned(iid, IID_IServiceSink) ||
        IsEqualGUIDAligned(iid, IID_IUnknown)) {
      *object = static_cast<IServiceGroup*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }

  void STDMETHODCALLTYPE RequestService() override {
    KERNEL_RULE(KeGetCurrentIrql() <= DISPATCH_LEVEL, "RequestService above DISPATCH_LEVEL");
    KeInsertQueueDpc(&m_Dpc, nullptr, nullptr);
  }

  NTSTATUS STDMETHODCALLTYPE AddMember(PSERVICESINK serviceSink) override {
    if (!serviceSink) return STATUS_INVALID_PARAMETER;
    serviceSink->AddRef();
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Members.push_back(serviceSink);
    KeReleaseSpinLock(&m_Lock, irql);
    return STATUS_SUCCESS;
  }

  void STDMETHODCALLTYPE RemoveMember(PSERVICESINK serviceSink) override {
    PSERVICESINK removed = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    for (size_t i = 0; i < m_Members.size(); ++i) {
      if (m_Members[i] == serviceSink) {
        removed = m_Members[i];
        m_Members.erase(m_Members.begin() + static_cast<std::ptrdiff_t>(i));
        break;
      }
    }
    KeReleaseSpinLock(&m_Lock, irql);
    if (removed) removed->Release();
  }

  void STDMETHODCALLTYPE SupportDelayedService() override { m_DelayedSupported = true; }

  void STDMETHODCALLTYPE RequestDelayedService(ULONGLONG timeInterval) override {
    if (!m_DelayedSupported) return;
    LARGE_INTEGER due;
    due.QuadPart = static_cast<LONGLONG>(timeInterval);
    KeSetTimer(&m_Timer, due, &m_Dpc);
  }

  void STDMETHODCALLTYPE CancelDelayedService() override { KeCancelTimer(&m_Timer); }

 private:
  static void DpcRoutine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<CServiceGroup*>(context);
    KeAcquireSpinLockAtDpcLevel(&self->m_Lock);
    for (PSERVICESINK member : self->m_Members) member->RequestService();
    KeReleaseSpinLockFromDpcLevel(&self->m_Lock);
  }

  KSPIN_LOCK m_Lock;
  KDPC m_Dpc;
  KTIMER m_Timer;
  bool m_DelayedSupported = false;
  std::vector<PSERVICESINK> m_Members;
};

}  // namespace
}  // namespace platform::portcls

NTSTATUS PcNewServiceGroup(PSERVICEGROUP* outServiceGroup, PUNKNOWN outerUnknown) {
  if (!outServiceGroup) return STATUS_INVALID_PARAMETER;
  *outServiceGroup = nullptr;
  auto* group = new (NonPagedPool, platform::portcls::kPoolTag) platform::portcls::CServiceGroup(outerUnknown);
  if (!group) return STATUS_INSUFFICIENT_RESOURCES;
  group->NonDelegatingAddRef();
  *outServiceGroup = static_cast<IServiceGroup*>(group);
  return STATUS_SUCCESS;
}
