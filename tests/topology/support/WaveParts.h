// The parts around a wave miniport that stand for the rest of the driver
// and for port class: a hardware model holding one stream engine, and a
// WaveCyclic port that only counts its Notify calls. Free of the test
// framework, so that benches use them too.
#pragma once

#include "driver/hal/CAudioHal.h"
#include "portcls/portcls.h"

namespace wavetest {

// A hardware model holding one engine; the caps record is fixed.
class WaveModel final : public CAudioHal {
 public:
  explicit WaveModel(IStreamEngine* engine) : CAudioHal(nullptr), m_Engine(engine) {}
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return AddStreamEngine(m_Engine); }
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) override {
    if (engineIndex != 0) return STATUS_INVALID_PARAMETER;
    *caps = {4, {}, 0x1234, 0, DEVICE_CAPS_FLAG_ASIO, 0};
    return STATUS_SUCCESS;
  }
  IAudioHal* Hal() { return this; }

 private:
  IStreamEngine* m_Engine;
};

// The port: Notify is counted, everything else refused.
class FakePort final : public IPortWaveCyclic, public CUnknownBase {
 public:
  FakePort() : CUnknownBase(nullptr) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override {
    if (object && (IsEqualGUIDAligned(iid, IID_IPortWaveCyclic) || IsEqualGUIDAligned(iid, IID_IPort))) {
      *object = static_cast<IPortWaveCyclic*>(this);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  NTSTATUS STDMETHODCALLTYPE Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE NewRegistryKey(IRegistryKey**, PUNKNOWN, ULONG, ACCESS_MASK, PVOID, ULONG,
                                            PULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  void STDMETHODCALLTYPE Notify(PSERVICEGROUP) override { ++notifications; }
  NTSTATUS STDMETHODCALLTYPE NewSlaveDmaChannel(PDMACHANNEL*, PUNKNOWN, PRESOURCELIST, ULONG, ULONG, BOOLEAN,
                                                ULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  NTSTATUS STDMETHODCALLTYPE NewMasterDmaChannel(PDMACHANNEL*, PUNKNOWN, PRESOURCELIST, ULONG, BOOLEAN, BOOLEAN, ULONG,
                                                 ULONG) override {
    return STATUS_NOT_IMPLEMENTED;
  }
  ULONG notifications = 0;
};

}  // namespace wavetest
