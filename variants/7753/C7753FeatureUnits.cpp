#include "variants/7753/C7753FeatureUnits.h"

#include <type_traits>

#include "driver/SettingsStore.h"
#include "topology/CUacLevelNode.h"
#include "variants/7753/C7753Codec.h"
#include "variants/7753/C7753DescriptorRewrite.h"
#include "variants/7753/C7753Nodes.h"

// Unit 13's map: the device column falls in 1 dB steps to -36 dB, then -38
// dB twice; the reported column follows the chip's real attenuation down to
// -34.5 dB, and silence (-128 dB) last.
const SHORT C7753ReportedLevels[C7753_DB_MAP_ENTRIES] = {
    0,     -62,   -128,  -192,  -263,  -331,  -402,  -477,  -556,  -638,  -717,  -804,  -894,
    -989,  -1088, -1188, -1298, -1411, -1529, -1657, -1785, -1920, -2082, -2240, -2420, -2612,
    -2816, -3072, -3303, -3584, -3917, -4301, -4788, -5402, -6221, -7578, -8500, -8832, -32768};
const SHORT C7753DeviceLevels[C7753_DB_MAP_ENTRIES] = {
    0,     -256,  -512,  -768,  -1024, -1280, -1536, -1792, -2048, -2304, -2560, -2816, -3072,
    -3328, -3584, -3840, -4096, -4352, -4608, -4864, -5120, -5376, -5632, -5888, -6144, -6400,
    -6656, -6912, -7168, -7424, -7680, -7936, -8192, -8448, -8704, -8960, -9216, -9728, -9728};

namespace {

constexpr LONG kQuarterDb = 0x4000;
constexpr LONG kOneAndAHalfDb = 0x18000;
constexpr UCHAR kRangeRequests[3] = {UAC_GET_MAX, UAC_GET_MIN, UAC_GET_RES};

bool IsToneControl(ULONG cs) { return cs == UAC_FU_BASS || cs == UAC_FU_MID || cs == UAC_FU_TREBLE; }

LONG Le16(const UCHAR* p) { return static_cast<SHORT>(USHORT(p[0] | p[1] << 8)); }

// A device volume (1/256 dB) as unit 13 reports it: the reported level of
// the entry before the first device level it lies above; unchanged below
// the whole map.
LONG MapDeviceLevel(LONG device) {
  for (ULONG i = 1; i < C7753_DB_MAP_ENTRIES; ++i)
    if (device > C7753DeviceLevels[i]) return C7753ReportedLevels[i - 1];
  return device;
}

LONG Clamp64(LONGLONG value) {
  // Minus infinity is a value of its own; a level never becomes it.
  if (value < LONGLONG(LEVEL_MINUS_INFINITY) + 1) return LEVEL_MINUS_INFINITY + 1;
  if (value > LONGLONG(0x7FFFFFFF)) return 0x7FFFFFFF;
  return static_cast<LONG>(value);
}

}  // namespace

// ============================================================================
// Shared

NTSTATUS C7753FeatureUnit::PrepareNodes() {
  return m_ReadsVendorBlock ? CUac1FeatureUnit::PrepareNodes() : STATUS_SUCCESS;
}

template <typename TNode, typename TInit>
NTSTATUS C7753FeatureUnit::AddOwnNode(IAudioHal* owner, PULONG nextId, TInit init, bool* made) {
  PAGED_CODE();
  auto* node = new (NonPagedPool, C7753_TAG) TNode(nullptr, *nextId);
  if (made) *made = node != nullptr;
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  node->NonDelegatingAddRef();
  NTSTATUS status = init(node);
  if (NT_SUCCESS(status)) status = AddBuiltNode(owner, static_cast<ITopoNode*>(node));
  if (NT_SUCCESS(status)) ++*nextId;
  node->NonDelegatingRelease();
  return status;
}

namespace {
// How each volume node class binds to the unit.
NTSTATUS InitVolumeNode(CUacVolumeNode* node, ITopoNode* unit, PDEVICE_OBJECT deviceObject) {
  return InitLevelNodeFromUnit(node, unit, UAC_FU_VOLUME, deviceObject);
}
NTSTATUS InitVolumeNode(C7753FeatureUnit13VolumeNode* node, ITopoNode* unit, PDEVICE_OBJECT deviceObject) {
  return node->Init(unit, UAC_FU_VOLUME, deviceObject);
}
}  // namespace

template <typename TMute, typename TVolume>
NTSTATUS C7753FeatureUnit::BuildOwnNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  NTSTATUS status = BeginNodes(owner, &nextId);
  if (!NT_SUCCESS(status)) return status;
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  const PDEVICE_OBJECT deviceObject = owner->GetDeviceObject();
  status = AddOwnNode<TMute>(
      owner, &nextId, [&](TMute* node) { return InitSwitchNodeFromUnit(node, unit, UAC_FU_MUTE, deviceObject); });
  if constexpr (!std::is_void_v<TVolume>) {
    if (NT_SUCCESS(status) && HasControl(UAC_FU_VOLUME))
      status = AddOwnNode<TVolume>(owner, &nextId,
                                   [&](TVolume* node) { return InitVolumeNode(node, unit, deviceObject); });
  }
  return status;
}

// ============================================================================
// Unit 13

NTSTATUS C7753FeatureUnit13::PrepareNodes() {
  PAGED_CODE();
  // A value that is absent or longer than a byte leaves the LED alone.
  const PDEVICE_OBJECT deviceObject = m_Owner->GetDeviceObject();
  UCHAR value = 0;
  if (NT_SUCCESS(AccessSetting(deviceObject, SETTINGS_READ, &value, sizeof value, C7753_NEED_MUTE_LED)))
    m_NeedMuteLed = value;
  value = 0;
  if (NT_SUCCESS(AccessSetting(deviceObject, SETTINGS_READ, &value, sizeof value, C7753_REVERSE_MUTE_LED)))
    m_ReverseMuteLed = value;
  return STATUS_SUCCESS;
}

NTSTATUS C7753FeatureUnit13::BuildNodes(IAudioHal* owner) {
  return BuildOwnNodes<C7753FeatureUnit13MuteNode, C7753FeatureUnit13VolumeNode>(owner);
}

NTSTATUS C7753FeatureUnit13::SetSwitchValue(ULONG cs, ULONG channel, UCHAR value) {
  PAGED_CODE();
  NTSTATUS status = CUac1FeatureUnit::SetSwitchValue(cs, channel, value);
  if (!NT_SUCCESS(status)) return status;
  if (m_NeedMuteLed && m_Codec) {
    bool muted = value != 0;
    if (m_ReverseMuteLed == 1) muted = !muted;
    m_Codec->WriteCodecRegister(C7753_LED_REGISTER, muted ? C7753_LED_MUTE_BITS : C7753_LED_UNMUTE_BITS,
                              C7753_LED_MASK);
  }
  return STATUS_SUCCESS;
}

NTSTATUS C7753FeatureUnit13::GetLevel(ULONG cs, ULONG channel, PLONG level) {
  PAGED_CODE();
  NTSTATUS status = CUac1FeatureUnit::GetLevel(cs, channel, level);
  if (!NT_SUCCESS(status) || IsToneControl(cs)) return status;
  const LONG device = *level >> 8;
  *level = device == -0x8000 ? LEVEL_MINUS_INFINITY : MapDeviceLevel(device) * (1 << 8);
  return status;
}

NTSTATUS C7753FeatureUnit13::SetLevel(ULONG cs, ULONG channel, LONG level) {
  PAGED_CODE();
  if (IsToneControl(cs) || level == LEVEL_MINUS_INFINITY) return CUac1FeatureUnit::SetLevel(cs, channel, level);
  // The first entry the level reaches names the device level; below the
  // whole map the level goes as it is (and is saturated on the wire).
  const LONG wanted = level >> 8;
  LONG device = wanted;
  for (ULONG i = 0; i < C7753_DB_MAP_ENTRIES; ++i) {
    if (wanted >= C7753ReportedLevels[i]) {
      device = C7753DeviceLevels[i];
      break;
    }
  }
  return CUac1FeatureUnit::SetLevel(cs, channel, device * (1 << 8));
}

NTSTATUS C7753FeatureUnit13::GetLevelRange(ULONG cs, PLONG maximum, PLONG minimum, PLONG step) {
  PAGED_CODE();
  if (!IsFeatureUnit() || !maximum || !minimum || !step) return STATUS_INVALID_PARAMETER;
  LONG values[3] = {};
  for (ULONG r = 0; r < 3; ++r) {
    UCHAR reply[2] = {};
    NTSTATUS status = ReadControl(cs, kRangeRequests[r], 1, reply, sizeof reply);
    if (!NT_SUCCESS(status)) return status;
    values[r] = Le16(reply);
  }
  *maximum = MapDeviceLevel(values[0]) * (1 << 8);
  *minimum = MapDeviceLevel(values[1]) * (1 << 8);
  *step = kQuarterDb;
  return STATUS_SUCCESS;
}

// ============================================================================
// Scaled units

C7753FeatureUnit9::C7753FeatureUnit9(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec)
    : C7753ScaledFeatureUnit(outerUnknown, provisionalId, codec, true, {3, 2, 0xFFF0, false}) {}

C7753FeatureUnit2::C7753FeatureUnit2(PUNKNOWN outerUnknown, ULONG provisionalId, IC7753CodecWriter* codec,
                                     bool readsVendorBlock)
    : C7753ScaledFeatureUnit(outerUnknown, provisionalId, codec, readsVendorBlock, {3, 8, 0xFF00, true}) {}

LONG C7753ScaledFeatureUnit::ToReported(LONG level) const {
  if (level == LEVEL_MINUS_INFINITY) return level;
  if (level >= 0) return Clamp64(3 * LONGLONG(level));
  return Clamp64(LONGLONG(level) * m_Scale.belowNumerator / m_Scale.belowDenominator);
}

LONG C7753ScaledFeatureUnit::ToDevice(LONG level) const {
  if (level == LEVEL_MINUS_INFINITY) return level;
  if (level >= 0) return level / 3;
  return Clamp64(LONGLONG(level) * m_Scale.belowDenominator / m_Scale.belowNumerator);
}

NTSTATUS C7753ScaledFeatureUnit::GetLevel(ULONG cs, ULONG channel, PLONG level) {
  PAGED_CODE();
  NTSTATUS status = CUac1FeatureUnit::GetLevel(cs, channel, level);
  if (NT_SUCCESS(status)) *level = ToReported(*level);
  return status;
}

NTSTATUS C7753ScaledFeatureUnit::SetLevel(ULONG cs, ULONG channel, LONG level) {
  PAGED_CODE();
  return CUac1FeatureUnit::SetLevel(cs, channel, ToDevice(level));
}

NTSTATUS C7753ScaledFeatureUnit::GetLevelRange(ULONG cs, PLONG maximum, PLONG minimum, PLONG step) {
  PAGED_CODE();
  if (!IsFeatureUnit() || !maximum || !minimum || !step) return STATUS_INVALID_PARAMETER;
  // The first channel with the control, else the master.
  UCHAR channel = 0;
  for (ULONG i = 1; i <= DescriptorChannels(); ++i) {
    if (DescriptorHas(i, cs)) {
      channel = static_cast<UCHAR>(i);
      break;
    }
  }
  const bool oneByte = IsToneControl(cs) && m_Scale.toneRangeUnscaled;
  const ULONG size = oneByte ? 1 : 2;
  LONG values[3] = {};
  for (ULONG r = 0; r < (oneByte ? 3u : 2u); ++r) {
    UCHAR reply[2] = {};
    NTSTATUS status = ReadControl(cs, kRangeRequests[r], channel, reply, size);
    if (!NT_SUCCESS(status)) return status;
    values[r] = oneByte ? LONG(static_cast<signed char>(reply[0])) : Le16(reply);
  }
  if (oneByte) {
    *maximum = values[0] * (1 << 14);
    *minimum = values[1] * (1 << 14);
    *step = values[2] * (1 << 14);
    return STATUS_SUCCESS;
  }
  // The range is scaled as device values (1/256 dB), then widened.
  *maximum = ToReported(static_cast<SHORT>(values[0] & m_Scale.maximumMask)) * (1 << 8);
  *minimum = ToReported(values[1]) * (1 << 8);
  *step = kOneAndAHalfDb;
  return STATUS_SUCCESS;
}

// ============================================================================
// Units with nodes of their own

NTSTATUS C7753FeatureUnit16::BuildNodes(IAudioHal* owner) {
  return BuildOwnNodes<C7753FeatureUnit16MuteNode, void>(owner);
}

NTSTATUS C7753FeatureUnit2SoftMute::BuildNodes(IAudioHal* owner) {
  return BuildOwnNodes<C7753SoftwareMuteNode, CUacVolumeNode>(owner);
}

NTSTATUS C7753FeatureUnit2LedSwitch::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  NTSTATUS status = CUac1FeatureUnit::BuildNodes(owner);
  if (!NT_SUCCESS(status)) return status;
  ULONG nextId = NextNodeId(owner);
  ITopoNode* const unit = static_cast<IUacUnit*>(this);
  bool made = false;
  NTSTATUS led = AddOwnNode<C7753LedSwitchNode>(
      owner, &nextId, [&](C7753LedSwitchNode* node) { return node->Init(unit, owner->GetDeviceObject(), m_Codec); },
      &made);
  // The board works without its LED switch when there is no memory for it.
  return made ? led : status;
}

// ============================================================================
// Unit 11's forced mute

NTSTATUS C7753FeatureUnit11ForcedMute::GetSwitchValue(ULONG cs, ULONG channel, PUCHAR value) {
  PAGED_CODE();
  if (channel != 0 || !value) return STATUS_INVALID_PARAMETER;
  m_MuteLock.Lock();
  UCHAR reply = 0;
  NTSTATUS status = ReadControl(cs, UAC_GET_CUR, 0, &reply, 1);
  if (NT_SUCCESS(status)) {
    *value = reply;
    m_LastMute = reply;
  }
  m_MuteLock.Unlock();
  return status;
}

NTSTATUS C7753FeatureUnit11ForcedMute::SetSwitchValue(ULONG cs, ULONG channel, UCHAR value) {
  PAGED_CODE();
  if (channel != 0) return STATUS_INVALID_PARAMETER;
  // From the update of the two bytes to the request, one writer at a time:
  // the device always ends with the last user byte OR the forced mute.
  m_MuteLock.Lock();
  m_LastMute = value;
  UCHAR sent = value | m_ForcedMute;
  NTSTATUS status = WriteControl(cs, 0, &sent, 1);
  m_MuteLock.Unlock();
  return status;
}

NTSTATUS C7753FeatureUnit11ForcedMute::SetForcedMute(UCHAR forced) {
  PAGED_CODE();
  m_MuteLock.Lock();
  m_ForcedMute = forced;
  NTSTATUS status = SetSwitchValue(UAC_FU_MUTE, 0, m_LastMute);
  m_MuteLock.Unlock();
  return status;
}
