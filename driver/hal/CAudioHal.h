// The base of every hardware model and of the device object. It owns the
// model's two inventories, the topology nodes and the stream engines (one
// reference per entry), and the model's named callback object on which
// control changes are announced to the topology filter. After a derived
// model has filled the inventories (ConfigureDevice), BuildTopology connects
// selectors to the nodes that feed them, binds render engines to the nodes
// that need them, and pushes every persisted node value to the device.
//
// The inventories are written only during Init, on the start path, and read
// afterwards without a lock. Everything runs at PASSIVE_LEVEL.
#pragma once

#include "driver/common/CPointerList.h"
#include "driver/common/PrivateInterfaces.h"

// The shape of a hardware model's factory: the model is created aggregated
// with `outerUnknown` and hands out its non-delegating IUnknown.
using AudioHalFactory = NTSTATUS (*)(PUNKNOWN* innerUnknown, PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct);

constexpr ULONG AUDIO_HAL_TAG = MakeTag("HALB");
constexpr ULONG AUDIO_HAL_NAME_TAG = MakeTag("Temp");

// Selectors with more inputs are left without input nodes.
constexpr ULONG MAX_SELECTOR_INPUTS_REGISTERED = 10;

class CAudioHal : public IAudioHal, public IAdapterPowerManagement, public CUnknownBase {
 public:
  explicit CAudioHal(PUNKNOWN outerUnknown);
  ~CAudioHal() override;

  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

  // ---- IAudioHal
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG engineIndex, DeviceCapsRecord* caps) override;
  NTSTATUS STDMETHODCALLTYPE GetComponentId(PKSCOMPONENTID componentId) override;
  ULONG STDMETHODCALLTYPE GetStreamEngineCount() override;
  NTSTATUS STDMETHODCALLTYPE GetStreamEngine(ULONG index, IStreamEngine** engine) override;
  ULONG STDMETHODCALLTYPE GetNodeCount() override;
  NTSTATUS STDMETHODCALLTYPE GetNode(ULONG index, ITopoNode** node) override;
  PDEVICE_OBJECT STDMETHODCALLTYPE GetDeviceObject() override { return m_DeviceObject; }
  NTSTATUS STDMETHODCALLTYPE Init(PRESOURCELIST resourceList, PDEVICE_OBJECT deviceObject,
                                  PDEVICE_OBJECT lowerDeviceObject, PDEVICE_OBJECT physicalDeviceObject) override;
  NTSTATUS STDMETHODCALLTYPE Start() override;
  NTSTATUS STDMETHODCALLTYPE Stop() override;
  NTSTATUS STDMETHODCALLTYPE RegisterCallback(PCALLBACK_FUNCTION callback, PVOID context,
                                              PVOID* registration) override;
  NTSTATUS STDMETHODCALLTYPE UnregisterCallback(PVOID registration) override;
  NTSTATUS STDMETHODCALLTYPE CancelIdleRequest() override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE ConfigureDevice() override { return STATUS_NOT_IMPLEMENTED; }
  NTSTATUS STDMETHODCALLTYPE BuildTopology() override;
  NTSTATUS STDMETHODCALLTYPE GetChannelCaps(ULONG direction, ULONG pinCategory, DeviceCapsRecord* caps) override;

  // ---- IAdapterPowerManagement
  void STDMETHODCALLTYPE PowerChangeState(POWER_STATE newState) override;
  NTSTATUS STDMETHODCALLTYPE QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
  NTSTATUS STDMETHODCALLTYPE QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) override;

  // ---- Called by the derived models and their parsers
  NTSTATUS AddNode(ITopoNode* node);
  NTSTATUS AddStreamEngine(IStreamEngine* engine);
  // The last node with that id (no reference added).
  NTSTATUS FindNodeById(ULONG nodeId, ITopoNode** node);
  // ApplyToDevice on every node in list order; the first failure stops.
  NTSTATUS ApplyNodesToDevice();
  void RegisterSelectorInputs();
  // Registers the single-source nodes that feed selector input
  // `inputNumber`, the one farthest from the selector first. A chain that
  // runs into itself is device data gone wrong: nothing of it is registered
  // and STATUS_UNSUCCESSFUL is returned.
  NTSTATUS RegisterSelectorInputChain(ULONG inputNumber, ISelector* selector, ULONG nodeId);
  // Announces a change of a node's control values on the callback object.
  void NotifyControlChange(ULONG nodeId);

  PCALLBACK_OBJECT GetHalCallbackObject() const { return m_CallbackObject; }
  DEVICE_POWER_STATE GetDevicePowerState() const { return m_DevicePowerState; }

 protected:
  // Releases every node and engine and frees both lists.
  void ReleaseInventories();

  PDEVICE_OBJECT m_DeviceObject = nullptr;
  PDEVICE_OBJECT m_LowerDeviceObject = nullptr;
  PDEVICE_OBJECT m_PhysicalDeviceObject = nullptr;
  DEVICE_POWER_STATE m_DevicePowerState = PowerDeviceUnspecified;
  PCALLBACK_OBJECT m_CallbackObject = nullptr;
  CPointerList* m_Nodes = nullptr;          // ITopoNode*, one reference each
  CPointerList* m_StreamEngines = nullptr;  // IStreamEngine*, one reference each
  DeviceCapsRecord m_Caps{};
};
