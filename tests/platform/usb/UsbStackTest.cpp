// The USB stand-in end to end: a small client driver talks to the simulated
// headset through IofCallDriver on its PDO.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#include "driver/DeviceParameter.h"
#include "driver/SettingsStore.h"
#include "kernel/format.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/SimDevice.h"
#include "tests/platform/usb/UsbTestDriver.h"
#include "tests/support/KernelTest.h"

namespace {

using platform::usb::HubPort;
using usbtest::IsoPipeline;
using usbtest::UsbTestDriver;
namespace hs = sim::headset;

class UsbStackTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    device = hs::Create();
    port = std::make_unique<HubPort>(device.get());
    driver = std::make_unique<UsbTestDriver>(port->Pdo());
  }
  void TearDown() override {
    driver.reset();
    port.reset();
    device.reset();
    KernelTest::TearDown();
  }

  // Reads the descriptors and selects the configuration through URBs.
  void Configure() {
    std::vector<UCHAR> head, config;
    ASSERT_EQ(driver->GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &head, 9), STATUS_SUCCESS);
    ASSERT_EQ(head.size(), 9u);
    ASSERT_EQ(driver->GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &config, head[2] | head[3] << 8),
              STATUS_SUCCESS);
    ASSERT_EQ(driver->SelectConfiguration(config), STATUS_SUCCESS);
  }

  static USHORT UnitIndex(UCHAR unit) { return static_cast<USHORT>(unit << 8 | hs::kControlInterface); }

  // One transfer waiting on the status endpoint for a 2-byte word.
  PIRP PollStatus(URB* urb, UCHAR* word, PKEVENT done) {
    *urb = {};
    UsbBuildInterruptOrBulkTransferRequest(urb, sizeof(URB_BULK_OR_INTERRUPT_TRANSFER),
                                           driver->Pipe(hs::kStatusEndpoint), word, nullptr, 2,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    KeClearEvent(done);
    return driver->SubmitAsync(urb, done);
  }

  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<HubPort> port;
  std::unique_ptr<UsbTestDriver> driver;
};

// The whole road: descriptors, configuration, alternate settings, class
// requests, both isochronous directions for a second, a status word.
TEST_F(UsbStackTest, ClientDriverStreamsBothWaysThroughThePdo) {
  std::vector<UCHAR> deviceDescriptor;
  ASSERT_EQ(driver->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &deviceDescriptor, 18), STATUS_SUCCESS);
  EXPECT_EQ(deviceDescriptor, hs::Descriptors().device);
  Configure();
  ASSERT_EQ(device->Configuration(), 1);

  // Volume of the render feature unit's left channel: set, read back.
  std::vector<UCHAR> volume{0x00, 0xF6};  // -10 dB
  ASSERT_EQ(driver->ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, USB_AUDIO_SET_CUR, 0x0201,
                                 UnitIndex(hs::kRenderFeatureUnit), &volume),
            STATUS_SUCCESS);
  std::vector<UCHAR> readBack(2);
  ASSERT_EQ(driver->ClassRequest(URB_FUNCTION_CLASS_INTERFACE, true, USB_AUDIO_GET_CUR, 0x0201,
                                 UnitIndex(hs::kRenderFeatureUnit), &readBack),
            STATUS_SUCCESS);
  EXPECT_EQ(readBack, volume);
  std::vector<UCHAR> tooLoud{0x00, 0x10};
  EXPECT_EQ(driver->ClassRequest(URB_FUNCTION_CLASS_INTERFACE, false, USB_AUDIO_SET_CUR, 0x0201,
                                 UnitIndex(hs::kRenderFeatureUnit), &tooLoud),
            STATUS_UNSUCCESSFUL);  // stalled

  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  ASSERT_EQ(driver->SelectInterface(hs::kCaptureInterface, 1), STATUS_SUCCESS);
  std::vector<UCHAR> rate{0x80, 0xBB, 0x00};
  ASSERT_EQ(
      driver->ClassRequest(URB_FUNCTION_CLASS_ENDPOINT, false, USB_AUDIO_SET_CUR, 0x0100, hs::kCaptureEndpoint, &rate),
      STATUS_SUCCESS);
  ASSERT_NE(driver->Pipe(hs::kRenderEndpoint), nullptr);
  ASSERT_NE(driver->Pipe(hs::kCaptureEndpoint), nullptr);

  // Render: a ramp of 16-bit samples, explicit start frames; capture: ASAP
  // against the device's ramp source.
  device->Source(hs::kCaptureEndpoint).SetRamp();
  uint16_t renderCounter = 0;
  IsoPipeline::Options out;
  out.firstFrame = port->CurrentFrame() + 2;
  out.asap = false;
  IsoPipeline render(
      port->Pdo(), driver->Pipe(hs::kRenderEndpoint), out,
      [&](UCHAR* buffer, ULONG length) {
        for (ULONG i = 0; i + 1 < length; i += 2, ++renderCounter) std::memcpy(buffer + i, &renderCounter, 2);
      },
      nullptr);
  std::vector<uint16_t> captured;
  ULONG capturePacketErrors = 0;
  IsoPipeline::Options in;
  in.in = true;
  in.packetBytes = hs::kCaptureMaxPacket;
  IsoPipeline capture(port->Pdo(), driver->Pipe(hs::kCaptureEndpoint), in, nullptr, [&](PIRP irp, PURB urb) {
    if (!NT_SUCCESS(irp->IoStatus.Status)) return;
    auto& it = urb->UrbIsochronousTransfer;
    for (ULONG p = 0; p < it.NumberOfPackets; ++p) {
      if (!USBD_SUCCESS(it.IsoPacket[p].Status)) ++capturePacketErrors;
      const auto* bytes = static_cast<const UCHAR*>(it.TransferBuffer) + it.IsoPacket[p].Offset;
      for (ULONG i = 0; i + 1 < it.IsoPacket[p].Length; i += 2)
        captured.push_back(uint16_t(bytes[i] | bytes[i + 1] << 8));
    }
  });
  ASSERT_EQ(render.Start(), STATUS_SUCCESS);
  ASSERT_EQ(capture.Start(), STATUS_SUCCESS);
  EXPECT_EQ(render.InFlight(), 10u);

  // The interrupt endpoint: one URB waiting for a status word.
  UCHAR status[2] = {};
  URB interrupt;
  KEVENT interruptDone;
  KeInitializeEvent(&interruptDone, NotificationEvent, FALSE);
  PIRP interruptIrp = PollStatus(&interrupt, status, &interruptDone);

  platform::usb::StepFrames(500);
  EXPECT_EQ(KeReadStateEvent(&interruptDone), 0);
  device->SetControlValue(hs::kRenderFeatureUnit, USB_AUDIO_FU_VOLUME_CONTROL, 1, {0x00, 0xEC}, true);
  platform::usb::StepFrames(500);
  EXPECT_NE(KeReadStateEvent(&interruptDone), 0);
  EXPECT_EQ(interruptIrp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(interrupt.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
  EXPECT_EQ(status[0], USB_AUDIO_STATUS_INTERRUPT_PENDING);
  EXPECT_EQ(status[1], hs::kRenderFeatureUnit);
  driver->FreeAsync(interruptIrp);

  render.Stop();
  capture.Stop();
  platform::usb::StepFrames(110);  // ten URBs of 10 ms drain
  EXPECT_EQ(render.InFlight(), 0u);
  EXPECT_EQ(capture.InFlight(), 0u);
  EXPECT_EQ(render.RuleBreaks() + capture.RuleBreaks(), 0u);

  // A second of render: every packet once, in frame order, carrying the ramp.
  const auto& sink = device->Sink(hs::kRenderEndpoint);
  const auto stats = sink.GetStats();
  EXPECT_GE(stats.packets, 1000u);
  EXPECT_EQ(stats.packets, render.Completions() * 10);
  EXPECT_EQ(stats.gaps + stats.reordered + stats.strayPackets + stats.overruns, 0u);
  const sim::Bytes data = sink.Data();
  ASSERT_EQ(data.size(), stats.packets * 192);
  for (size_t i = 0; i < data.size() / 2; ++i)
    ASSERT_EQ(uint16_t(data[2 * i] | data[2 * i + 1] << 8), uint16_t(i)) << "sample " << i;

  // A second of capture: the device's counter arrives without a hole or a repeat.
  EXPECT_GE(captured.size(), 48000u);
  EXPECT_EQ(capturePacketErrors, 0u);
  for (size_t i = 0; i < captured.size(); ++i) ASSERT_EQ(captured[i], uint16_t(i)) << "sample " << i;
}

TEST_F(UsbStackTest, IsochronousStartFramesAndPacketErrors) {
  Configure();
  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  platform::usb::StepFrames(5);

  struct Outcome {
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    ULONG startFrame;
    ULONG errorCount;
    USBD_STATUS fourthPacket;
  };
  auto sendOne = [&](ULONG flags, ULONG startFrame) {
    std::vector<UCHAR> urbBytes(GET_ISO_URB_SIZE(10), 0);
    std::vector<UCHAR> buffer(1920, 0);
    auto& it = reinterpret_cast<PURB>(urbBytes.data())->UrbIsochronousTransfer;
    it.Hdr.Length = static_cast<USHORT>(urbBytes.size());
    it.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    it.PipeHandle = driver->Pipe(hs::kRenderEndpoint);
    it.TransferFlags = flags;
    it.TransferBuffer = buffer.data();
    it.TransferBufferLength = 1920;
    it.NumberOfPackets = 10;
    it.StartFrame = startFrame;
    for (ULONG i = 0; i < 10; ++i) it.IsoPacket[i] = {i * 192, 192, 0};
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = driver->SubmitAsync(reinterpret_cast<PURB>(urbBytes.data()), &done);
    platform::usb::StepFrames(12);
    EXPECT_NE(KeReadStateEvent(&done), 0);
    Outcome o{irp->IoStatus.Status, it.Hdr.Status, it.StartFrame, it.ErrorCount, it.IsoPacket[3].Status};
    driver->FreeAsync(irp);
    return o;
  };

  Outcome late = sendOne(0, port->CurrentFrame());  // the frame in progress is too late
  EXPECT_EQ(late.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(late.usbdStatus, USBD_STATUS_BAD_START_FRAME);
  EXPECT_EQ(sendOne(0, port->CurrentFrame() - 3).usbdStatus, USBD_STATUS_BAD_START_FRAME);
  EXPECT_EQ(sendOne(0, port->CurrentFrame() + 2000).usbdStatus, USBD_STATUS_BAD_START_FRAME);
  EXPECT_EQ(port->BadStartFrames(), 3u);

  // The fourth packet of the next URB fails on the wire.
  device->AddIsoFault({hs::kRenderEndpoint, USBD_STATUS_XACT_ERROR, device->IsoPackets() + 3, 1, 1});
  const ULONG asapFrame = port->CurrentFrame() + 1;
  Outcome faulted = sendOne(USBD_START_ISO_TRANSFER_ASAP, 0);
  EXPECT_EQ(faulted.status, STATUS_SUCCESS);
  EXPECT_EQ(faulted.usbdStatus, USBD_STATUS_SUCCESS);
  EXPECT_EQ(faulted.startFrame, asapFrame);  // ASAP writes back the frame it chose
  EXPECT_EQ(faulted.errorCount, 1u);
  EXPECT_EQ(faulted.fourthPacket, USBD_STATUS_XACT_ERROR);
  EXPECT_EQ(device->Sink(hs::kRenderEndpoint).GetStats().packets, 9u);
}

TEST_F(UsbStackTest, MalformedIsochronousRequestsFailWithoutReachingTheDevice) {
  Configure();
  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  struct Case {
    const char* name;
    std::function<void(URB_ISOCH_TRANSFER&)> spoil;
    USBD_STATUS expected;
  };
  const std::vector<Case> cases = {
      {"no packets", [](URB_ISOCH_TRANSFER& it) { it.NumberOfPackets = 0; }, USBD_STATUS_INVALID_PARAMETER},
      {"URB shorter than its packets", [](URB_ISOCH_TRANSFER& it) { it.Hdr.Length = 100; },
       USBD_STATUS_INVALID_PARAMETER},
      {"packet larger than wMaxPacketSize", [](URB_ISOCH_TRANSFER& it) { it.IsoPacket[1].Offset = 400; },
       USBD_STATUS_INVALID_PARAMETER},
      {"offsets past the buffer", [](URB_ISOCH_TRANSFER& it) { it.IsoPacket[9].Offset = 5000; },
       USBD_STATUS_INVALID_PARAMETER},
      {"direction against the pipe", [](URB_ISOCH_TRANSFER& it) { it.TransferFlags |= USBD_TRANSFER_DIRECTION_IN; },
       USBD_STATUS_INVALID_PARAMETER},
      {"unknown pipe handle", [](URB_ISOCH_TRANSFER& it) { it.PipeHandle = &it; }, USBD_STATUS_INVALID_PIPE_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> urbBytes(GET_ISO_URB_SIZE(10), 0), buffer(1920, 0);
    auto* urb = reinterpret_cast<PURB>(urbBytes.data());
    auto& it = urb->UrbIsochronousTransfer;
    it.Hdr.Length = static_cast<USHORT>(urbBytes.size());
    it.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    it.PipeHandle = driver->Pipe(hs::kRenderEndpoint);
    it.TransferFlags = USBD_START_ISO_TRANSFER_ASAP;
    it.TransferBuffer = buffer.data();
    it.TransferBufferLength = 1920;
    it.NumberOfPackets = 10;
    for (ULONG i = 0; i < 10; ++i) it.IsoPacket[i] = {i * 192, 192, 0};
    c.spoil(it);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = driver->SubmitAsync(urb, &done);
    // Even a refusal arrives after the call, on the bus's side.
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_FALSE(NT_SUCCESS(irp->IoStatus.Status));
    EXPECT_EQ(it.Hdr.Status, c.expected);
    driver->FreeAsync(irp);
  }
  EXPECT_EQ(device->IsoPackets(), 0u);
}

TEST_F(UsbStackTest, ControlFaultsReachTheClientAsAHubReportsThem) {
  Configure();
  std::vector<UCHAR> value(1);
  const USHORT fu = UnitIndex(hs::kMicFeatureUnit);
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicFeatureUnit), sim::FaultAction::Stall, 0, 0, 1});
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, USB_AUDIO_GET_CUR, 0x0100, fu, value.data(), nullptr, 1,
                        nullptr);
  EXPECT_EQ(driver->Submit(&urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);

  // A short string descriptor: success with the bytes that came.
  device->AddFault(
      {sim::RequestMatch::GetDescriptor(USB_STRING_DESCRIPTOR_TYPE), sim::FaultAction::ShortReply, 6, 0, 1});
  std::vector<UCHAR> text;
  EXPECT_EQ(driver->GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, &text, 255), STATUS_SUCCESS);
  EXPECT_EQ(text.size(), 6u);

  // Deferred completion: pending from the call, completed by the bus.
  port->SetDeferredControlCompletion(true);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = driver->SubmitAsync(&urb, &done);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(irp->PendingReturned);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  driver->FreeAsync(irp);
  port->SetDeferredControlCompletion(false);

  // A device that never answers: pending until the client cancels.
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicFeatureUnit), sim::FaultAction::Timeout, 0, 0, 1});
  KeClearEvent(&done);
  irp = driver->SubmitAsync(&urb, &done);
  platform::usb::StepFrames(1000);
  EXPECT_EQ(KeReadStateEvent(&done), 0);
  EXPECT_EQ(port->PendingTransfers(), 1u);
  EXPECT_TRUE(IoCancelIrp(irp));
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  driver->FreeAsync(irp);

  // A device that sends more than asked for: a babble the hub reports.
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicFeatureUnit), sim::FaultAction::ReplyLength, 2, 0, 1});
  EXPECT_EQ(driver->Submit(&urb), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_DATA_OVERRUN);

  // The device drops off in the middle of a request: that request and every
  // later one report the device gone.
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicFeatureUnit), sim::FaultAction::DeviceGone, 0, 0, 1});
  EXPECT_EQ(driver->Submit(&urb), STATUS_DEVICE_NOT_CONNECTED);
  std::vector<UCHAR> descriptor;
  EXPECT_EQ(driver->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, 18), STATUS_DEVICE_NOT_CONNECTED);
  ULONG portStatus = 0xFF;
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, 0u);
}

TEST_F(UsbStackTest, InterruptPollErrorCompletesTheWaitingTransfer) {
  Configure();
  UCHAR status[2] = {};
  URB interrupt;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = PollStatus(&interrupt, status, &done);
  device->FailInterruptPolls(USBD_STATUS_XACT_ERROR);
  device->QueueStatusWord(USB_AUDIO_STATUS_INTERRUPT_PENDING, hs::kMicSelector);
  platform::usb::StepFrames(2);
  ASSERT_NE(KeReadStateEvent(&done), 0);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(interrupt.UrbHeader.Status, USBD_STATUS_XACT_ERROR);
  driver->FreeAsync(irp);
  // The word is still there for the next transfer.
  irp = PollStatus(&interrupt, status, &done);
  platform::usb::StepFrames(2);
  ASSERT_NE(KeReadStateEvent(&done), 0);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(status[1], hs::kMicSelector);
  driver->FreeAsync(irp);
}

TEST_F(UsbStackTest, UnplugInTheMiddleOfStreamingFailsEveryTransfer) {
  Configure();
  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  std::vector<NTSTATUS> statuses;
  IsoPipeline render(port->Pdo(), driver->Pipe(hs::kRenderEndpoint), {}, nullptr,
                     [&](PIRP irp, PURB) { statuses.push_back(irp->IoStatus.Status); });
  device->UnplugAfterIsoPackets(55);
  ASSERT_EQ(render.Start(), STATUS_SUCCESS);
  platform::usb::StepFrames(100);
  EXPECT_EQ(render.InFlight(), 0u);
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.front(), STATUS_SUCCESS);
  EXPECT_EQ(statuses.back(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_DEVICE_NOT_CONNECTED), 10);
  EXPECT_FALSE(port->Connected());
  EXPECT_EQ(render.RuleBreaks(), 0u);
}

TEST_F(UsbStackTest, PortStatusResetAndCycle) {
  Configure();
  ULONG portStatus = 0;
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  port->FailPortStatus(STATUS_NO_SUCH_DEVICE, 1);
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_NO_SUCH_DEVICE);
  port->ReportPortStatus(USBD_PORT_ENABLED);  // "port not connected" while the device still answers
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, ULONG{USBD_PORT_ENABLED});
  port->ReportPortStatus(std::nullopt);

  // A reset puts the device back into the configuration and settings the
  // client chose; its pipes stay good.
  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(device->BusResets(), 1u);
  EXPECT_EQ(device->Configuration(), 1);
  EXPECT_EQ(device->AlternateSetting(hs::kRenderInterface), 1);
  EXPECT_EQ(driver->PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, driver->Pipe(hs::kRenderEndpoint)),
            STATUS_SUCCESS);
  port->FailNextPortReset(STATUS_UNSUCCESSFUL);
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_UNSUCCESSFUL);

  // A cycle: the device re-enumerates and this PDO no longer reaches it.
  KEVENT reenumerated;
  KeInitializeEvent(&reenumerated, NotificationEvent, FALSE);
  KIRQL handlerIrql = HIGH_LEVEL;
  port->SetReenumerationHandler([&] {
    handlerIrql = KeGetCurrentIrql();
    KeSetEvent(&reenumerated, IO_NO_INCREMENT, FALSE);
  });
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_SUCCESS);
  KeWaitForSingleObject(&reenumerated, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(handlerIrql, PASSIVE_LEVEL);
  EXPECT_EQ(port->PortCycles(), 1u);
  EXPECT_EQ(device->Configuration(), 0);
  std::vector<UCHAR> descriptor;
  EXPECT_EQ(driver->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, 18), STATUS_DEVICE_NOT_CONNECTED);
  port->Replug();
  EXPECT_EQ(driver->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, 18), STATUS_SUCCESS);
}

struct IdleSeen {
  KIRQL irql = HIGH_LEVEL;
  std::thread::id thread;
  KEVENT called;
};

NTSTATUS SetDevicePower(UsbTestDriver* driver, PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  PIRP power = IoAllocateIrp(pdo->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(power);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = IRP_MN_SET_POWER;
  next->Parameters.Power.Type = DevicePowerState;
  next->Parameters.Power.State.DeviceState = state;
  power->IoStatus.Status = STATUS_NOT_SUPPORTED;
  NTSTATUS status = driver->SendAndWait(power);
  IoFreeIrp(power);
  return status;
}

void IdleCallback(PVOID context) {
  auto* seen = static_cast<IdleSeen*>(context);
  seen->irql = KeGetCurrentIrql();
  seen->thread = std::this_thread::get_id();
  KeSetEvent(&seen->called, IO_NO_INCREMENT, FALSE);
}

TEST_F(UsbStackTest, IdleNotificationSuspendsAndCompletesOnCancel) {
  Configure();
  IdleSeen seen;
  KeInitializeEvent(&seen.called, NotificationEvent, FALSE);
  // The client goes to D2 before the hub may suspend the port.
  EXPECT_EQ(SetDevicePower(driver.get(), port->Pdo(), PowerDeviceD2), STATUS_SUCCESS);
  USB_IDLE_CALLBACK_INFO info{IdleCallback, &seen};
  KEVENT idleDone;
  KeInitializeEvent(&idleDone, NotificationEvent, FALSE);
  NTSTATUS call = STATUS_SUCCESS;
  PIRP idle = driver->IoctlAsync(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof info, &idleDone, &call);
  EXPECT_EQ(call, STATUS_PENDING);
  KeWaitForSingleObject(&seen.called, Executive, KernelMode, FALSE, nullptr);
  platform::usb::StepFrames(1);
  EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  EXPECT_TRUE(port->IdleNotificationPending());
  EXPECT_TRUE(port->Suspended());
  EXPECT_TRUE(device->Suspended());
  // A second request while one is pending is refused.
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof info), STATUS_DEVICE_BUSY);
  // The suspended port still answers its status; a URB is refused.
  ULONG portStatus = 0;
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
  EXPECT_EQ(portStatus, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  std::vector<UCHAR> descriptor;
  EXPECT_EQ(driver->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, 18), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(port->UrbsWhileSuspended(), 1u);

  // Cancelling the request resumes the port.
  EXPECT_TRUE(IoCancelIrp(idle));
  EXPECT_NE(KeReadStateEvent(&idleDone), 0);
  EXPECT_EQ(idle->IoStatus.Status, STATUS_CANCELLED);
  EXPECT_FALSE(port->Suspended());
  IoFreeIrp(idle);
  EXPECT_EQ(SetDevicePower(driver.get(), port->Pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(driver->GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &descriptor, 18), STATUS_SUCCESS);

  // Remote wakeup completes a pending request with success.
  KeClearEvent(&idleDone);
  idle = driver->IoctlAsync(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof info, &idleDone, &call);
  platform::usb::StepFrames(1);
  port->RemoteWake();
  EXPECT_NE(KeReadStateEvent(&idleDone), 0);
  EXPECT_EQ(idle->IoStatus.Status, STATUS_SUCCESS);
  IoFreeIrp(idle);

  port->RefuseIdleNotifications(STATUS_NOT_SUPPORTED);
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof info), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(driver->Ioctl(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, 0), STATUS_INVALID_PARAMETER);
}

// A client cancels a request before the hub has it (IoCancelIrp finds no
// cancel routine and only sets the flag). The hub sees the flag when it
// sets its own cancel routine and completes the request with
// STATUS_CANCELLED without waiting for a frame or the device, and an idle
// request never suspends the port.
TEST_F(UsbStackTest, RequestCancelledBeforeTheHubHadItCompletesAtOnce) {
  Configure();
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);

  IdleSeen seen;
  KeInitializeEvent(&seen.called, NotificationEvent, FALSE);
  USB_IDLE_CALLBACK_INFO info{IdleCallback, &seen};
  NTSTATUS call = STATUS_PENDING;
  driver->CancelNextBeforeSending();
  PIRP irp = driver->IoctlAsync(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, &info, sizeof info, &done, &call);
  EXPECT_EQ(call, STATUS_CANCELLED);
  EXPECT_NE(KeReadStateEvent(&done), 0);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
  IoFreeIrp(irp);
  platform::clock::Advance(0);
  EXPECT_EQ(KeReadStateEvent(&seen.called), 0) << "the idle callback ran for a cancelled request";
  EXPECT_FALSE(port->IdleNotificationPending());
  EXPECT_FALSE(port->Suspended());

  // Requests the hub keeps until the device answers: a control request the
  // device never answers, and an interrupt poll with nothing to report.
  URB urb{};
  std::vector<UCHAR> value(1);
  UCHAR word[2] = {};
  device->AddFault({sim::RequestMatch::ClassToUnit(hs::kMicFeatureUnit), sim::FaultAction::Timeout, 0, 0, 1});
  const std::vector<std::pair<const char*, std::function<PIRP()>>> requests = {
      {"control",
       [&] {
         UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_INTERFACE, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                               USBD_TRANSFER_DIRECTION_IN, 0, USB_AUDIO_GET_CUR, 0x0100,
                               UnitIndex(hs::kMicFeatureUnit), value.data(), nullptr, 1, nullptr);
         driver->CancelNextBeforeSending();
         return driver->SubmitAsync(&urb, &done);
       }},
      {"interrupt",
       [&] {
         driver->CancelNextBeforeSending();
         return PollStatus(&urb, word, &done);
       }},
  };
  for (const auto& [name, send] : requests) {
    SCOPED_TRACE(name);
    KeClearEvent(&done);
    irp = send();
    platform::clock::Advance(0);  // no frame passes
    ASSERT_NE(KeReadStateEvent(&done), 0);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(port->PendingTransfers(), 0u);
    driver->FreeAsync(irp);
  }
}

// The PDO is an installed device, as plug and play leaves one: hardware
// IDs from the device descriptor, a "Device Parameters" key, and the
// driver's software key with "Settings" under it, where the settings store
// keeps its values. A port configured with its own IDs and key uses those.
TEST_F(UsbStackTest, PdoCarriesTheKeysOfAnInstalledDevice) {
  const std::u16string kClass = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
  auto hardwareIds = [](PDEVICE_OBJECT pdo) {
    std::vector<WCHAR> ids(256);
    ULONG size = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, static_cast<ULONG>(ids.size() * sizeof(WCHAR)),
                                  ids.data(), &size),
              STATUS_SUCCESS);
    return std::u16string(ids.data(), ids.data() + size / sizeof(WCHAR));
  };
  auto setParameter = [](PDEVICE_OBJECT pdo, ULONG value) {
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"SelectiveSuspendEnabled");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    ZwClose(key);
  };
  auto storedSetting = [&](const std::u16string& driverKey) {
    std::vector<UCHAR> data;
    EXPECT_TRUE(platform::registry::GetValue(kClass + driverKey + u"\\Settings", u"IniVersion", nullptr, &data));
    return data.size() == 4 ? data[0] | data[1] << 8 | data[2] << 16 | data[3] << 24 : -1;
  };

  const sim::DescriptorSet& d = device->Descriptors();
  char vidPid[32];
  std::snprintf(vidPid, sizeof vidPid, "USB\\VID_%04X&PID_%04X", d.VendorId(), d.ProductId());
  const std::u16string base = platform::Widen(vidPid);
  EXPECT_EQ(hardwareIds(port->Pdo()).substr(0, base.size() + 5), base + u"&REV_");

  platform::usb::HubPortConfig custom;
  custom.hardwareIds = {u"USB\\VID_1234&PID_5678&MI_00", u"USB\\VID_1234&PID_5678"};
  custom.instanceId = u"7&1&0&3";
  custom.driverKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0003";
  std::unique_ptr<sim::SimDevice> other = hs::Create();
  HubPort configured(other.get(), custom);
  EXPECT_EQ(hardwareIds(configured.Pdo()), custom.hardwareIds[0] + u'\0' + custom.hardwareIds[1] + u'\0' + u'\0');

  struct Case {
    const char* name;
    PDEVICE_OBJECT pdo;
    std::u16string driverKey;
    ULONG version;
  };
  for (const Case& c : {Case{"default", port->Pdo(), platform::usb::HubPortConfig{}.driverKey, 7},
                        Case{"configured", configured.Pdo(), custom.driverKey, 9}}) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(platform::registry::KeyExists(kClass + c.driverKey + u"\\Settings"));
    ULONG version = c.version, back = 0;
    EXPECT_EQ(AccessSetting(c.pdo, SETTINGS_WRITE, &version, sizeof version, u"IniVersion"), STATUS_SUCCESS);
    EXPECT_EQ(AccessSetting(c.pdo, SETTINGS_READ, &back, sizeof back, u"IniVersion"), STATUS_SUCCESS);
    EXPECT_EQ(back, c.version);
    EXPECT_EQ(storedSetting(c.driverKey), static_cast<int>(c.version));
    setParameter(c.pdo, 1);
    ULONG enabled = 0;
    EXPECT_EQ(ReadDeviceInstanceParameter(c.pdo, 1, sizeof enabled, &enabled), STATUS_SUCCESS);
    EXPECT_EQ(enabled, 1u);
  }
}

// One registry shared by several devices, as a state folder is: each
// device instance keeps its own driver key from one plug-in to the next, so
// that what one device stored never reaches another.
TEST_F(UsbStackTest, EachDeviceInstanceKeepsADriverKeyOfItsOwn) {
  const std::u16string kClassKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\";
  auto driverKey = [](const HubPort& port) {
    std::vector<WCHAR> key(128);
    ULONG size = 0;
    EXPECT_EQ(IoGetDeviceProperty(port.Pdo(), DevicePropertyDriverKeyName, static_cast<ULONG>(key.size() * sizeof(WCHAR)),
                                  key.data(), &size),
              STATUS_SUCCESS);
    return std::u16string(std::u16string(key.data(), key.data() + size / sizeof(WCHAR)).c_str());
  };
  auto another = [](const char16_t* product) {
    platform::usb::HubPortConfig c;
    c.hardwareIds = {std::u16string(u"USB\\VID_1234&PID_") + product};
    return c;
  };
  EXPECT_EQ(driverKey(*port), kClassKey + u"0000");
  std::unique_ptr<sim::SimDevice> second = hs::Create(), third = hs::Create();
  {
    HubPort b(second.get(), another(u"0002"));
    EXPECT_EQ(driverKey(b), kClassKey + u"0001");
  }
  // Plugged in again, and after a device that came later: the same keys.
  HubPort c(third.get(), another(u"0003"));
  EXPECT_EQ(driverKey(c), kClassKey + u"0002");
  HubPort b(second.get(), another(u"0002"));
  EXPECT_EQ(driverKey(b), kClassKey + u"0001");
  EXPECT_EQ(driverKey(*port), kClassKey + u"0000");
}

TEST_F(UsbStackTest, BusInterfaceAnswersVersionOneWithTheFrameClock) {
  USB_BUS_INTERFACE_USBDI_V1 bus{};
  ASSERT_EQ(driver->QueryBusInterface(&bus), STATUS_SUCCESS);
  EXPECT_EQ(bus.Size, 72);
  EXPECT_EQ(bus.Version, USB_BUSIF_USBDI_VERSION_1);
  EXPECT_EQ(port->BusInterfaceReferences(), 1);
  platform::usb::StepFrames(7);
  ULONG frame = 0;
  ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame, port->CurrentFrame());
  EXPECT_EQ(frame, 1000u + 7);
  EXPECT_FALSE(bus.IsDeviceHighSpeed(bus.BusContext));
  bus.InterfaceDereference(bus.BusContext);
  EXPECT_EQ(port->BusInterfaceReferences(), 0);

  USB_BUS_INTERFACE_USBDI_V1 small{};
  EXPECT_EQ(driver->QueryBusInterface(&small, USB_BUSIF_USBDI_VERSION_1, 64), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(driver->QueryBusInterface(&small, 3), STATUS_NOT_SUPPORTED);

  // Capabilities come from the bus too.
  PIRP irp = IoAllocateIrp(port->Pdo()->StackSize, FALSE);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  next->Parameters.DeviceCapabilities.Capabilities = &caps;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  EXPECT_EQ(driver->SendAndWait(irp), STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceD2, 1u);
  EXPECT_EQ(caps.DeviceWake, PowerDeviceD2);
  IoFreeIrp(irp);
}

TEST_F(UsbStackTest, AbortPipeCancelsWhatIsInFlight) {
  Configure();
  ASSERT_EQ(driver->SelectInterface(hs::kCaptureInterface, 1), STATUS_SUCCESS);
  IsoPipeline::Options in;
  in.in = true;
  in.packetBytes = hs::kCaptureMaxPacket;
  ULONG cancelled = 0;
  IsoPipeline capture(port->Pdo(), driver->Pipe(hs::kCaptureEndpoint), in, nullptr,
                      [&](PIRP irp, PURB) { cancelled += irp->IoStatus.Status == STATUS_CANCELLED; });
  ASSERT_EQ(capture.Start(), STATUS_SUCCESS);
  platform::usb::StepFrames(25);
  EXPECT_EQ(capture.InFlight(), 10u);
  capture.Stop();
  EXPECT_EQ(driver->PipeRequest(URB_FUNCTION_ABORT_PIPE, driver->Pipe(hs::kCaptureEndpoint)), STATUS_SUCCESS);
  platform::usb::StepFrames(1);
  EXPECT_EQ(capture.InFlight(), 0u);
  EXPECT_EQ(cancelled, 10u);
  EXPECT_EQ(capture.RuleBreaks(), 0u);
  // Selecting alternate setting 0 closes the pipe: its handle is refused.
  const USBD_PIPE_HANDLE old = driver->Pipe(hs::kCaptureEndpoint);
  ASSERT_EQ(driver->SelectInterface(hs::kCaptureInterface, 0), STATUS_SUCCESS);
  EXPECT_EQ(driver->PipeRequest(URB_FUNCTION_ABORT_PIPE, old), STATUS_INVALID_PARAMETER);
}

// A high-speed device: 125 us microframes, eight packets a millisecond.
TEST_F(UsbStackTest, HighSpeedPacketsMoveInMicroframes) {
  port.reset();
  device = std::make_unique<sim::SimDevice>(hs::Descriptors(), hs::Profile(), platform::usb::Speed::High);
  port = std::make_unique<HubPort>(device.get());
  driver = std::make_unique<UsbTestDriver>(port->Pdo());
  Configure();
  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  USB_BUS_INTERFACE_USBDI_V1 bus{};
  ASSERT_EQ(driver->QueryBusInterface(&bus), STATUS_SUCCESS);
  EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
  bus.InterfaceDereference(bus.BusContext);

  IsoPipeline::Options out;
  out.urbs = 2;
  out.packetsPerUrb = 80;  // 10 ms
  out.packetBytes = 24;    // 6 frames of 48 kHz stereo per microframe
  IsoPipeline render(port->Pdo(), driver->Pipe(hs::kRenderEndpoint), out, nullptr, nullptr);
  ASSERT_EQ(render.Start(), STATUS_SUCCESS);
  platform::usb::StepFrames(10);
  EXPECT_EQ(render.Completions(), 0u);  // the first URB started a frame after the call
  platform::usb::StepFrames(1);
  EXPECT_EQ(render.Completions(), 1u);
  render.Stop();
  platform::usb::StepFrames(12);
  const auto packets = device->Sink(hs::kRenderEndpoint).Packets();
  ASSERT_GE(packets.size(), 160u);
  EXPECT_EQ(packets[1].interval, packets[0].interval + 1);
  EXPECT_EQ(device->Sink(hs::kRenderEndpoint).GetStats().gaps, 0u);
}

// Fast mode: the frames run as fast as the system keeps up.
TEST_F(UsbStackTest, FastFramePumpRunsTheFramesOnItsOwn) {
  Configure();
  ASSERT_EQ(driver->SelectInterface(hs::kRenderInterface, 1), STATUS_SUCCESS);
  IsoPipeline render(port->Pdo(), driver->Pipe(hs::kRenderEndpoint), {}, nullptr, nullptr);
  ASSERT_EQ(render.Start(), STATUS_SUCCESS);
  const ULONG start = port->CurrentFrame();
  platform::usb::FastFramePump pump(200);
  pump.Wait();
  EXPECT_EQ(port->CurrentFrame(), start + 200);
  EXPECT_GE(render.Completions(), 19u);
  render.Stop();
  platform::usb::StepFrames(12);
  EXPECT_EQ(device->Sink(hs::kRenderEndpoint).GetStats().gaps, 0u);
}

}  // namespace
