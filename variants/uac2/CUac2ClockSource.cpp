#include "variants/uac2/CUac2ClockSource.h"

#include "driver/common/PoolBuffer.h"
#include "variants/CUacDeviceNodes.h"
#include "variants/uac2/Uac2Streams.h"

namespace {

// The RANGE parameter block: wNumSubRanges, then {dMIN, dMAX, dRES}.
constexpr ULONG RANGE_HEADER_BYTES = 2;
constexpr ULONG FREQUENCY_SUBRANGE_BYTES = 12;
constexpr ULONG FIRST_RANGE_BYTES = RANGE_HEADER_BYTES + FREQUENCY_SUBRANGE_BYTES;

// bmControls of the CLOCK_SOURCE descriptor, and the bit of its frequency
// control's pair that says the host may set it.
constexpr ULONG CLOCK_CONTROLS_OFFSET = 5;
constexpr UCHAR FREQUENCY_CONTROL_WRITABLE = 0x02;

ULONG Le32(const UCHAR* p) { return platform::usb::ReadLe32(p); }

}  // namespace

NTSTATUS CUac2ClockSource::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IClockSource)) {
    *object = static_cast<IClockSource*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CUacUnit::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS CUac2ClockSource::GetRateCount(PULONG count) {
  PAGED_CODE();
  if (!count) return STATUS_INVALID_PARAMETER;
  UCHAR reply[FIRST_RANGE_BYTES];
  ULONG transferred = 0;
  NTSTATUS status = Request(true, USB_AUDIO2_RANGE, USB_AUDIO2_CS_SAM_FREQ_CONTROL, 0, reply, sizeof reply, &transferred);
  if (!NT_SUCCESS(status)) return status;
  if (transferred < RANGE_HEADER_BYTES) return STATUS_UNSUCCESSFUL;
  *count = platform::usb::ReadLe16(reply);
  return STATUS_SUCCESS;
}

NTSTATUS CUac2ClockSource::GetRateList(PULONG count, PULONG rates) {
  PAGED_CODE();
  if (!count || !rates) return STATUS_INVALID_PARAMETER;
  ULONG listed = 0;
  NTSTATUS status = GetRateCount(&listed);
  if (!NT_SUCCESS(status)) return status;
  ULONG wanted = *count < listed ? *count : listed;

  const ULONG bytes = FREQUENCY_SUBRANGE_BYTES * wanted + RANGE_HEADER_BYTES;
  CPoolBuffer reply(NonPagedPool, bytes, UAC2_ENTITY_TAG);
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG transferred = 0;
  status = Request(true, USB_AUDIO2_RANGE, USB_AUDIO2_CS_SAM_FREQ_CONTROL, 0, reply.Get(), bytes, &transferred);
  if (!NT_SUCCESS(status)) return status;
  // Only the subranges the device really sent.
  const ULONG received = transferred >= RANGE_HEADER_BYTES ? (transferred - RANGE_HEADER_BYTES) / FREQUENCY_SUBRANGE_BYTES : 0;
  if (received < wanted) wanted = received;
  const auto* data = reply.As<UCHAR>();
  ULONG kept = 0;
  for (ULONG i = 0; i < wanted; ++i) {
    const UCHAR* subrange = data + RANGE_HEADER_BYTES + FREQUENCY_SUBRANGE_BYTES * i;
    const ULONG minimum = Le32(subrange), maximum = Le32(subrange + 4), resolution = Le32(subrange + 8);
    if (minimum != maximum || resolution != 0) {
      status = STATUS_INVALID_PARAMETER;
    } else if (!IsUac2ClockRate(maximum)) {
      // Every size a stream derives from its rate would be out of bounds.
      DbgPrint("Uac2: clock %lu offers %lu Hz, which no stream can carry; left out\n",
               static_cast<unsigned long>(GetId()), static_cast<unsigned long>(maximum));
    } else {
      rates[kept++] = maximum;
    }
  }
  *count = kept;
  return status;
}

bool CUac2ClockSource::IsFrequencyProgrammable() const {
  // A descriptor too short to carry bmControls says nothing against it.
  return GetDescriptorLength() <= CLOCK_CONTROLS_OFFSET ||
         (GetDescriptor()[CLOCK_CONTROLS_OFFSET] & FREQUENCY_CONTROL_WRITABLE) != 0;
}

NTSTATUS CUac2ClockSource::SetRate(ULONG rate) {
  PAGED_CODE();
  if (!IsFrequencyProgrammable()) {
    // The device stalls a SET CUR here: a fixed clock serves only the rate
    // it already runs at.
    ULONG current = 0;
    NTSTATUS status = ReadCurrentRate(&current);
    if (!NT_SUCCESS(status)) {
      DbgPrint("Uac2: clock %lu is fixed and its rate cannot be read (0x%08X); %lu Hz not set\n",
               static_cast<unsigned long>(GetId()), static_cast<unsigned>(status), static_cast<unsigned long>(rate));
      return status;
    }
    if (current == rate) return STATUS_SUCCESS;
    DbgPrint("Uac2: clock %lu is fixed at %lu Hz; it cannot run at %lu Hz\n", static_cast<unsigned long>(GetId()),
             static_cast<unsigned long>(current), static_cast<unsigned long>(rate));
    return STATUS_NOT_SUPPORTED;
  }
  UCHAR value[4];
  platform::usb::WriteLe32(value, rate);
  return Request(false, USB_AUDIO2_CUR, USB_AUDIO2_CS_SAM_FREQ_CONTROL, 0, value, sizeof value);
}

NTSTATUS CUac2ClockSource::ReadCurrentRate(PULONG rate) {
  UCHAR value[4];
  NTSTATUS status = ReadWhole(USB_AUDIO2_CUR, USB_AUDIO2_CS_SAM_FREQ_CONTROL, 0, value, sizeof value);
  if (NT_SUCCESS(status)) *rate = Le32(value);
  return status;
}

NTSTATUS CUac2ClockSource::GetRate(PULONG rate) {
  PAGED_CODE();
  if (!rate) return STATUS_INVALID_PARAMETER;
  ULONG current = 0;
  NTSTATUS status = ReadCurrentRate(&current);
  if (NT_SUCCESS(status) && !IsUac2ClockRate(current)) status = STATUS_DEVICE_DATA_ERROR;
  if (NT_SUCCESS(status)) *rate = current;
  return status;
}

NTSTATUS CUac2ClockSource::IsClockValid(PUCHAR valid) {
  PAGED_CODE();
  if (!valid) return STATUS_INVALID_PARAMETER;
  UCHAR value = 0;
  NTSTATUS status = ReadWhole(USB_AUDIO2_CUR, USB_AUDIO2_CS_CLOCK_VALID_CONTROL, 0, &value, 1);
  if (NT_SUCCESS(status)) *valid = value;
  return status;
}

NTSTATUS CUac2ClockSource::BuildNodes(IAudioHal* model) {
  PAGED_CODE();
  NTSTATUS status = SetIdentity(UAC2_SUBTYPE_CLOCK_SOURCE, 0, nullptr);
  if (!NT_SUCCESS(status)) return status;
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  return AddEntityNode<CUacClockNode>(model, [unit](CUacClockNode* node) { return node->InitFromUnit(unit); });
}
