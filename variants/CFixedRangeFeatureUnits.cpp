#include "variants/CFixedRangeFeatureUnits.h"

namespace {

constexpr LONGLONG kDecibel = 65536;
constexpr LONGLONG kStep = 98304;  // 1.5 dB
// What the 7746's unit 10 reads at count 0: +6.5 dB.
constexpr LONGLONG kCountZeroLevel = 6 * kDecibel + kDecibel / 2;
constexpr LONG kOneByteScale = 1 << 14;
constexpr SHORT kSilence = -32768;

SHORT ReadLe16(const UCHAR* p) { return static_cast<SHORT>(p[0] | p[1] << 8); }

// The value in the device's 16 bits, as the chip takes it.
SHORT Wire16(LONGLONG value) { return static_cast<SHORT>(value); }

LONGLONG FloorDivide(LONGLONG a, LONGLONG b) {
  const LONGLONG q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

}  // namespace

const DbMapPair C7746FeatureUnit9DbMap[38] = {
    {0, 0},           {-192, -256},     {-256, -512},     {-320, -768},     {-386, -1024},    {-455, -1280},
    {-527, -1536},    {-599, -1792},    {-676, -2048},    {-752, -2304},    {-835, -2560},    {-916, -2816},
    {-1006, -3072},   {-1096, -3328},   {-1193, -3584},   {-1290, -3840},   {-1395, -4096},   {-1503, -4352},
    {-1618, -4608},   {-1736, -4864},   {-1866, -5120},   {-1999, -5376},   {-2145, -5632},   {-2296, -5888},
    {-2465, -6144},   {-2637, -6400},   {-2816, -6656},   {-3046, -6912},   {-3277, -7168},   {-3533, -7424},
    {-3840, -7680},   {-4198, -7936},   {-4582, -8192},   {-5120, -8448},   {-5767, -8704},   {-6707, -8960},
    {-8294, -9216},   {-32768, -9472},
};

// ---- Descriptor and nodes ----------------------------------------------------------------------

bool CFixedRangeFeatureUnit::DescriptorFits(const UCHAR* descriptor, ULONG length) const {
  return length >= 6 && descriptor[5] != 0 && length >= 7 + ULONG(descriptor[5]);
}

NTSTATUS CFixedRangeFeatureUnit::BuildNodes(IAudioHal* owner) {
  PAGED_CODE();
  ULONG nextId = 0;
  return BuildStandardNodes(owner, m_NodeTag, &nextId);
}

// ---- Switches ----------------------------------------------------------------------------------

NTSTATUS CFixedRangeFeatureUnit::GetSwitchValue(ULONG cs, ULONG channel, PUCHAR value) {
  PAGED_CODE();
  if (channel != 0 || !value) return STATUS_INVALID_PARAMETER;
  UCHAR reply = 0;
  NTSTATUS status = ReadControl(cs, UAC_GET_CUR, 0, &reply, 1);
  if (NT_SUCCESS(status)) *value = reply;
  return status;
}

NTSTATUS CFixedRangeFeatureUnit::SetSwitchValue(ULONG cs, ULONG channel, UCHAR value) {
  PAGED_CODE();
  if (channel != 0) return STATUS_INVALID_PARAMETER;
  return WriteControl(cs, 0, &value, 1);
}

NTSTATUS CFixedRangeFeatureUnit::GetSwitchChannelCount(ULONG, PULONG count) {
  if (!count || !IsFeatureUnit()) return STATUS_INVALID_PARAMETER;
  *count = 1;
  return STATUS_SUCCESS;
}

// ---- Levels ------------------------------------------------------------------------------------

NTSTATUS CFixedRangeFeatureUnit::GetLevel(ULONG cs, ULONG channel, PLONG level) {
  PAGED_CODE();
  if (!level) return STATUS_INVALID_PARAMETER;
  ULONG entry = 0;
  NTSTATUS status = ControlEntry(cs, channel, &entry);
  if (!NT_SUCCESS(status)) return status;
  UCHAR reply[2] = {};
  if (IsOneByteLevel(cs)) {
    status = ReadControl(cs, UAC_GET_CUR, static_cast<UCHAR>(entry), reply, 1);
    if (NT_SUCCESS(status)) *level = LONG(static_cast<signed char>(reply[0])) * kOneByteScale;
    return status;
  }
  status = ReadControl(cs, UAC_GET_CUR, static_cast<UCHAR>(entry), reply, 2);
  if (NT_SUCCESS(status)) {
    const SHORT r = ReadLe16(reply);
    *level = r == kSilence ? LEVEL_MINUS_INFINITY : LevelFromDevice(r);
  }
  return status;
}

NTSTATUS CFixedRangeFeatureUnit::SetLevel(ULONG cs, ULONG channel, LONG level) {
  PAGED_CODE();
  ULONG entry = 0;
  NTSTATUS status = ControlEntry(cs, channel, &entry);
  if (!NT_SUCCESS(status)) return status;
  if (IsOneByteLevel(cs)) {
    UCHAR value = static_cast<UCHAR>(level >> 14);
    return WriteControl(cs, static_cast<UCHAR>(entry), &value, 1);
  }
  const SHORT r = level == LEVEL_MINUS_INFINITY ? kSilence : static_cast<SHORT>(DeviceFromLevel(level));
  UCHAR value[2] = {static_cast<UCHAR>(r), static_cast<UCHAR>(r >> 8)};
  return WriteControl(cs, static_cast<UCHAR>(entry), value, 2);
}

NTSTATUS CFixedRangeFeatureUnit::GetLevelRange(ULONG cs, PLONG maximum, PLONG minimum, PLONG step) {
  PAGED_CODE();
  if (!IsFeatureUnit() || !maximum || !minimum || !step) return STATUS_INVALID_PARAMETER;
  ULONG count = 0;
  NTSTATUS status = GetLevelChannelCount(cs, &count);
  if (!NT_SUCCESS(status)) return status;
  UCHAR entry = 0;
  for (ULONG i = 1; i <= count; ++i) {
    if (DescriptorHas(i, cs)) {
      entry = static_cast<UCHAR>(i);
      break;
    }
  }
  const bool oneByte = IsOneByteLevel(cs);
  const UCHAR requests[3] = {UAC_GET_MAX, UAC_GET_MIN, UAC_GET_RES};
  LONG values[3] = {};
  for (ULONG r = 0; r < 3; ++r) {
    UCHAR reply[2] = {};
    status = ReadControl(cs, requests[r], entry, reply, oneByte ? 1 : 2);
    if (!NT_SUCCESS(status)) return status;
    if (oneByte) values[r] = LONG(static_cast<signed char>(reply[0])) * kOneByteScale;
  }
  if (oneByte) {
    *maximum = values[0];
    *minimum = values[1];
    *step = values[2];
  } else {
    const FixedRange range = Range();
    *maximum = range.maximum;
    *minimum = range.minimum;
    *step = range.step;
  }
  return STATUS_SUCCESS;
}

bool C7746FeatureUnit::IsOneByteLevel(ULONG cs) const {
  return cs == UAC_FU_BASS || cs == UAC_FU_MID || cs == UAC_FU_TREBLE;
}

// ---- The classes' conversions ------------------------------------------------------------------

LONG C7746FeatureUnit9::LevelFromDevice(LONG r) const {
  // The first device step the value lies above names the level of the
  // step before it; a value at or below the last step is taken as it is.
  for (ULONG i = 1; i < ARRAYSIZE(C7746FeatureUnit9DbMap); ++i)
    if (r > C7746FeatureUnit9DbMap[i].device) return LONG(C7746FeatureUnit9DbMap[i - 1].level) * 256;
  return r * 256;
}

LONG C7746FeatureUnit9::DeviceFromLevel(LONG level) const {
  const SHORT v = Wire16(level >> 8);
  for (const DbMapPair& pair : C7746FeatureUnit9DbMap)
    if (v >= pair.level) return pair.device;
  return v;
}

LONG C7746FeatureUnit10::LevelFromDevice(LONG r) const {
  const LONG n = r >> 8;
  return LONG(Wire16(384 * n + 1664)) * 256;
}

LONG C7746FeatureUnit10::DeviceFromLevel(LONG level) const {
  // The inverse of the read, so that a start, which reads the level and
  // writes it back, leaves the device where it was. The level nodes cut a
  // level toward 0 dB to the unit's 1.5 dB step before they write, and the
  // chip's counts lie off that grid: a level between two counts goes to the
  // one beyond it, away from 0 dB, which is the count it was read from.
  // No write leaves the unit's range.
  const auto ceilDivide = [](LONGLONG a, LONGLONG b) { return -FloorDivide(-a, b); };
  const FixedRange range = Range();
  const LONGLONG lowest = ceilDivide(range.minimum - kCountZeroLevel, kStep);
  const LONGLONG highest = FloorDivide(range.maximum - kCountZeroLevel, kStep);
  const LONGLONG fromCountZero = LONGLONG(level) - kCountZeroLevel;
  LONGLONG n = level >= 0 ? ceilDivide(fromCountZero, kStep) : FloorDivide(fromCountZero, kStep);
  if (n < lowest) n = lowest;
  if (n > highest) n = highest;
  return Wire16(n * 256);
}

LONG C7746FeatureUnit13::LevelFromDevice(LONG r) const {
  const LONG n = r >> 8;
  return LONG(Wire16(384 * (n + 4))) * 256;
}

LONG C7746FeatureUnit13::DeviceFromLevel(LONG level) const {
  const LONGLONG n = (LONGLONG(level) + 36 * kDecibel) / kStep - 28;
  return Wire16(n * 256);
}

LONG C7762FeatureUnit9::LevelFromDevice(LONG r) const { return LONG((r + 16) / 192 * kDecibel); }

LONG C7762FeatureUnit9::DeviceFromLevel(LONG level) const {
  return Wire16(-16 - 192 * FloorDivide(-LONGLONG(level), kDecibel));
}

LONG C7762FeatureUnit10::LevelFromDevice(LONG r) const { return r * 256; }

LONG C7762FeatureUnit10::DeviceFromLevel(LONG level) const { return Wire16(level >> 8); }

LONG C7762FeatureUnit13::LevelFromDevice(LONG r) const { return LONG(kStep * ((r - 3456) / 384)); }

LONG C7762FeatureUnit13::DeviceFromLevel(LONG level) const {
  // The chip's own arithmetic is unsigned: a level below the range's
  // minimum wraps, which the nodes never send.
  const ULONG steps = (static_cast<ULONG>(level) + ULONG(13 * kDecibel + kDecibel / 2)) / ULONG(kStep);
  return Wire16(LONGLONG(384) * steps);
}
