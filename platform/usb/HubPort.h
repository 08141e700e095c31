// The simulated USB hub port and the physical device object behind it: the
// bus driver a USB client driver sends its URBs and port requests to.
//
// It serves IRP_MJ_INTERNAL_DEVICE_CONTROL (IOCTL_INTERNAL_USB_SUBMIT_URB,
// GET_PORT_STATUS, RESET_PORT, CYCLE_PORT, SUBMIT_IDLE_NOTIFICATION),
// IRP_MN_QUERY_INTERFACE for the USBDI bus interface (versions 0 and 1),
// device capabilities, and device power IRPs, and it turns URBs into the
// setup packets and per-frame packets its UsbFunction answers.
//
// Timing follows the platform clock. Frames are 1 ms; a high-speed device's
// packets are placed in 125 us microframes, and its frames are still counted
// in milliseconds. Isochronous packets move at the end of their frame, and a
// transfer completes when its last frame has passed, on the clock thread at
// DISPATCH_LEVEL: isochronous and interrupt transfers never complete inside
// the IofCallDriver that submitted them. Control transfers complete inside
// the call unless deferred completion is asked for (a real hub does both).
// Idle callbacks run at PASSIVE_LEVEL on a system thread of their own.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "kernel/nt.h"
#include "usb/function.h"
#include "usb/usbdi.h"

namespace platform::usb {

struct HubPortConfig {
  // Hardware IDs; empty: "USB\VID_vvvv&PID_pppp&REV_rrrr" and
  // "USB\VID_vvvv&PID_pppp" from the device descriptor.
  std::vector<std::u16string> hardwareIds;
  std::u16string instanceId = u"6&2c3d4e5f&0&1";
  // The driver's software key below Control\Class, as the installation of
  // the device's driver leaves it (its "Settings" key is created with it);
  // empty: a device without an installed driver.
  std::u16string driverKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000";
  // The USB frame number at clock time zero.
  ULONG frameBase = 1000;
  CCHAR stackSize = 1;
};

class HubPort final : private PortEvents {
 public:
  // Enumerates `function` (device descriptor, address) and creates its PDO.
  // The function must outlive the port.
  explicit HubPort(UsbFunction* function, const HubPortConfig& config = {});
  // Completes whatever is still pending (STATUS_DEVICE_NOT_CONNECTED) and
  // deletes the PDO; nothing may be attached to it any more.
  ~HubPort();
  HubPort(const HubPort&) = delete;
  HubPort& operator=(const HubPort&) = delete;

  PDEVICE_OBJECT Pdo() const { return m_Pdo; }
  UsbFunction* Function() const { return m_Function; }

  // The current USB frame number (1 ms frames, as QueryBusTime answers).
  ULONG CurrentFrame() const;

  // ---- Port faults and events ----
  // The device drops off the bus: everything pending fails with
  // STATUS_DEVICE_NOT_CONNECTED, and so does everything sent later.
  void Unplug() override;
  // The device is plugged back in (after Unplug or a port cycle) and answers
  // this PDO again, unconfigured.
  void Replug();
  // GET_PORT_STATUS reports `status` instead of the truth (nullopt: truth).
  void ReportPortStatus(std::optional<ULONG> status);
  // The next `times` GET_PORT_STATUS requests fail with `status`.
  void FailPortStatus(NTSTATUS status, int times);
  // The next RESET_PORT fails with `status`.
  void FailNextPortReset(NTSTATUS status);
  // Idle notifications are refused with `status` (e.g. STATUS_NOT_SUPPORTED);
  // STATUS_SUCCESS restores the normal behaviour.
  void RefuseIdleNotifications(NTSTATUS status);
  // The device signals remote wakeup: a pending idle notification completes
  // with STATUS_SUCCESS and the port resumes.
  void RemoteWake();
  // Control transfers complete on the clock thread after the call instead of
  // inside it.
  void SetDeferredControlCompletion(bool deferred);
  // Runs at PASSIVE_LEVEL on a system thread after a port cycle has reset the
  // device (the hub's re-enumeration).
  void SetReenumerationHandler(std::function<void()> handler);

  // ---- Inspection ----
  bool Connected() const;
  bool Suspended() const;
  DEVICE_POWER_STATE PowerState() const;
  ULONG PortResets() const;
  ULONG PortCycles() const;
  ULONG UrbsWhileSuspended() const;
  LONG BusInterfaceReferences() const;
  size_t PendingTransfers() const;
  bool IdleNotificationPending() const;
  // Isochronous URBs that failed their start-frame check.
  ULONG BadStartFrames() const;

 private:
  struct Pipe {
    USBD_PIPE_INFORMATION info{};
    UCHAR interfaceNumber = 0;
    UCHAR alternate = 0;
    ULONG intervalsPerPacket = 1;  // bus intervals (frames or microframes) between packets
    ULONGLONG nextFreeFrame = 0;   // ASAP scheduling: the first frame after the last queued transfer
    bool pollPending = false;      // interrupt IN: the device may have data
    bool open = true;
  };
  struct Transfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    Pipe* pipe = nullptr;
    enum Kind { Isochronous, Interrupt, Control } kind = Isochronous;
    ULONGLONG startFrame = 0;  // isochronous: 64-bit frame index
    ULONG nextPacket = 0;
    ULONG errors = 0;
    USBD_STATUS finalUsbdStatus = USBD_STATUS_SUCCESS;  // once finished
    NTSTATUS finalStatus = STATUS_SUCCESS;
  };

  // PortEvents.
  void InterruptDataReady(UCHAR endpointAddress) override;

  NTSTATUS DispatchInternal(PDEVICE_OBJECT pdo, PIRP irp);
  NTSTATUS DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp);
  NTSTATUS DispatchPower(PDEVICE_OBJECT pdo, PIRP irp);

  NTSTATUS SubmitUrb(PIRP irp, PURB urb);
  NTSTATUS Complete(PIRP irp, PURB urb, USBD_STATUS usbdStatus, NTSTATUS status);
  NTSTATUS ControlTransfer(PIRP irp, PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, PVOID buffer,
                           ULONG* transferLength);
  NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
  NTSTATUS SelectInterface(PIRP irp, PURB urb);
  NTSTATUS QueueIsochronous(PIRP irp, PURB urb);
  NTSTATUS QueueInterrupt(PIRP irp, PURB urb);
  NTSTATUS PipeRequest(PIRP irp, PURB urb);
  NTSTATUS GetPortStatus(PIRP irp);
  NTSTATUS ResetPort(PIRP irp);
  NTSTATUS CyclePort(PIRP irp);
  NTSTATUS SubmitIdleNotification(PIRP irp);

  // Fills an interface information record from the configuration; opens its
  // pipes (closing those of the interface's previous setting).
  USBD_STATUS OpenInterface(const UCHAR* config, size_t length, PUSBD_INTERFACE_INFORMATION info, ULONG room);
  Pipe* FindOpenPipe(USBD_PIPE_HANDLE handle);
  // Takes every pending transfer (of `pipe`, or all) out of the queues for
  // completion with the given status, which a tick on the clock thread
  // carries out at DISPATCH_LEVEL.
  void TakePending(Pipe* pipe, USBD_STATUS usbdStatus, NTSTATUS status);
  void Pend(PIRP irp, Transfer transfer);
  std::optional<Transfer> Dequeue(PIRP irp);

  // The frame engine.
  void ScheduleTickLocked(LONGLONG deadline);
  void OnTick(const clock::EventId* id);
  void ProcessIsochronous(Transfer& t, ULONGLONG lastFrame);
  void PollInterrupts();
  void FinishLocked(Transfer& t, USBD_STATUS usbdStatus, NTSTATUS status);
  void CompleteFinished();
  ULONGLONG FrameIndexNow() const;
  ULONG IntervalsPerFrame() const;

  // PASSIVE_LEVEL work on a system thread of its own.
  void RunAtPassive(std::function<void()> work);
  void WaitForPassiveThreads();

  static void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
  static void IdleCancelRoutine(PDEVICE_OBJECT device, PIRP irp);

  // The USBDI bus interface.
  static void BusInterfaceReference(PVOID context);
  static void BusInterfaceDereference(PVOID context);
  static void BusGetUsbdiVersion(PVOID context, PUSBD_VERSION_INFORMATION version, PULONG capabilities);
  static NTSTATUS BusQueryBusTime(PVOID context, PULONG frame);
  static NTSTATUS BusSubmitIsoOutUrb(PVOID context, PURB urb);
  static NTSTATUS BusQueryBusInformation(PVOID context, ULONG level, PVOID buffer, PULONG length, PULONG actual);
  static BOOLEAN BusIsDeviceHighSpeed(PVOID context);

  UsbFunction* const m_Function;
  const HubPortConfig m_Config;
  PDEVICE_OBJECT m_Pdo = nullptr;

  mutable std::recursive_mutex m_Lock;
  std::atomic<bool> m_Connected{true};
  bool m_Removed = false;  // cycled away: this PDO no longer reaches the device
  bool m_Suspended = false;
  DEVICE_POWER_STATE m_PowerState = PowerDeviceD0;
  bool m_DeferControl = false;
  std::optional<ULONG> m_ReportedPortStatus;
  NTSTATUS m_PortStatusFailure = STATUS_SUCCESS;
  int m_PortStatusFailures = 0;
  NTSTATUS m_ResetFailure = STATUS_SUCCESS;
  NTSTATUS m_IdleRefusal = STATUS_SUCCESS;
  std::function<void()> m_OnReenumerate;

  // Configuration state.
  std::vector<UCHAR> m_ConfigCopy;  // the descriptor of the selected configuration
  std::unique_ptr<UCHAR> m_ConfigHandle;
  std::vector<std::unique_ptr<UCHAR>> m_InterfaceHandles;
  std::vector<std::unique_ptr<Pipe>> m_Pipes;  // every pipe ever opened, so stale handles stay comparable
  std::map<UCHAR, UCHAR> m_Alternates;

  std::vector<Transfer> m_Pending;   // isochronous, interrupt and unanswered control transfers
  std::vector<Transfer> m_Finished;  // taken out, to be completed unlocked
  PIRP m_IdleIrp = nullptr;
  std::map<clock::EventId, LONGLONG> m_Ticks;  // scheduled ticks and their deadlines
  ULONGLONG m_LastProcessedFrame = 0;

  ULONG m_Resets = 0;
  ULONG m_Cycles = 0;
  ULONG m_UrbsWhileSuspended = 0;
  ULONG m_BadStartFrames = 0;
  std::atomic<LONG> m_BusInterfaceRefs{0};
  // System threads that ran PASSIVE_LEVEL work (referenced); the destructor
  // waits for each to end.
  std::vector<PVOID> m_PassiveThreads;
};

// Steps the manual clock by whole USB frames.
void StepFrames(ULONG frames);

// Fast mode for the main job: with the clock in manual mode, a pump thread
// advances it one frame at a time as soon as the system is quiet, so that
// streaming runs as fast as the driver keeps its pipeline filled. It runs
// until stopped, or for `frames` frames when that is not 0.
class FastFramePump {
 public:
  explicit FastFramePump(ULONGLONG frames = 0);
  ~FastFramePump();
  FastFramePump(const FastFramePump&) = delete;
  FastFramePump& operator=(const FastFramePump&) = delete;
  // Stops after the frame in progress.
  void Stop();
  // Waits until the pump has run its frames (or was stopped).
  void Wait();

 private:
  struct State;
  std::unique_ptr<State> m_State;
};

}  // namespace platform::usb
