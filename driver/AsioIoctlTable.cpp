#include "driver/AsioIoctlTable.h"

#include "driver/common/UnalignedAccess.h"

namespace {

constexpr AsioLength kAny{AsioLengthRule::Any, 0, STATUS_SUCCESS};
constexpr AsioLength AtLeast(ULONG bytes, NTSTATUS failure = STATUS_SUCCESS) {
  return {AsioLengthRule::AtLeast, bytes, failure};
}
constexpr AsioLength Exactly(ULONG bytes, NTSTATUS failure) { return {AsioLengthRule::Exactly, bytes, failure}; }
// A wrong handle length is refused: a host told "success" would believe its
// event was set.
constexpr AsioLength kHandle{AsioLengthRule::Handle, 0, STATUS_INVALID_PARAMETER};

}  // namespace

const AsioIoctlEntry AsioIoctlTable[ASIO_IOCTL_COUNT] = {
    {IOCTL_ASIO_GET_DRIVER_NAME, "IOCTL_ASIO_GET_DRIVER_NAME", AsioOperation::GetDriverName, kAny, kAny,
     AsioInformation::Reported, 0},
    {IOCTL_ASIO_GET_CHANNELS, "IOCTL_ASIO_GET_CHANNELS", AsioOperation::GetChannels, kAny,
     Exactly(ASIO_CHANNELS_RECORD_BYTES, STATUS_INVALID_PARAMETER), AsioInformation::Fixed, ASIO_CHANNELS_RECORD_BYTES},
    {IOCTL_ASIO_GET_CHANNEL_INFO, "IOCTL_ASIO_GET_CHANNEL_INFO", AsioOperation::GetChannelInfo,
     Exactly(ASIO_CHANNEL_INFO_RECORD_BYTES, STATUS_INVALID_PARAMETER),
     AtLeast(ASIO_CHANNEL_INFO_RECORD_BYTES, STATUS_INVALID_PARAMETER), AsioInformation::Fixed,
     ASIO_CHANNEL_INFO_RECORD_BYTES},
    {IOCTL_ASIO_GET_SAMPLE_TYPES, "IOCTL_ASIO_GET_SAMPLE_TYPES", AsioOperation::GetSampleTypes, kAny, kAny,
     AsioInformation::Reported, 0},
    {IOCTL_ASIO_GET_LATENCY_TABLE, "IOCTL_ASIO_GET_LATENCY_TABLE", AsioOperation::GetLatencyTable, kAny, kAny,
     AsioInformation::Reported, 0},
    {IOCTL_ASIO_SET_NOTIFY_EVENT, "IOCTL_ASIO_SET_NOTIFY_EVENT", AsioOperation::SetNotifyEvent, kHandle, kAny,
     AsioInformation::None, 0},
    {IOCTL_ASIO_GET_BUFFERS_CREATED,
     "IOCTL_ASIO_GET_BUFFERS_CREATED",
     AsioOperation::GetBuffersCreated,
     kAny,
     {AsioLengthRule::SizeQuery, sizeof(ULONG), STATUS_BUFFER_TOO_SMALL},
     AsioInformation::Fixed,
     sizeof(ULONG)},
    {IOCTL_ASIO_SET_SAMPLE_TYPE, "IOCTL_ASIO_SET_SAMPLE_TYPE", AsioOperation::SetSampleType, AtLeast(sizeof(ULONG)),
     kAny, AsioInformation::None, 0},
    {IOCTL_ASIO_SET_LATENCY_INDEX, "IOCTL_ASIO_SET_LATENCY_INDEX", AsioOperation::SetLatencyIndex,
     AtLeast(sizeof(ULONG)), kAny, AsioInformation::None, 0},
    {IOCTL_ASIO_GET_LATENCIES, "IOCTL_ASIO_GET_LATENCIES", AsioOperation::GetLatencies, kAny,
     AtLeast(ASIO_LATENCIES_RECORD_BYTES), AsioInformation::OutputLength, 0},
    {IOCTL_ASIO_GET_SAMPLE_RATE, "IOCTL_ASIO_GET_SAMPLE_RATE", AsioOperation::GetSampleRate, kAny,
     AtLeast(sizeof(ULONG)), AsioInformation::OutputLength, 0},
    {IOCTL_ASIO_CAN_SAMPLE_RATE, "IOCTL_ASIO_CAN_SAMPLE_RATE", AsioOperation::CanSampleRate, AtLeast(sizeof(ULONG)),
     kAny, AsioInformation::None, 0},
    {IOCTL_ASIO_SET_SAMPLE_RATE, "IOCTL_ASIO_SET_SAMPLE_RATE", AsioOperation::SetSampleRate, AtLeast(sizeof(ULONG)),
     kAny, AsioInformation::None, 0},
    {IOCTL_ASIO_GET_BUFFER_SIZE, "IOCTL_ASIO_GET_BUFFER_SIZE", AsioOperation::GetBufferSize, kAny,
     AtLeast(ASIO_BUFFER_SIZE_RECORD_BYTES), AsioInformation::OutputLength, 0},
    // The request's channel list is checked against the input length as
    // well (DispatchAsioIoctl): the operation reads every entry it names.
    {IOCTL_ASIO_CREATE_BUFFERS, "IOCTL_ASIO_CREATE_BUFFERS", AsioOperation::CreateBuffers,
     AtLeast(ASIO_CREATE_BUFFERS_HEADER_BYTES, STATUS_INVALID_PARAMETER), kAny, AsioInformation::Reported, 0},
    {IOCTL_ASIO_DISPOSE_BUFFERS, "IOCTL_ASIO_DISPOSE_BUFFERS", AsioOperation::DisposeBuffers, kAny, kAny,
     AsioInformation::None, 0},
    {IOCTL_ASIO_START, "IOCTL_ASIO_START", AsioOperation::Start, kHandle, kAny, AsioInformation::None, 0},
    {IOCTL_ASIO_STOP, "IOCTL_ASIO_STOP", AsioOperation::Stop, kAny, kAny, AsioInformation::None, 0},
    {IOCTL_ASIO_RELEASE_NOTIFY_EVENT, "IOCTL_ASIO_RELEASE_NOTIFY_EVENT", AsioOperation::ReleaseNotifyEvent, kAny, kAny,
     AsioInformation::None, 0},
    {IOCTL_ASIO_CAN_IO_FORMAT, "IOCTL_ASIO_CAN_IO_FORMAT", AsioOperation::CanIoFormat, AtLeast(sizeof(ULONG)), kAny,
     AsioInformation::None, 0},
    {IOCTL_ASIO_SET_IO_FORMAT, "IOCTL_ASIO_SET_IO_FORMAT", AsioOperation::SetIoFormat, AtLeast(sizeof(ULONG)), kAny,
     AsioInformation::None, 0},
    {IOCTL_ASIO_GET_IO_FORMAT, "IOCTL_ASIO_GET_IO_FORMAT", AsioOperation::GetIoFormat, kAny, AtLeast(sizeof(ULONG)),
     AsioInformation::Fixed, sizeof(ULONG)},
};

const AsioIoctlEntry* FindAsioIoctl(ULONG ioControlCode) {
  for (const AsioIoctlEntry& entry : AsioIoctlTable)
    if (entry.Code == ioControlCode) return &entry;
  return nullptr;
}

namespace {

constexpr ULONG kHandleBytes32 = sizeof(ULONG);
constexpr ULONG kHandleBytes64 = sizeof(ULONGLONG);
constexpr ULONG kAddressBytes32 = sizeof(ULONG);
constexpr ULONG kAddressBytes64 = sizeof(ULONGLONG);

// STATUS_SUCCESS when the length meets the rule, else the rule's verdict:
// `refused` tells a turned-away request from a passed one when the verdict
// is itself a success status, and `information` carries a size query's
// answer.
NTSTATUS CheckLength(const AsioLength& rule, ULONG length, bool from32bit, bool* refused, ULONG_PTR* information) {
  bool ok = true;
  switch (rule.Rule) {
    case AsioLengthRule::Any:
      break;
    case AsioLengthRule::AtLeast:
      ok = length >= rule.Bytes;
      break;
    case AsioLengthRule::Exactly:
      ok = length == rule.Bytes;
      break;
    case AsioLengthRule::Handle:
      ok = length == (from32bit ? kHandleBytes32 : kHandleBytes64);
      break;
    case AsioLengthRule::SizeQuery:
      if (length == 0) {
        *refused = true;
        *information = rule.Bytes;
        return STATUS_BUFFER_OVERFLOW;
      }
      ok = length >= rule.Bytes;
      break;
  }
  if (ok) return STATUS_SUCCESS;
  *refused = true;
  return rule.Failure;
}

// A 32-bit process's handle is zero-extended to the kernel's width.
HANDLE ReadHandle(const void* p, bool from32bit) {
  if (from32bit) return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ReadUlong(p)));
  ULONGLONG v;
  std::memcpy(&v, p, sizeof(v));
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(v));
}

// CreateBuffers for a 32-bit caller: the operation writes 64-bit user
// addresses into a temporary buffer twice the caller's size, of which the
// low halves go back to the caller, one 32-bit entry per 64-bit entry.
NTSTATUS CreateBuffersFor32bit(IAsioPrivate* asio, const AsioIoctlRequest& r, ULONG* reported) {
  if (r.OutputLength > MAXULONG / 2) return STATUS_INVALID_PARAMETER;
  ULONG wide = r.OutputLength * 2;
  auto* temp = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, wide ? wide : 1, ASIO_TEMP_TAG));
  if (!temp) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(temp, 0, wide ? wide : 1);
  ULONG length = wide;
  NTSTATUS status = asio->CreateBuffers(r.FileObject, r.Buffer, temp, &length);
  *reported = 0;
  if (NT_SUCCESS(status)) {
    ULONG entries = (length < wide ? length : wide) / kAddressBytes64;
    auto* out = static_cast<PUCHAR>(r.Buffer);
    for (ULONG i = 0; i < entries; ++i) {
      ULONGLONG address;
      std::memcpy(&address, temp + i * kAddressBytes64, sizeof(address));
      ULONG low = static_cast<ULONG>(address);
      std::memcpy(out + i * kAddressBytes32, &low, sizeof(low));
    }
    *reported = entries * kAddressBytes32;
  }
  ExFreePool(temp);
  return status;
}

}  // namespace

NTSTATUS DispatchAsioIoctl(IAsioPrivate* asio, const AsioIoctlRequest& r, ULONG_PTR* information) {
  *information = 0;
  if (!asio) return STATUS_INVALID_PARAMETER;
  const AsioIoctlEntry* entry = FindAsioIoctl(r.IoControlCode);
  if (!entry) return STATUS_NOT_SUPPORTED;

  const bool from32bit = r.From32bitProcess != FALSE;
  bool refused = false;
  NTSTATUS status = CheckLength(entry->Input, r.InputLength, from32bit, &refused, information);
  if (!refused) status = CheckLength(entry->Output, r.OutputLength, from32bit, &refused, information);
  if (!refused && entry->Operation == AsioOperation::CreateBuffers) {
    ULONG channels = ReadUlong(static_cast<PUCHAR>(r.Buffer) + sizeof(ULONG));
    ULONG room = (r.InputLength - ASIO_CREATE_BUFFERS_HEADER_BYTES) / ASIO_CREATE_BUFFERS_CHANNEL_BYTES;
    if (channels > room) {
      refused = true;
      status = STATUS_INVALID_PARAMETER;
    }
  }
  if (refused) return status;
  // Every rule that lets a request through needs bytes, so a missing
  // buffer can only come with lengths of zero.
  if (!r.Buffer && (r.InputLength || r.OutputLength)) return STATUS_INVALID_PARAMETER;

  PFILE_OBJECT file = r.FileObject;
  PVOID buffer = r.Buffer;
  ULONG reported = r.OutputLength;
  switch (entry->Operation) {
    case AsioOperation::GetDriverName:
      status = asio->GetDriverName(file, static_cast<PCHAR>(buffer), &reported);
      break;
    case AsioOperation::GetChannels:
      status = asio->GetChannels(file, buffer, r.OutputLength);
      break;
    case AsioOperation::GetChannelInfo:
      status = asio->GetChannelInfo(file, buffer, r.InputLength);
      break;
    case AsioOperation::GetSampleTypes:
      status = asio->GetSampleTypes(file, r.OutputLength ? buffer : nullptr, &reported);
      break;
    case AsioOperation::GetLatencyTable:
      status = asio->GetLatencyTable(file, r.OutputLength ? buffer : nullptr, &reported);
      break;
    case AsioOperation::SetNotifyEvent: {
      HANDLE handle = ReadHandle(buffer, from32bit);
      status = asio->SetNotifyEvent(file, &handle);
      break;
    }
    case AsioOperation::GetBuffersCreated:
      status = asio->GetBuffersCreated(file, static_cast<PULONG>(buffer));
      break;
    case AsioOperation::SetSampleType:
      status = asio->SetSampleType(file, ReadUlong(buffer));
      break;
    case AsioOperation::SetLatencyIndex:
      status = asio->SetLatencyIndex(file, ReadUlong(buffer));
      break;
    case AsioOperation::GetLatencies:
      status = asio->GetLatencies(file, buffer);
      break;
    case AsioOperation::GetSampleRate:
      status = asio->GetSampleRate(file, static_cast<PULONG>(buffer));
      break;
    case AsioOperation::CanSampleRate:
      status = asio->CanSampleRate(file, static_cast<PULONG>(buffer));
      break;
    case AsioOperation::SetSampleRate:
      status = asio->SetSampleRate(file, static_cast<PULONG>(buffer));
      break;
    case AsioOperation::GetBufferSize:
      status = asio->GetBufferSize(file, buffer);
      break;
    case AsioOperation::CreateBuffers:
      if (from32bit)
        status = CreateBuffersFor32bit(asio, r, &reported);
      else
        status = asio->CreateBuffers(file, buffer, buffer, &reported);
      break;
    case AsioOperation::DisposeBuffers:
      status = asio->DisposeBuffers(file);
      break;
    case AsioOperation::Start: {
      HANDLE handle = ReadHandle(buffer, from32bit);
      status = asio->Start(file, &handle);
      break;
    }
    case AsioOperation::Stop:
      status = asio->Stop(file, r.Irp);
      break;
    case AsioOperation::ReleaseNotifyEvent:
      status = asio->ReleaseNotifyEvent(file);
      break;
    case AsioOperation::CanIoFormat:
      status = asio->CanIoFormat(file, static_cast<PULONG>(buffer));
      break;
    case AsioOperation::SetIoFormat:
      status = asio->SetIoFormat(file, static_cast<PULONG>(buffer));
      break;
    case AsioOperation::GetIoFormat:
      status = asio->GetIoFormat(file, static_cast<PULONG>(buffer));
      break;
  }

  switch (entry->Information) {
    case AsioInformation::None:
      break;
    case AsioInformation::Fixed:
      if (NT_SUCCESS(status)) *information = entry->InformationBytes;
      break;
    case AsioInformation::OutputLength:
      if (NT_SUCCESS(status)) *information = r.OutputLength;
      break;
    case AsioInformation::Reported:
      // A size query answers its length with STATUS_BUFFER_OVERFLOW.
      if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) *information = reported;
      break;
  }
  return status;
}
