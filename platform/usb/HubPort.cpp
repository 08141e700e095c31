#include "usb/HubPort.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "usb/usbdlib.h"

namespace platform::usb {

namespace {

constexpr LONGLONG kFrameTicks = 10000;  // 1 ms in 100-ns units
constexpr ULONG kMaxIsoPackets = 1024;

NTSTATUS StatusFromUsbd(USBD_STATUS s) {
  if (USBD_SUCCESS(s)) return STATUS_SUCCESS;
  switch (s) {
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

std::u16string Hex4(unsigned v) {
  static const char16_t digits[] = u"0123456789ABCDEF";
  std::u16string s;
  for (int shift = 12; shift >= 0; shift -= 4) s += digits[(v >> shift) & 0xF];
  return s;
}

PVOID TransferBufferOf(PVOID buffer, MDL* mdl) {
  if (buffer) return buffer;
  return mdl ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

struct PassiveWork {
  HubPort* port;
  std::function<void()> work;
};

void PassiveThreadMain(PVOID context) {
  auto* w = static_cast<PassiveWork*>(context);
  w->work();
  delete w;
}

constexpr char16_t kClassRoot[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";

}  // namespace

// ---- Construction --------------------------------------------------------------------

HubPort::HubPort(UsbFunction* function, const HubPortConfig& config) : m_Function(function), m_Config(config) {
  // Enumeration: the device descriptor, then an address.
  UCHAR device[18] = {};
  USB_DEFAULT_PIPE_SETUP_PACKET get{0x80, USB_REQUEST_GET_DESCRIPTOR, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18};
  ControlReply reply = m_Function->Control(get, device);
  USB_DEFAULT_PIPE_SETUP_PACKET address{0x00, USB_REQUEST_SET_ADDRESS, 1, 0, 0};
  m_Function->Control(address, nullptr);
  const bool described = reply.outcome == ControlOutcome::Ack && reply.length >= 14;
  const unsigned vid = described ? ReadLe16(device + 8) : 0, pid = described ? ReadLe16(device + 10) : 0,
                 rev = described ? ReadLe16(device + 12) : 0;

  io::PhysicalDeviceConfig pdo;
  pdo.hardwareIds = config.hardwareIds;
  if (pdo.hardwareIds.empty()) {
    std::u16string base = u"USB\\VID_" + Hex4(vid) + u"&PID_" + Hex4(pid);
    pdo.hardwareIds = {base + u"&REV_" + Hex4(rev), base};
  }
  pdo.compatibleIds = {u"USB\\Class_01&SubClass_01&Prot_00", u"USB\\Class_01&SubClass_01", u"USB\\Class_01"};
  pdo.deviceId = pdo.hardwareIds.back();
  pdo.instanceId = config.instanceId;
  pdo.driverKey = config.driverKey;
  pdo.deviceDescription = u"USB Audio Device";
  pdo.stackSize = config.stackSize;
  DEVICE_CAPABILITIES& caps = pdo.capabilities;
  caps.DeviceD1 = 1;
  caps.DeviceD2 = 1;
  caps.Removable = 1;
  caps.WakeFromD2 = 1;
  caps.Address = 1;
  caps.UINumber = 1;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) caps.DeviceState[s] = PowerDeviceD2;
  caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps.SystemWake = PowerSystemSleeping3;
  caps.DeviceWake = PowerDeviceD2;
  m_Pdo = io::CreatePhysicalDevice(pdo);
  KERNEL_RULE(m_Pdo != nullptr, "the hub port could not create its PDO");
  // The key installation gave this instance, which need not be the one asked for.
  WCHAR driverKey[128] = {};
  ULONG size = 0;
  if (!config.driverKey.empty() &&
      NT_SUCCESS(IoGetDeviceProperty(m_Pdo, DevicePropertyDriverKeyName, sizeof driverKey, driverKey, &size)))
    registry::CreateKey(kClassRoot + std::u16string(driverKey) + u"\\Settings");
  io::SetPhysicalDeviceDispatch(m_Pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                [this](PDEVICE_OBJECT d, PIRP irp) { return DispatchInternal(d, irp); });
  io::SetPhysicalDeviceDispatch(m_Pdo, IRP_MJ_PNP, [this](PDEVICE_OBJECT d, PIRP irp) { return DispatchPnp(d, irp); });
  io::SetPhysicalDeviceDispatch(m_Pdo, IRP_MJ_POWER,
                                [this](PDEVICE_OBJECT d, PIRP irp) { return DispatchPower(d, irp); });
  m_Function->Attach(this);
}

HubPort::~HubPort() {
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_Connected = false;
    TakePending(nullptr, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
  }
  CompleteFinished();
  WaitForPassiveThreads();
  for (;;) {
    std::vector<clock::EventId> ticks;
    {
      std::lock_guard<std::recursive_mutex> guard(m_Lock);
      for (const auto& [id, deadline] : m_Ticks) ticks.push_back(id);
      m_Ticks.clear();
    }
    if (ticks.empty()) break;
    for (clock::EventId id : ticks) clock::Cancel(id);
  }
  CompleteFinished();
  m_Function->Attach(nullptr);
  io::DeletePhysicalDevice(m_Pdo);
}

ULONGLONG HubPort::FrameIndexNow() const { return static_cast<ULONGLONG>(clock::Now() / kFrameTicks); }

ULONG HubPort::CurrentFrame() const { return m_Config.frameBase + static_cast<ULONG>(FrameIndexNow()); }

ULONG HubPort::IntervalsPerFrame() const { return m_Function->GetSpeed() == Speed::High ? 8 : 1; }

// ---- Dispatch -----------------------------------------------------------------------------

NTSTATUS HubPort::Complete(PIRP irp, PURB urb, USBD_STATUS usbdStatus, NTSTATUS status) {
  if (urb) urb->UrbHeader.Status = usbdStatus;
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS HubPort::DispatchInternal(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS:
      return GetPortStatus(irp);
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return ResetPort(irp);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
      return CyclePort(irp);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
      return SubmitIdleNotification(irp);
    default:
      return Complete(irp, nullptr, 0, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS HubPort::SubmitUrb(PIRP irp, PURB urb) {
  if (!urb) return Complete(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
  const USHORT function = urb->UrbHeader.Function;
  const bool periodic = function == URB_FUNCTION_ISOCH_TRANSFER || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;

  // Failures of periodic transfers are completed on the clock thread too.
  auto fail = [&](USBD_STATUS usbd, NTSTATUS status) -> NTSTATUS {
    if (!periodic) return Complete(irp, urb, usbd, status);
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    IoMarkIrpPending(irp);
    Transfer t;
    t.irp = irp;
    t.urb = urb;
    FinishLocked(t, usbd, status);
    ScheduleTickLocked(clock::Now());
    return STATUS_PENDING;
  };

  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    if (!m_Connected || m_Removed) return fail(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    if (m_Suspended) {
      ++m_UrbsWhileSuspended;
      return fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_READY);
    }
  }

  auto standard = [](UCHAR dir, UCHAR recipient, UCHAR request, USHORT value, USHORT index, ULONG length) {
    return USB_DEFAULT_PIPE_SETUP_PACKET{MakeRequestType(dir, BMREQUEST_STANDARD, recipient), request, value, index,
                                         static_cast<USHORT>(length)};
  };
  auto recipientOf = [](USHORT f) -> UCHAR {
    switch (f) {
      case URB_FUNCTION_VENDOR_INTERFACE:
      case URB_FUNCTION_CLASS_INTERFACE:
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
      case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
      case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        return BMREQUEST_TO_INTERFACE;
      case URB_FUNCTION_VENDOR_ENDPOINT:
      case URB_FUNCTION_CLASS_ENDPOINT:
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
      case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
      case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        return BMREQUEST_TO_ENDPOINT;
      case URB_FUNCTION_VENDOR_OTHER:
      case URB_FUNCTION_CLASS_OTHER:
      case URB_FUNCTION_SET_FEATURE_TO_OTHER:
      case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        return BMREQUEST_TO_OTHER;
      default:
        return BMREQUEST_TO_DEVICE;
    }
  };

  switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(irp, urb);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(irp, urb);
    case URB_FUNCTION_ISOCH_TRANSFER:
      return QueueIsochronous(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return QueueInterrupt(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return PipeRequest(irp, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      urb->UrbGetCurrentFrameNumber.FrameNumber = CurrentFrame();
      return Complete(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);

    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: {
      auto& r = urb->UrbControlDescriptorRequest;
      if (r.TransferBufferLength > 0xFFFF)
        return Complete(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      auto setup = standard(BMREQUEST_DEVICE_TO_HOST, recipientOf(function), USB_REQUEST_GET_DESCRIPTOR,
                            static_cast<USHORT>(r.DescriptorType << 8 | r.Index), r.LanguageId, r.TransferBufferLength);
      return ControlTransfer(irp, urb, setup, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                             &r.TransferBufferLength);
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
      auto& r = urb->UrbControlGetStatusRequest;
      if (r.TransferBufferLength < 2)
        return Complete(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      auto setup = standard(BMREQUEST_DEVICE_TO_HOST, recipientOf(function), USB_REQUEST_GET_STATUS, 0, r.Index, 2);
      return ControlTransfer(irp, urb, setup, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                             &r.TransferBufferLength);
    }
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: {
      auto& r = urb->UrbControlFeatureRequest;
      const bool set =
          function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
          function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || function == URB_FUNCTION_SET_FEATURE_TO_OTHER;
      auto setup = standard(BMREQUEST_HOST_TO_DEVICE, recipientOf(function),
                            set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE, r.FeatureSelector, r.Index, 0);
      ULONG none = 0;
      return ControlTransfer(irp, urb, setup, nullptr, &none);
    }
    case URB_FUNCTION_GET_CONFIGURATION: {
      auto& r = urb->UrbControlGetConfigurationRequest;
      auto setup = standard(BMREQUEST_DEVICE_TO_HOST, BMREQUEST_TO_DEVICE, USB_REQUEST_GET_CONFIGURATION, 0, 0, 1);
      return ControlTransfer(irp, urb, setup, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                             &r.TransferBufferLength);
    }
    case URB_FUNCTION_GET_INTERFACE: {
      auto& r = urb->UrbControlGetInterfaceRequest;
      auto setup =
          standard(BMREQUEST_DEVICE_TO_HOST, BMREQUEST_TO_INTERFACE, USB_REQUEST_GET_INTERFACE, 0, r.Interface, 1);
      return ControlTransfer(irp, urb, setup, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                             &r.TransferBufferLength);
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      auto& r = urb->UrbControlVendorClassRequest;
      if (r.TransferBufferLength > 0xFFFF)
        return Complete(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                          function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
      const UCHAR dir =
          (r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? BMREQUEST_DEVICE_TO_HOST : BMREQUEST_HOST_TO_DEVICE;
      USB_DEFAULT_PIPE_SETUP_PACKET setup{
          static_cast<UCHAR>(MakeRequestType(dir, vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS, recipientOf(function)) |
                             r.RequestTypeReservedBits),
          r.Request, r.Value, r.Index, static_cast<USHORT>(r.TransferBufferLength)};
      return ControlTransfer(irp, urb, setup, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                             &r.TransferBufferLength);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      auto& r = urb->UrbControlTransfer;
      USB_DEFAULT_PIPE_SETUP_PACKET setup;
      std::memcpy(&setup, r.SetupPacket, sizeof setup);
      if (r.TransferBufferLength > 0xFFFF || setup.wLength > r.TransferBufferLength)
        return Complete(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
      return ControlTransfer(irp, urb, setup, TransferBufferOf(r.TransferBuffer, r.TransferBufferMDL),
                             &r.TransferBufferLength);
    }
    default:
      return Complete(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
  }
}

NTSTATUS HubPort::ControlTransfer(PIRP irp, PURB urb, const USB_DEFAULT_PIPE_SETUP_PACKET& setup, PVOID buffer,
                                  ULONG* transferLength) {
  if (setup.wLength > 0 && !buffer) return Complete(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const bool in = (setup.bmRequestType & 0x80) != 0;
  ControlReply reply = m_Function->Control(setup, static_cast<UCHAR*>(buffer));
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  switch (reply.outcome) {
    case ControlOutcome::Ack:
      if (in) *transferLength = reply.length;
      break;
    case ControlOutcome::Stall:
      usbd = USBD_STATUS_STALL_PID;
      *transferLength = 0;
      break;
    case ControlOutcome::Overrun:
      usbd = USBD_STATUS_DATA_OVERRUN;
      *transferLength = reply.length;
      break;
    case ControlOutcome::Gone:
      usbd = USBD_STATUS_DEVICE_GONE;
      *transferLength = 0;
      break;
    case ControlOutcome::NoResponse: {
      std::lock_guard<std::recursive_mutex> guard(m_Lock);
      Transfer t;
      t.irp = irp;
      t.urb = urb;
      t.kind = Transfer::Control;
      Pend(irp, t);
      return STATUS_PENDING;
    }
  }
  const NTSTATUS status = StatusFromUsbd(usbd);
  if (!m_DeferControl) return Complete(irp, urb, usbd, status);
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  IoMarkIrpPending(irp);
  Transfer t;
  t.irp = irp;
  t.urb = urb;
  FinishLocked(t, usbd, status);
  ScheduleTickLocked(clock::Now());
  return STATUS_PENDING;
}

// ---- Configurations, interfaces and pipes ---------------------------------------------------

HubPort::Pipe* HubPort::FindOpenPipe(USBD_PIPE_HANDLE handle) {
  for (auto& p : m_Pipes)
    if (p.get() == handle) return p->open ? p.get() : nullptr;
  return nullptr;
}

USBD_STATUS HubPort::OpenInterface(const UCHAR* config, size_t length, PUSBD_INTERFACE_INFORMATION info, ULONG room) {
  const USB_INTERFACE_DESCRIPTOR* d =
      FindInterface(config, length, config, info->InterfaceNumber, info->AlternateSetting, -1, -1, -1);
  if (!d) return USBD_STATUS_INTERFACE_NOT_FOUND;
  const ULONG pipes = d->bNumEndpoints;
  if (room < GET_USBD_INTERFACE_SIZE(pipes)) return USBD_STATUS_BUFFER_TOO_SMALL;
  std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints;
  const UCHAR* at = reinterpret_cast<const UCHAR*>(d) + d->bLength;
  while (endpoints.size() < pipes) {
    const USB_COMMON_DESCRIPTOR* c = FindDescriptor(config, length, at, -1);
    if (!c || c->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
    if (c->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE)
      endpoints.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(c));
    at = reinterpret_cast<const UCHAR*>(c) + c->bLength;
  }
  if (endpoints.size() < pipes) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;

  for (auto& p : m_Pipes)
    if (p->open && p->interfaceNumber == info->InterfaceNumber) {
      TakePending(p.get(), USBD_STATUS_CANCELED, STATUS_CANCELLED);
      p->open = false;
    }
  m_InterfaceHandles.push_back(std::make_unique<UCHAR>(info->InterfaceNumber));
  info->Class = d->bInterfaceClass;
  info->SubClass = d->bInterfaceSubClass;
  info->Protocol = d->bInterfaceProtocol;
  info->InterfaceHandle = m_InterfaceHandles.back().get();
  info->NumberOfPipes = pipes;
  const bool high = m_Function->GetSpeed() == Speed::High;
  for (ULONG i = 0; i < pipes; ++i) {
    auto pipe = std::make_unique<Pipe>();
    USBD_PIPE_INFORMATION& p = info->Pipes[i];
    p.MaximumPacketSize = endpoints[i]->wMaxPacketSize;
    p.EndpointAddress = endpoints[i]->bEndpointAddress;
    p.Interval = endpoints[i]->bInterval;
    p.PipeType = static_cast<USBD_PIPE_TYPE>(endpoints[i]->bmAttributes & USB_ENDPOINT_TYPE_MASK);
    p.PipeHandle = pipe.get();
    pipe->info = p;
    pipe->interfaceNumber = info->InterfaceNumber;
    pipe->alternate = info->AlternateSetting;
    if (high && p.PipeType == UsbdPipeTypeIsochronous)
      pipe->intervalsPerPacket = 1u << (std::clamp<int>(p.Interval, 1, 16) - 1);
    m_Pipes.push_back(std::move(pipe));
  }
  m_Alternates[info->InterfaceNumber] = info->AlternateSetting;
  return USBD_STATUS_SUCCESS;
}

NTSTATUS HubPort::SelectConfiguration(PIRP irp, PURB urb) {
  auto& sc = urb->UrbSelectConfiguration;
  if (urb->UrbHeader.Length < offsetof(URB_SELECT_CONFIGURATION, Interface))
    return Complete(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    for (auto& p : m_Pipes)
      if (p->open) {
        TakePending(p.get(), USBD_STATUS_CANCELED, STATUS_CANCELLED);
        p->open = false;
      }
    m_Alternates.clear();
    const PUSB_CONFIGURATION_DESCRIPTOR config = sc.ConfigurationDescriptor;
    const ULONG extent = ConfigurationExtent(config);
    USB_DEFAULT_PIPE_SETUP_PACKET set{0x00, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0};
    if (!config) {
      m_Function->Control(set, nullptr);
      m_ConfigHandle.reset();
      m_ConfigCopy.clear();
    } else if (extent < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
               config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
      usbd = USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    } else {
      const auto* bytes = reinterpret_cast<const UCHAR*>(config);
      std::vector<UCHAR> copy(bytes, bytes + extent);
      set.wValue = config->bConfigurationValue;
      ControlReply reply = m_Function->Control(set, nullptr);
      if (reply.outcome == ControlOutcome::Gone) usbd = USBD_STATUS_DEVICE_GONE;
      if (reply.outcome != ControlOutcome::Ack && USBD_SUCCESS(usbd)) usbd = USBD_STATUS_SET_CONFIG_FAILED;
      size_t offset = offsetof(URB_SELECT_CONFIGURATION, Interface);
      for (ULONG n = 0; USBD_SUCCESS(usbd) && n < copy[4]; ++n) {
        if (offset + GET_USBD_INTERFACE_SIZE(0) > urb->UrbHeader.Length) {
          usbd = USBD_STATUS_BUFFER_TOO_SMALL;
          break;
        }
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
        if (info->Length < GET_USBD_INTERFACE_SIZE(0) || offset + info->Length > urb->UrbHeader.Length) {
          usbd = USBD_STATUS_BUFFER_TOO_SMALL;
          break;
        }
        usbd = OpenInterface(copy.data(), copy.size(), info, info->Length);
        if (USBD_SUCCESS(usbd) && info->AlternateSetting != 0) {
          USB_DEFAULT_PIPE_SETUP_PACKET alt{0x01, USB_REQUEST_SET_INTERFACE, info->AlternateSetting,
                                            info->InterfaceNumber, 0};
          if (m_Function->Control(alt, nullptr).outcome != ControlOutcome::Ack) usbd = USBD_STATUS_STALL_PID;
        }
        offset += info->Length;
      }
      if (USBD_SUCCESS(usbd)) {
        m_ConfigCopy = std::move(copy);
        m_ConfigHandle = std::make_unique<UCHAR>(m_ConfigCopy[5]);
        sc.ConfigurationHandle = m_ConfigHandle.get();
      }
    }
  }
  return Complete(irp, urb, usbd, StatusFromUsbd(usbd));
}

NTSTATUS HubPort::SelectInterface(PIRP irp, PURB urb) {
  auto& si = urb->UrbSelectInterface;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    const ULONG room = urb->UrbHeader.Length > offsetof(URB_SELECT_INTERFACE, Interface)
                           ? urb->UrbHeader.Length - offsetof(URB_SELECT_INTERFACE, Interface)
                           : 0;
    if (room < GET_USBD_INTERFACE_SIZE(0) || si.Interface.Length > room) {
      usbd = USBD_STATUS_INVALID_PARAMETER;
    } else if (!m_ConfigHandle || si.ConfigurationHandle != m_ConfigHandle.get()) {
      usbd = USBD_STATUS_INVALID_PARAMETER;
    } else {
      const UCHAR* config = m_ConfigCopy.data();
      const USB_INTERFACE_DESCRIPTOR* d = FindInterface(
          config, m_ConfigCopy.size(), config, si.Interface.InterfaceNumber, si.Interface.AlternateSetting, -1, -1, -1);
      if (!d) {
        usbd = USBD_STATUS_INTERFACE_NOT_FOUND;
      } else if (si.Interface.Length < GET_USBD_INTERFACE_SIZE(d->bNumEndpoints)) {
        usbd = USBD_STATUS_BUFFER_TOO_SMALL;
      } else {
        USB_DEFAULT_PIPE_SETUP_PACKET alt{0x01, USB_REQUEST_SET_INTERFACE, si.Interface.AlternateSetting,
                                          si.Interface.InterfaceNumber, 0};
        ControlReply reply = m_Function->Control(alt, nullptr);
        if (reply.outcome == ControlOutcome::Gone)
          usbd = USBD_STATUS_DEVICE_GONE;
        else if (reply.outcome != ControlOutcome::Ack)
          usbd = USBD_STATUS_STALL_PID;
        else
          usbd = OpenInterface(config, m_ConfigCopy.size(), &si.Interface, si.Interface.Length);
      }
    }
  }
  return Complete(irp, urb, usbd, StatusFromUsbd(usbd));
}

NTSTATUS HubPort::PipeRequest(PIRP irp, PURB urb) {
  const USHORT function = urb->UrbHeader.Function;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;
  UCHAR endpoint = 0;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    Pipe* pipe = FindOpenPipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) {
      usbd = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else {
      endpoint = pipe->info.EndpointAddress;
      if (function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL ||
          function == URB_FUNCTION_SYNC_RESET_PIPE)
        TakePending(pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED);
      if (function != URB_FUNCTION_ABORT_PIPE) pipe->nextFreeFrame = 0;
    }
  }
  if (USBD_SUCCESS(usbd) &&
      (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_CLEAR_STALL)) {
    USB_DEFAULT_PIPE_SETUP_PACKET clear{0x02, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint, 0};
    ControlReply reply = m_Function->Control(clear, nullptr);
    if (reply.outcome == ControlOutcome::Gone) usbd = USBD_STATUS_DEVICE_GONE;
  }
  return Complete(irp, urb, usbd, StatusFromUsbd(usbd));
}

// ---- Periodic transfers ------------------------------------------------------------------------

void HubPort::Pend(PIRP irp, Transfer transfer) {
  IoMarkIrpPending(irp);
  irp->Tail.Overlay.DriverContext[0] = this;
  IoSetCancelRoutine(irp, &HubPort::CancelRoutine);
  if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled before it was queued.
    FinishLocked(transfer, USBD_STATUS_CANCELED, STATUS_CANCELLED);
    ScheduleTickLocked(clock::Now());
    return;
  }
  m_Pending.push_back(transfer);
}

NTSTATUS HubPort::QueueIsochronous(PIRP irp, PURB urb) {
  auto& it = urb->UrbIsochronousTransfer;
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  Transfer t;
  t.irp = irp;
  t.urb = urb;
  auto fail = [&](USBD_STATUS usbd, NTSTATUS status) {
    IoMarkIrpPending(irp);
    FinishLocked(t, usbd, status);
    ScheduleTickLocked(clock::Now());
    return STATUS_PENDING;
  };
  Pipe* pipe = FindOpenPipe(it.PipeHandle);
  if (!pipe) return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  const bool in = (it.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if (pipe->info.PipeType != UsbdPipeTypeIsochronous || in != USB_ENDPOINT_DIRECTION_IN(pipe->info.EndpointAddress))
    return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const ULONG n = it.NumberOfPackets;
  const ULONG perFrame = std::max<ULONG>(1, IntervalsPerFrame() / pipe->intervalsPerPacket);
  if (n == 0 || n > kMaxIsoPackets || n % perFrame != 0 || urb->UrbHeader.Length < GET_ISO_URB_SIZE(n))
    return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const PVOID buffer = TransferBufferOf(it.TransferBuffer, it.TransferBufferMDL);
  if (!buffer || it.TransferBufferLength == 0) return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  const ULONG maxPacket = pipe->info.MaximumPacketSize & 0x7FF;
  for (ULONG i = 0; i < n; ++i) {
    const ULONG end = i + 1 < n ? it.IsoPacket[i + 1].Offset : it.TransferBufferLength;
    if (it.IsoPacket[i].Offset > end || end > it.TransferBufferLength)
      return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (!in && end - it.IsoPacket[i].Offset > maxPacket * (1 + ((pipe->info.MaximumPacketSize >> 11) & 3)))
      return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  }

  const ULONGLONG now = FrameIndexNow();
  ULONGLONG start;
  if (it.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    start = std::max<ULONGLONG>(pipe->nextFreeFrame, now + 1);
  } else {
    const LONG ahead = static_cast<LONG>(it.StartFrame - CurrentFrame());
    if (ahead <= 0 || static_cast<ULONG>(ahead) >= USBD_ISO_START_FRAME_RANGE) {
      ++m_BadStartFrames;
      return fail(USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL);
    }
    start = now + static_cast<ULONGLONG>(ahead);
  }
  it.StartFrame = m_Config.frameBase + static_cast<ULONG>(start);
  it.ErrorCount = 0;
  for (ULONG i = 0; i < n; ++i) {
    it.IsoPacket[i].Status = USBD_STATUS_NOT_ACCESSED;
    if (in) it.IsoPacket[i].Length = 0;
  }
  const ULONGLONG lastInterval = start * IntervalsPerFrame() + static_cast<ULONGLONG>(n - 1) * pipe->intervalsPerPacket;
  pipe->nextFreeFrame = lastInterval / IntervalsPerFrame() + 1;
  t.pipe = pipe;
  t.kind = Transfer::Isochronous;
  t.startFrame = start;
  Pend(irp, t);
  ScheduleTickLocked(static_cast<LONGLONG>(start + 1) * kFrameTicks);
  return STATUS_PENDING;
}

NTSTATUS HubPort::QueueInterrupt(PIRP irp, PURB urb) {
  auto& b = urb->UrbBulkOrInterruptTransfer;
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  Transfer t;
  t.irp = irp;
  t.urb = urb;
  t.kind = Transfer::Interrupt;
  auto fail = [&](USBD_STATUS usbd, NTSTATUS status) {
    IoMarkIrpPending(irp);
    FinishLocked(t, usbd, status);
    ScheduleTickLocked(clock::Now());
    return STATUS_PENDING;
  };
  Pipe* pipe = FindOpenPipe(b.PipeHandle);
  if (!pipe) return fail(USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
  const bool in = (b.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  if ((pipe->info.PipeType != UsbdPipeTypeInterrupt && pipe->info.PipeType != UsbdPipeTypeBulk) ||
      in != USB_ENDPOINT_DIRECTION_IN(pipe->info.EndpointAddress))
    return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  if (!in) return fail(USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED);
  if (!TransferBufferOf(b.TransferBuffer, b.TransferBufferMDL) || b.TransferBufferLength == 0)
    return fail(USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
  t.pipe = pipe;
  Pend(irp, t);
  pipe->pollPending = true;
  ScheduleTickLocked(static_cast<LONGLONG>(FrameIndexNow() + 1) * kFrameTicks);
  return STATUS_PENDING;
}

void HubPort::InterruptDataReady(UCHAR endpointAddress) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  bool waiting = false;
  for (Transfer& t : m_Pending)
    if (t.kind == Transfer::Interrupt && t.pipe->info.EndpointAddress == endpointAddress) {
      t.pipe->pollPending = true;
      waiting = true;
    }
  if (waiting) ScheduleTickLocked(static_cast<LONGLONG>(FrameIndexNow() + 1) * kFrameTicks);
}

void HubPort::FinishLocked(Transfer& t, USBD_STATUS usbdStatus, NTSTATUS status) {
  t.finalUsbdStatus = usbdStatus;
  t.finalStatus = status;
  m_Finished.push_back(t);
}

void HubPort::CompleteFinished() {
  std::vector<Transfer> finished;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    finished.swap(m_Finished);
  }
  for (Transfer& t : finished) Complete(t.irp, t.urb, t.finalUsbdStatus, t.finalStatus);
}

void HubPort::TakePending(Pipe* pipe, USBD_STATUS usbdStatus, NTSTATUS status) {
  for (size_t i = 0; i < m_Pending.size();) {
    Transfer& t = m_Pending[i];
    if ((pipe && t.pipe != pipe) || IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
      ++i;  // another pipe's, or its cancel routine is about to take it
      continue;
    }
    if (t.kind == Transfer::Isochronous) t.urb->UrbIsochronousTransfer.ErrorCount = t.errors;
    Transfer taken = t;
    m_Pending.erase(m_Pending.begin() + static_cast<std::ptrdiff_t>(i));
    FinishLocked(taken, usbdStatus, status);
  }
  if (!pipe && m_IdleIrp && IoSetCancelRoutine(m_IdleIrp, nullptr) != nullptr) {
    Transfer idle;
    idle.irp = m_IdleIrp;
    m_IdleIrp = nullptr;
    m_Suspended = false;
    FinishLocked(idle, 0, status);
  }
  if (!m_Finished.empty()) ScheduleTickLocked(clock::Now());
}

std::optional<HubPort::Transfer> HubPort::Dequeue(PIRP irp) {
  for (size_t i = 0; i < m_Pending.size(); ++i)
    if (m_Pending[i].irp == irp) {
      Transfer t = m_Pending[i];
      m_Pending.erase(m_Pending.begin() + static_cast<std::ptrdiff_t>(i));
      if (t.kind == Transfer::Isochronous) t.urb->UrbIsochronousTransfer.ErrorCount = t.errors;
      return t;
    }
  return std::nullopt;
}

void HubPort::CancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  auto* self = static_cast<HubPort*>(irp->Tail.Overlay.DriverContext[0]);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  std::optional<Transfer> t;
  {
    std::lock_guard<std::recursive_mutex> guard(self->m_Lock);
    t = self->Dequeue(irp);
  }
  if (t) self->Complete(t->irp, t->urb, USBD_STATUS_CANCELED, STATUS_CANCELLED);
}

// ---- The frame engine -----------------------------------------------------------------------

void HubPort::ScheduleTickLocked(LONGLONG deadline) {
  for (const auto& [id, when] : m_Ticks)
    if (when <= deadline) return;  // an earlier tick will look again
  auto token = std::make_shared<clock::EventId>(0);
  // The tick reads its id only once it holds the lock, which this thread
  // holds until the id is stored.
  clock::EventId id = clock::ScheduleAt(deadline, [this, token] { OnTick(token.get()); });
  *token = id;
  m_Ticks[id] = deadline;
}

void HubPort::ProcessIsochronous(Transfer& t, ULONGLONG lastFrame) {
  auto& it = t.urb->UrbIsochronousTransfer;
  const ULONG n = it.NumberOfPackets;
  const ULONG perFrame = IntervalsPerFrame();
  const bool in = (it.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  auto* buffer = static_cast<UCHAR*>(TransferBufferOf(it.TransferBuffer, it.TransferBufferMDL));
  const UCHAR endpoint = t.pipe->info.EndpointAddress;
  const ULONG maxPacket = (t.pipe->info.MaximumPacketSize & 0x7FF) * (1 + ((t.pipe->info.MaximumPacketSize >> 11) & 3));
  while (t.nextPacket < n && m_Connected) {
    const ULONGLONG interval =
        t.startFrame * perFrame + static_cast<ULONGLONG>(t.nextPacket) * t.pipe->intervalsPerPacket;
    if (interval / perFrame > lastFrame) break;
    USBD_ISO_PACKET_DESCRIPTOR& packet = it.IsoPacket[t.nextPacket];
    const ULONG end = t.nextPacket + 1 < n ? it.IsoPacket[t.nextPacket + 1].Offset : it.TransferBufferLength;
    const ULONG room = end - packet.Offset;
    const ULONGLONG busInterval = static_cast<ULONGLONG>(m_Config.frameBase) * perFrame + interval;
    if (in) {
      ULONG got = 0;
      packet.Status = m_Function->IsoIn(endpoint, busInterval, buffer + packet.Offset, std::min(room, maxPacket), &got);
      packet.Length = got;
    } else {
      packet.Status = m_Function->IsoOut(endpoint, busInterval, buffer + packet.Offset, room);
    }
    if (!USBD_SUCCESS(packet.Status)) ++t.errors;
    ++t.nextPacket;
  }
}

void HubPort::PollInterrupts() {
  std::set<Pipe*> polled;
  for (size_t i = 0; i < m_Pending.size();) {
    Transfer& t = m_Pending[i];
    if (t.kind != Transfer::Interrupt || !t.pipe->pollPending || polled.count(t.pipe)) {
      ++i;
      continue;
    }
    polled.insert(t.pipe);
    auto& b = t.urb->UrbBulkOrInterruptTransfer;
    ULONG length = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    auto* buffer = static_cast<UCHAR*>(TransferBufferOf(b.TransferBuffer, b.TransferBufferMDL));
    if (!m_Function->InterruptIn(t.pipe->info.EndpointAddress, buffer, b.TransferBufferLength, &length, &status)) {
      t.pipe->pollPending = false;  // NAK: wait for the device to have something
      ++i;
      continue;
    }
    if (IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
      ++i;  // being cancelled; the data is lost as on a real bus
      continue;
    }
    b.TransferBufferLength = length;
    if (USBD_SUCCESS(status) && !(b.TransferFlags & USBD_SHORT_TRANSFER_OK) && length < b.TransferBufferLength)
      status = USBD_STATUS_ERROR_SHORT_TRANSFER;
    Transfer done = t;
    m_Pending.erase(m_Pending.begin() + static_cast<std::ptrdiff_t>(i));
    FinishLocked(done, status, StatusFromUsbd(status));
  }
}

void HubPort::OnTick(const clock::EventId* id) {
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_Ticks.erase(*id);
    if (!m_Connected) TakePending(nullptr, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    const ULONGLONG now = FrameIndexNow();
    if (m_Connected && !m_Removed && now > 0) {
      const ULONGLONG lastFrame = now - 1;
      for (size_t i = 0; i < m_Pending.size();) {
        Transfer& t = m_Pending[i];
        if (t.kind != Transfer::Isochronous) {
          ++i;
          continue;
        }
        ProcessIsochronous(t, lastFrame);
        auto& it = t.urb->UrbIsochronousTransfer;
        if (t.nextPacket < it.NumberOfPackets || IoSetCancelRoutine(t.irp, nullptr) == nullptr) {
          ++i;
          continue;
        }
        it.ErrorCount = t.errors;
        const bool allFailed = t.errors == it.NumberOfPackets;
        Transfer done = t;
        m_Pending.erase(m_Pending.begin() + static_cast<std::ptrdiff_t>(i));
        FinishLocked(done, allFailed ? USBD_STATUS_ISOCH_REQUEST_FAILED : USBD_STATUS_SUCCESS,
                     allFailed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
      }
      PollInterrupts();
    }
    // The next frame that has work.
    ULONGLONG next = UINT64_MAX;
    for (const Transfer& t : m_Pending) {
      if (t.kind == Transfer::Isochronous) {
        const ULONGLONG interval =
            t.startFrame * IntervalsPerFrame() + static_cast<ULONGLONG>(t.nextPacket) * t.pipe->intervalsPerPacket;
        next = std::min(next, std::max(interval / IntervalsPerFrame(), now));
      } else if (t.kind == Transfer::Interrupt && t.pipe->pollPending) {
        next = std::min(next, now);
      }
    }
    if (m_Connected && !m_Removed && next != UINT64_MAX)
      ScheduleTickLocked(static_cast<LONGLONG>(next + 1) * kFrameTicks);
  }
  CompleteFinished();
}

// ---- Port requests ----------------------------------------------------------------------------

NTSTATUS HubPort::GetPortStatus(PIRP irp) {
  auto* status = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  if (!status) return Complete(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
  NTSTATUS result = STATUS_SUCCESS;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    if (m_PortStatusFailures > 0) {
      --m_PortStatusFailures;
      result = m_PortStatusFailure;
    } else if (m_ReportedPortStatus) {
      *status = *m_ReportedPortStatus;
    } else {
      *status = m_Connected && !m_Removed ? USBD_PORT_CONNECTED | USBD_PORT_ENABLED : 0;
    }
  }
  return Complete(irp, nullptr, 0, result);
}

NTSTATUS HubPort::ResetPort(PIRP irp) {
  NTSTATUS result = STATUS_SUCCESS;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    if (m_ResetFailure != STATUS_SUCCESS) {
      result = m_ResetFailure;
      m_ResetFailure = STATUS_SUCCESS;
    } else if (!m_Connected || m_Removed) {
      result = STATUS_DEVICE_NOT_CONNECTED;
    } else {
      for (auto& p : m_Pipes)
        if (p->open) TakePending(p.get(), USBD_STATUS_CANCELED, STATUS_CANCELLED);
      ++m_Resets;
      m_Function->BusReset();
      USB_DEFAULT_PIPE_SETUP_PACKET address{0x00, USB_REQUEST_SET_ADDRESS, 1, 0, 0};
      m_Function->Control(address, nullptr);
      // The hub puts the device back into its configuration and settings,
      // so the client's handles stay good.
      if (m_ConfigHandle) {
        USB_DEFAULT_PIPE_SETUP_PACKET set{0x00, USB_REQUEST_SET_CONFIGURATION, m_ConfigCopy[5], 0, 0};
        m_Function->Control(set, nullptr);
        for (const auto& [number, alternate] : m_Alternates)
          if (alternate) {
            USB_DEFAULT_PIPE_SETUP_PACKET alt{0x01, USB_REQUEST_SET_INTERFACE, alternate, number, 0};
            m_Function->Control(alt, nullptr);
          }
      }
      for (auto& p : m_Pipes) p->nextFreeFrame = 0;
    }
  }
  return Complete(irp, nullptr, 0, result);
}

NTSTATUS HubPort::CyclePort(PIRP irp) {
  std::function<void()> handler;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_Removed = true;
    ++m_Cycles;
    TakePending(nullptr, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    for (auto& p : m_Pipes) p->open = false;
    m_ConfigHandle.reset();
    m_ConfigCopy.clear();
    m_Alternates.clear();
    handler = m_OnReenumerate;
  }
  m_Function->BusReset();
  if (handler) RunAtPassive(handler);
  return Complete(irp, nullptr, 0, STATUS_SUCCESS);
}

NTSTATUS HubPort::SubmitIdleNotification(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
  if (!info || stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(USB_IDLE_CALLBACK_INFO) ||
      !info->IdleCallback)
    return Complete(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
  const USB_IDLE_CALLBACK callback = info->IdleCallback;
  const PVOID context = info->IdleContext;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    NTSTATUS refusal = STATUS_SUCCESS;
    if (m_IdleRefusal != STATUS_SUCCESS)
      refusal = m_IdleRefusal;
    else if (m_IdleIrp)
      refusal = STATUS_DEVICE_BUSY;
    else if (!m_Connected || m_Removed)
      refusal = STATUS_DEVICE_NOT_CONNECTED;
    if (refusal == STATUS_SUCCESS) {
      irp->Tail.Overlay.DriverContext[0] = this;
      IoSetCancelRoutine(irp, &HubPort::IdleCancelRoutine);
      // Cancelled before the hub had it: the port is never suspended for it.
      if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
        refusal = STATUS_CANCELLED;
      else
        m_IdleIrp = irp;
    }
    if (refusal != STATUS_SUCCESS) {
      irp->IoStatus.Status = refusal;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return refusal;
    }
    IoMarkIrpPending(irp);
  }
  // The hub is ready to suspend the port at once: it asks the client to
  // power down, then suspends the port if the request is still pending.
  RunAtPassive([this, irp, callback, context] {
    callback(context);
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    if (m_IdleIrp == irp && m_PowerState != PowerDeviceD0) {
      m_Suspended = true;
      m_Function->SetSuspended(true);
    }
  });
  return STATUS_PENDING;
}

void HubPort::IdleCancelRoutine(PDEVICE_OBJECT, PIRP irp) {
  auto* self = static_cast<HubPort*>(irp->Tail.Overlay.DriverContext[0]);
  IoReleaseCancelSpinLock(irp->CancelIrql);
  {
    std::lock_guard<std::recursive_mutex> guard(self->m_Lock);
    if (self->m_IdleIrp == irp) self->m_IdleIrp = nullptr;
    self->m_Suspended = false;
    self->m_Function->SetSuspended(false);
  }
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void HubPort::RemoteWake() {
  PIRP irp = nullptr;
  {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    if (m_IdleIrp && IoSetCancelRoutine(m_IdleIrp, nullptr) != nullptr) {
      irp = m_IdleIrp;
      m_IdleIrp = nullptr;
    }
    m_Suspended = false;
    m_Function->SetSuspended(false);
  }
  if (irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
}

// ---- Plug and play and power ------------------------------------------------------------------

NTSTATUS HubPort::DispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction != IRP_MN_QUERY_INTERFACE || !stack->Parameters.QueryInterface.InterfaceType ||
      !(*stack->Parameters.QueryInterface.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID))
    return io::DefaultPhysicalDeviceDispatch(pdo, irp);
  const USHORT version = stack->Parameters.QueryInterface.Version;
  if (version > USB_BUSIF_USBDI_VERSION_1) return io::DefaultPhysicalDeviceDispatch(pdo, irp);
  const USHORT size = version == USB_BUSIF_USBDI_VERSION_0 ? offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed)
                                                           : sizeof(USB_BUS_INTERFACE_USBDI_V1);
  auto* bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(stack->Parameters.QueryInterface.Interface);
  if (!bus || stack->Parameters.QueryInterface.Size < size) return Complete(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
  std::memset(bus, 0, size);
  bus->Size = size;
  bus->Version = version;
  bus->BusContext = this;
  bus->InterfaceReference = &HubPort::BusInterfaceReference;
  bus->InterfaceDereference = &HubPort::BusInterfaceDereference;
  bus->GetUSBDIVersion = &HubPort::BusGetUsbdiVersion;
  bus->QueryBusTime = &HubPort::BusQueryBusTime;
  bus->SubmitIsoOutUrb = &HubPort::BusSubmitIsoOutUrb;
  bus->QueryBusInformation = &HubPort::BusQueryBusInformation;
  if (version >= USB_BUSIF_USBDI_VERSION_1) bus->IsDeviceHighSpeed = &HubPort::BusIsDeviceHighSpeed;
  BusInterfaceReference(this);
  return Complete(irp, nullptr, 0, STATUS_SUCCESS);
}

NTSTATUS HubPort::DispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_PowerState = stack->Parameters.Power.State.DeviceState;
    if (m_PowerState == PowerDeviceD0 && m_Suspended) {
      m_Suspended = false;
      m_Function->SetSuspended(false);
    }
  }
  return io::DefaultPhysicalDeviceDispatch(pdo, irp);
}

void HubPort::BusInterfaceReference(PVOID context) { ++static_cast<HubPort*>(context)->m_BusInterfaceRefs; }
void HubPort::BusInterfaceDereference(PVOID context) { --static_cast<HubPort*>(context)->m_BusInterfaceRefs; }

void HubPort::BusGetUsbdiVersion(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
  USBD_GetUSBDIVersion(version);
  if (capabilities) *capabilities = 0;
}

NTSTATUS HubPort::BusQueryBusTime(PVOID context, PULONG frame) {
  if (!frame) return STATUS_INVALID_PARAMETER;
  *frame = static_cast<HubPort*>(context)->CurrentFrame();
  return STATUS_SUCCESS;
}

NTSTATUS HubPort::BusSubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS HubPort::BusQueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }

BOOLEAN HubPort::BusIsDeviceHighSpeed(PVOID context) {
  return static_cast<HubPort*>(context)->m_Function->GetSpeed() == Speed::High;
}

// ---- Passive work ---------------------------------------------------------------------------------

void HubPort::RunAtPassive(std::function<void()> work) {
  auto* w = new PassiveWork{this, std::move(work)};
  HANDLE handle = nullptr;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, PassiveThreadMain, w))) {
    delete w;
    return;
  }
  PVOID thread = nullptr;
  if (NT_SUCCESS(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr))) {
    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    m_PassiveThreads.push_back(thread);
  }
  ZwClose(handle);
}

void HubPort::WaitForPassiveThreads() {
  for (;;) {
    PVOID thread = nullptr;
    {
      std::lock_guard<std::recursive_mutex> guard(m_Lock);
      if (m_PassiveThreads.empty()) return;
      thread = m_PassiveThreads.back();
      m_PassiveThreads.pop_back();
    }
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }
}

// ---- Test controls ---------------------------------------------------------------------------------

void HubPort::Unplug() {
  // May be raised by the device in the middle of a tick: the tick fails what
  // is pending.
  m_Connected = false;
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  ScheduleTickLocked(clock::Now());
}

void HubPort::Replug() {
  m_Function->BusReset();
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  for (auto& p : m_Pipes) p->open = false;
  m_ConfigHandle.reset();
  m_ConfigCopy.clear();
  m_Alternates.clear();
  m_Removed = false;
  m_Suspended = false;
  m_Connected = true;
}

void HubPort::ReportPortStatus(std::optional<ULONG> status) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  m_ReportedPortStatus = status;
}

void HubPort::FailPortStatus(NTSTATUS status, int times) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  m_PortStatusFailure = status;
  m_PortStatusFailures = times;
}

void HubPort::FailNextPortReset(NTSTATUS status) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  m_ResetFailure = status;
}

void HubPort::RefuseIdleNotifications(NTSTATUS status) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  m_IdleRefusal = status;
}

void HubPort::SetDeferredControlCompletion(bool deferred) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  m_DeferControl = deferred;
}

void HubPort::SetReenumerationHandler(std::function<void()> handler) {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  m_OnReenumerate = std::move(handler);
}

bool HubPort::Connected() const { return m_Connected && !m_Removed; }

bool HubPort::Suspended() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_Suspended;
}

DEVICE_POWER_STATE HubPort::PowerState() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_PowerState;
}

ULONG HubPort::PortResets() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_Resets;
}

ULONG HubPort::PortCycles() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_Cycles;
}

ULONG HubPort::UrbsWhileSuspended() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_UrbsWhileSuspended;
}

LONG HubPort::BusInterfaceReferences() const { return m_BusInterfaceRefs; }

size_t HubPort::PendingTransfers() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_Pending.size();
}

bool HubPort::IdleNotificationPending() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_IdleIrp != nullptr;
}

ULONG HubPort::BadStartFrames() const {
  std::lock_guard<std::recursive_mutex> guard(m_Lock);
  return m_BadStartFrames;
}

// ---- Frame clock helpers ---------------------------------------------------------------------------

void StepFrames(ULONG frames) { clock::Advance(static_cast<LONGLONG>(frames) * kFrameTicks); }

struct FastFramePump::State {
  std::atomic<bool> stop{false};
  std::thread thread;
};

FastFramePump::FastFramePump(ULONGLONG frames) : m_State(std::make_unique<State>()) {
  State* s = m_State.get();
  s->thread = std::thread([s, frames] {
    for (ULONGLONG done = 0; !s->stop && (frames == 0 || done < frames); ++done) clock::Advance(kFrameTicks);
  });
}

FastFramePump::~FastFramePump() { Stop(); }

void FastFramePump::Stop() {
  m_State->stop = true;
  Wait();
}

void FastFramePump::Wait() {
  if (m_State->thread.joinable()) m_State->thread.join();
}

}  // namespace platform::usb
