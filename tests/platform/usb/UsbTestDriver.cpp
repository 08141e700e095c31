#include "tests/platform/usb/UsbTestDriver.h"

#include <cstring>

namespace usbtest {

namespace {

constexpr ULONG kTag = MakeTag("UsbT");

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

thread_local bool t_InsideCall = false;

}  // namespace

PIRP UsbTestDriver::IoctlAsync(ULONG code, PVOID argument1, ULONG inputLength, PKEVENT done, NTSTATUS* callStatus) {
  PIRP irp = IoAllocateIrp(m_Lower->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  if (code == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION) {
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = argument1;
  } else {
    next->Parameters.Others.Argument1 = argument1;
  }
  IoSetCompletionRoutine(irp, SignalEvent, done, TRUE, TRUE, TRUE);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  if (m_CancelNext) {
    m_CancelNext = false;
    EXPECT_FALSE(IoCancelIrp(irp));
  }
  NTSTATUS status = IofCallDriver(m_Lower, irp);
  if (callStatus) *callStatus = status;
  return irp;
}

NTSTATUS UsbTestDriver::Ioctl(ULONG code, PVOID argument1, ULONG inputLength) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  NTSTATUS status;
  PIRP irp = IoctlAsync(code, argument1, inputLength, &done, &status);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  return status;
}

NTSTATUS UsbTestDriver::SendAndWait(PIRP irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalEvent, &done, TRUE, TRUE, TRUE);
  const bool power = IoGetNextIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  NTSTATUS status = power ? PoCallDriver(m_Lower, irp) : IofCallDriver(m_Lower, irp);
  if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS UsbTestDriver::GetDescriptor(UCHAR type, UCHAR index, USHORT language, std::vector<UCHAR>* out, ULONG length) {
  URB urb{};
  out->assign(length, 0);
  UsbBuildGetDescriptorRequest(&urb, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language, out->data(),
                               nullptr, length, nullptr);
  NTSTATUS status = Submit(&urb);
  out->resize(NT_SUCCESS(status) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
  return status;
}

NTSTATUS UsbTestDriver::SelectConfiguration(const std::vector<UCHAR>& bytes) {
  auto* config = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, bytes.size(), kTag));
  std::memcpy(config, bytes.data(), bytes.size());
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  for (LONG number = 0; number < 256 && list.size() < config->bNumInterfaces; ++number)
    if (auto* d = USBD_ParseConfigurationDescriptorEx(config, config, number, 0, -1, -1, -1))
      list.push_back({d, nullptr});
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
  NTSTATUS status = urb ? Submit(urb) : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    m_ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    m_Pipes.clear();
    for (const auto& e : list)
      if (e.Interface)
        for (ULONG p = 0; p < e.Interface->NumberOfPipes; ++p) m_Pipes.push_back(e.Interface->Pipes[p]);
  }
  if (urb) ExFreePool(urb);
  ExFreePool(config);
  return status;
}

NTSTATUS UsbTestDriver::SelectInterface(UCHAR number, UCHAR alternate, std::vector<UCHAR>* infoOut) {
  std::vector<UCHAR> bytes(GET_SELECT_INTERFACE_REQUEST_SIZE(4), 0);
  auto* urb = reinterpret_cast<PURB>(bytes.data());
  // Room for up to four pipes; the bus fills in how many there are.
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(bytes.size()), m_ConfigurationHandle, number, alternate);
  NTSTATUS status = Submit(urb);
  if (NT_SUCCESS(status)) {
    const USBD_INTERFACE_INFORMATION& info = urb->UrbSelectInterface.Interface;
    for (ULONG p = 0; p < info.NumberOfPipes; ++p) {
      auto same = [&](const USBD_PIPE_INFORMATION& x) { return x.EndpointAddress == info.Pipes[p].EndpointAddress; };
      std::erase_if(m_Pipes, same);
      m_Pipes.push_back(info.Pipes[p]);
    }
    if (infoOut)
      infoOut->assign(reinterpret_cast<const UCHAR*>(&info), reinterpret_cast<const UCHAR*>(&info) + info.Length);
  }
  return status;
}

NTSTATUS UsbTestDriver::ClassRequest(USHORT function, bool in, UCHAR request, USHORT value, USHORT index,
                                     std::vector<UCHAR>* data) {
  URB urb{};
  UsbBuildVendorRequest(&urb, function, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request, value, index, data->data(), nullptr,
                        static_cast<ULONG>(data->size()), nullptr);
  NTSTATUS status = Submit(&urb);
  if (in) data->resize(NT_SUCCESS(status) ? urb.UrbControlVendorClassRequest.TransferBufferLength : 0);
  return status;
}

NTSTATUS UsbTestDriver::QueryBusInterface(USB_BUS_INTERFACE_USBDI_V1* bus, USHORT version, USHORT size) {
  PIRP irp = IoAllocateIrp(m_Lower->StackSize, FALSE);
  auto& query = IoGetNextIrpStackLocation(irp)->Parameters.QueryInterface;
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_PNP;
  IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_INTERFACE;
  query = {&USB_BUS_INTERFACE_USBDI_GUID, size, version, reinterpret_cast<PINTERFACE>(bus), nullptr};
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  NTSTATUS status = SendAndWait(irp);
  IoFreeIrp(irp);
  return status;
}

NTSTATUS UsbTestDriver::PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe) {
  URB urb{};
  urb.UrbHeader.Length = sizeof(URB_PIPE_REQUEST);
  urb.UrbHeader.Function = function;
  urb.UrbPipeRequest.PipeHandle = pipe;
  return Submit(&urb);
}

const USBD_PIPE_INFORMATION* UsbTestDriver::PipeInfo(UCHAR endpointAddress) const {
  for (const auto& p : m_Pipes)
    if (p.EndpointAddress == endpointAddress) return &p;
  return nullptr;
}

USBD_PIPE_HANDLE UsbTestDriver::Pipe(UCHAR endpointAddress) const {
  const USBD_PIPE_INFORMATION* p = PipeInfo(endpointAddress);
  return p ? p->PipeHandle : nullptr;
}

// ---- Isochronous pipeline ------------------------------------------------------------------

IsoPipeline::IsoPipeline(PDEVICE_OBJECT lower, USBD_PIPE_HANDLE pipe, Options options, Fill fill, Completed completed)
    : m_Lower(lower), m_Pipe(pipe), m_Options(options), m_Fill(std::move(fill)), m_Completed(std::move(completed)) {
  KeInitializeSpinLock(&m_SendLock);
  for (ULONG i = 0; i < m_Options.urbs; ++i) {
    Slot slot{this, IoAllocateIrp(m_Lower->StackSize, FALSE),
              static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, GET_ISO_URB_SIZE(m_Options.packetsPerUrb), kTag)),
              static_cast<UCHAR*>(
                  ExAllocatePoolWithTag(NonPagedPool, m_Options.packetsPerUrb * m_Options.packetBytes, kTag))};
    m_Slots.push_back(slot);
  }
  m_NextFrame = m_Options.firstFrame;
}

IsoPipeline::~IsoPipeline() {
  // A test that failed half-way may leave URBs in flight: take them back.
  m_Running = false;
  for (Slot& s : m_Slots) IoCancelIrp(s.irp);
  for (int frame = 0; m_InFlight != 0 && frame < 1000; ++frame) platform::usb::StepFrames(1);
  for (Slot& s : m_Slots) {
    IoFreeIrp(s.irp);
    ExFreePool(s.urb);
    ExFreePool(s.buffer);
  }
}

NTSTATUS IsoPipeline::Start() {
  m_Running = true;
  for (Slot& s : m_Slots) {
    NTSTATUS status = Send(s);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// Builds and sends one URB with the send lock held across the call, as a
// stream engine does.
NTSTATUS IsoPipeline::Send(Slot& s) {
  KIRQL old;
  KeAcquireSpinLock(&m_SendLock, &old);
  const ULONG n = m_Options.packetsPerUrb;
  const ULONG length = n * m_Options.packetBytes;
  std::memset(s.urb, 0, GET_ISO_URB_SIZE(n));
  auto& it = s.urb->UrbIsochronousTransfer;
  it.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(n));
  it.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  it.PipeHandle = m_Pipe;
  it.TransferFlags = (m_Options.in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0) |
                     (m_Options.asap ? USBD_START_ISO_TRANSFER_ASAP : 0);
  it.TransferBuffer = s.buffer;
  it.TransferBufferLength = length;
  it.NumberOfPackets = n;
  for (ULONG i = 0; i < n; ++i) {
    it.IsoPacket[i].Offset = i * m_Options.packetBytes;
    it.IsoPacket[i].Length = m_Options.in ? 0 : m_Options.packetBytes;
  }
  if (!m_Options.asap) {
    it.StartFrame = m_NextFrame;
    m_NextFrame += n;  // one packet per frame
  }
  if (!m_Options.in && m_Fill) m_Fill(s.buffer, length);
  IoReuseIrp(s.irp, STATUS_NOT_SUPPORTED);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s.irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = s.urb;
  IoSetCompletionRoutine(s.irp, &IsoPipeline::OnComplete, &s, TRUE, TRUE, TRUE);
  ++m_InFlight;
  t_InsideCall = true;
  NTSTATUS status = IofCallDriver(m_Lower, s.irp);
  t_InsideCall = false;
  KeReleaseSpinLock(&m_SendLock, old);
  return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

NTSTATUS IsoPipeline::OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* slot = static_cast<Slot*>(context);
  IsoPipeline* self = slot->owner;
  if (t_InsideCall || KeGetCurrentIrql() != DISPATCH_LEVEL) ++self->m_RuleBreaks;
  ++self->m_Completions;
  if (self->m_Completed) self->m_Completed(irp, slot->urb);
  const bool resubmit = self->m_Running && NT_SUCCESS(irp->IoStatus.Status);
  --self->m_InFlight;
  if (resubmit) self->Send(*slot);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace usbtest
