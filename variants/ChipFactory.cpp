#include "variants/ChipFactory.h"

#include "driver/common/PoolBuffer.h"
#include "variants/7753/C7753AudioHal.h"
#include "variants/CChipAudioHals.h"
#include "driver/hal/ChipString.h"
#include "variants/uac2/CUac2AudioHal.h"

namespace {

constexpr UCHAR AUDIO_CLASS_1_PROTOCOL = 0x00;
constexpr UCHAR AUDIO_CLASS_2_PROTOCOL = 0x20;

// The models' factories.
constexpr AudioHalFactory CreateUac2Model = CUac2AudioHal::Create;
constexpr AudioHalFactory Create7753Model = C7753AudioHal::Create;
constexpr AudioHalFactory Create7746Model = C7746AudioHal::Create;
constexpr AudioHalFactory Create7762Model = C7762AudioHal::Create;
constexpr AudioHalFactory CreateTq4187Model = CTQ4187AudioHal::Create;

// The 7753 chip's marker is not its name: three code units, the first a
// control character.
constexpr WCHAR k7753Marker[] = {0x000B, u'S', u'w'};

// The first marker the string begins with decides; a string that begins
// with none of them (or no string at all) gets the generic model.
AudioHalFactory ChooseByChipString(const UCHAR* string, ULONG received) {
  if (ChipStringBegins(string, received, k7753Marker, ARRAYSIZE(k7753Marker))) return Create7753Model;
  if (ChipStringBegins(string, received, "7746")) return Create7746Model;
  if (ChipStringBegins(string, received, "7762")) return Create7762Model;
  if (ChipStringBegins(string, received, "VZR419")) return CreateTq4187Model;
  return CUac1AudioHal::Create;
}

}  // namespace

NTSTATUS ChooseChipModel(IUsbDevice* device, PUSB_INTERFACE_DESCRIPTOR control, AudioHalFactory* factory) {
  PAGED_CODE();
  *factory = nullptr;
  if (control->bInterfaceProtocol == AUDIO_CLASS_2_PROTOCOL) {
    // An Audio Class 2.0 function is known by its protocol alone.
    *factory = CreateUac2Model;
    return STATUS_SUCCESS;
  }
  if (control->bInterfaceProtocol != AUDIO_CLASS_1_PROTOCOL) return STATUS_UNSUCCESSFUL;
  CPoolBuffer string(NonPagedPool, UAC1_PROBE_STRING_BYTES, UAC1_PROBE_TAG);
  CPoolBuffer urb(NonPagedPool, sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), UAC1_PROBE_TAG);
  if (!string || !urb) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG received = 0;
  // A chip without a readable string is a generic device.
  if (!NT_SUCCESS(ReadChipString(device, urb.As<URB>(), string.As<UCHAR>(), &received))) received = 0;
  *factory = ChooseByChipString(string.As<UCHAR>(), received);
  return STATUS_SUCCESS;
}
