#include "variants/7753/C7753DescriptorRewrite.h"

#include "driver/common/PoolBuffer.h"

namespace {

constexpr UCHAR CS_INTERFACE = 0x24;
constexpr UCHAR AC_HEADER = 1;
constexpr UCHAR INPUT_TERMINAL = 2;
constexpr UCHAR OUTPUT_TERMINAL = 3;
constexpr UCHAR MIXER_UNIT = 4;
constexpr UCHAR SELECTOR_UNIT = 5;
constexpr UCHAR FEATURE_UNIT = 6;

// Source offsets and lengths of the pieces, in the order they are written.
constexpr ULONG kHeaderBytes = 28;  // configuration, AudioControl interface, AC header
constexpr ULONG kInputTerminal1 = 28, kInputTerminalBytes = 12;
constexpr ULONG kMicTerminal = 40;
constexpr ULONG kMicRecordUnit = 52, kFeatureUnitBytes = 10;
constexpr ULONG kMicMonitorUnit = 62;
constexpr ULONG kMonitorMixer = 72;
constexpr ULONG kMasterUnit = C7753_MASTER_UNIT_OFFSET, kMasterUnitBytes = 16, kMasterUnitSixChannelBytes = 14;
constexpr ULONG kSpeakerTerminal = 113, kOutputTerminalBytes = 9;
constexpr ULONG kStereoMixMixer = 122, kStereoMixMixerBytes = 13;
constexpr ULONG kRecordTerminal = 135;
constexpr ULONG kRecordSelector = 144;
constexpr ULONG kLineTerminal = 154;
constexpr ULONG kLineRecordUnit = 166;
constexpr ULONG kLineMonitorUnit = 176;
constexpr ULONG kSpdifTerminal = 186;
constexpr ULONG kStereoMixRecordUnit = 198;
constexpr ULONG kSpdifRecordUnit = 208;
constexpr ULONG kRenderAlternate0 = 218, kInterfaceBytes = 9;
constexpr ULONG kRenderBlockBytes = 46;  // alternate settings 1-4
constexpr ULONG kRenderAlternate5 = C7753_RENDER_ALT5_OFFSET, kRenderAlternate5Bytes = 43;
constexpr ULONG kCaptureInterface = 454, kCaptureBytes = 55;
static_assert(kCaptureInterface + kCaptureBytes == C7753_LAYOUT_BYTES);

// The four multichannel render settings and the switch that drops each.
struct RenderBlock {
  ULONG offset;
  ULONG dropSwitch;
};
constexpr RenderBlock kRenderBlocks[] = {{227, C7753_DISABLE_8CH_OUT},
                                         {273, C7753_DISABLE_2CH_OUT},
                                         {319, C7753_DISABLE_4CH_OUT},
                                         {365, C7753_DISABLE_6CH_OUT}};

// Unit ids the rebuilt units name.
constexpr UCHAR kStreamTerminalId = 1;
constexpr UCHAR kMicMonitorId = 9;
constexpr UCHAR kLineMonitorId = 11;

// The recording sources in selector order, with the switch that drops each.
struct RecordingSource {
  UCHAR unitId;
  ULONG dropSwitch;
};
constexpr RecordingSource kRecordingSources[] = {{8, C7753_DISABLE_MIC_IN_REC_UNIT},
                                                 {15, C7753_DISABLE_LINE_IN_REC_UNIT},
                                                 {16, C7753_DISABLE_SPDIF_IN_TERMINAL},
                                                 {2, C7753_DISABLE_STEREO_MIX_REC_UNIT}};

constexpr USHORT kEightChannelConfig = 0x063F;
constexpr USHORT kSixChannelConfig = 0x003F;

// What must be at each piece the rewrite reads: bLength, bDescriptorType
// and the class-specific subtype.
struct LayoutRow {
  ULONG offset;
  UCHAR length;
  UCHAR type;
  UCHAR subtype;
};
constexpr LayoutRow kLayoutRows[] = {
    {0, 9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0},
    {9, 9, USB_INTERFACE_DESCRIPTOR_TYPE, 0},
    {18, 10, CS_INTERFACE, AC_HEADER},
    {kInputTerminal1, 12, CS_INTERFACE, INPUT_TERMINAL},
    {kMicTerminal, 12, CS_INTERFACE, INPUT_TERMINAL},
    {kMicRecordUnit, 10, CS_INTERFACE, FEATURE_UNIT},
    {kMicMonitorUnit, 10, CS_INTERFACE, FEATURE_UNIT},
    {kMonitorMixer, 25, CS_INTERFACE, MIXER_UNIT},
    {kMasterUnit, 16, CS_INTERFACE, FEATURE_UNIT},
    {kSpeakerTerminal, 9, CS_INTERFACE, OUTPUT_TERMINAL},
    {kStereoMixMixer, 13, CS_INTERFACE, MIXER_UNIT},
    {kRecordTerminal, 9, CS_INTERFACE, OUTPUT_TERMINAL},
    {kRecordSelector, 10, CS_INTERFACE, SELECTOR_UNIT},
    {kLineTerminal, 12, CS_INTERFACE, INPUT_TERMINAL},
    {kLineRecordUnit, 10, CS_INTERFACE, FEATURE_UNIT},
    {kLineMonitorUnit, 10, CS_INTERFACE, FEATURE_UNIT},
    {kSpdifTerminal, 12, CS_INTERFACE, INPUT_TERMINAL},
    {kStereoMixRecordUnit, 10, CS_INTERFACE, FEATURE_UNIT},
    {kSpdifRecordUnit, 10, CS_INTERFACE, FEATURE_UNIT},
};
// The render interface's settings 0-5 start at these offsets.
constexpr ULONG kRenderSettings[] = {kRenderAlternate0, 227, 273, 319, 365, kRenderAlternate5};

void PutLe16(PUCHAR at, ULONG value) {
  at[0] = static_cast<UCHAR>(value);
  at[1] = static_cast<UCHAR>(value >> 8);
}

}  // namespace

const WCHAR* const C7753SwitchNames[C7753_SWITCH_COUNT] = {
    u"DisableMicInTerminal",    u"DisableLineInTerminal",  u"DisableSpdifInTerminal", u"DisableMicInAAUnit",
    u"DisableLineInAAUnit",     u"DisableMicInRecUnit",    u"DisableLineInRecUnit",   u"DisableStereoMixRecUnit",
    u"SupportHPOut",            u"SupportSpdifOut",        u"Disable2ChOutSupported", u"Disable4ChOutSupported",
    u"Disable6ChOutSupported",  u"Disable8ChOutSupported",
};

UCHAR C7753DefaultSwitch(ULONG index) {
  return index == C7753_DISABLE_STEREO_MIX_REC_UNIT || index == C7753_SUPPORT_HP_OUT ||
                 index == C7753_SUPPORT_SPDIF_OUT
             ? 1
             : 0;
}

bool IsC7753Layout(const UCHAR* configuration, ULONG storedBytes) {
  if (!configuration || storedBytes < C7753_LAYOUT_BYTES) return false;
  if ((ULONG(configuration[2]) | ULONG(configuration[3]) << 8) < C7753_LAYOUT_BYTES) return false;
  for (const LayoutRow& row : kLayoutRows) {
    const UCHAR* d = configuration + row.offset;
    if (d[0] != row.length || d[1] != row.type) return false;
    if (row.type == CS_INTERFACE && d[2] != row.subtype) return false;
  }
  // The render interface's six settings, in order, then the capture interface.
  const UCHAR renderInterface = configuration[kRenderAlternate0 + 2];
  for (ULONG alternate = 0; alternate < ARRAYSIZE(kRenderSettings); ++alternate) {
    const UCHAR* d = configuration + kRenderSettings[alternate];
    if (d[0] != kInterfaceBytes || d[1] != USB_INTERFACE_DESCRIPTOR_TYPE || d[2] != renderInterface ||
        d[3] != alternate)
      return false;
  }
  const UCHAR* capture = configuration + kCaptureInterface;
  if (capture[0] != kInterfaceBytes || capture[1] != USB_INTERFACE_DESCRIPTOR_TYPE) return false;
  // Shortening the master unit for six channels assumes one byte per bitmap.
  return configuration[kMasterUnit + 5] == 1;
}

void ApplyImpliedC7753Switches(UCHAR* switches) {
  if (switches[C7753_DISABLE_MIC_IN_TERMINAL]) {
    switches[C7753_DISABLE_STEREO_MIX_REC_UNIT] = 1;
    switches[C7753_DISABLE_MIC_IN_AA_UNIT] = 1;
    switches[C7753_DISABLE_MIC_IN_REC_UNIT] = 1;
  }
  if (switches[C7753_DISABLE_LINE_IN_TERMINAL]) {
    switches[C7753_DISABLE_STEREO_MIX_REC_UNIT] = 1;
    switches[C7753_DISABLE_LINE_IN_REC_UNIT] = 1;
    switches[C7753_DISABLE_LINE_IN_AA_UNIT] = 1;
  }
  if (switches[C7753_DISABLE_MIC_IN_AA_UNIT] || switches[C7753_DISABLE_LINE_IN_AA_UNIT])
    switches[C7753_DISABLE_STEREO_MIX_REC_UNIT] = 1;
}

NTSTATUS RewriteC7753Configuration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG storedBytes, UCHAR* switches) {
  PAGED_CODE();
  if (!configuration || !switches) return STATUS_UNSUCCESSFUL;
  ApplyImpliedC7753Switches(switches);
  auto* stored = reinterpret_cast<PUCHAR>(configuration);
  if (!IsC7753Layout(stored, storedBytes)) return STATUS_UNSUCCESSFUL;
  CPoolBuffer scratch(PagedPool, C7753_REWRITE_SCRATCH_BYTES, C7753_TAG);
  if (!scratch) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(scratch.Get(), scratch.Bytes());
  // Without a six- or an eight-channel layout the master unit has no shape.
  if (switches[C7753_DISABLE_6CH_OUT] && switches[C7753_DISABLE_8CH_OUT]) return STATUS_UNSUCCESSFUL;
  const ULONG total = C7753ConfigurationRewrite(stored, switches, scratch.As<UCHAR>()).Write();
  // Every piece is copied, shortened or dropped: the result fits where the
  // source was.
  RtlCopyMemory(stored, scratch.Get(), total);
  return STATUS_SUCCESS;
}

// ============================================================================
// The pieces

ULONG C7753ConfigurationRewrite::Copy(ULONG offset, ULONG length) {
  RtlCopyMemory(m_Out + m_Position, m_Source + offset, length);
  m_Position += length;
  return length;
}

ULONG C7753ConfigurationRewrite::Write() {
  m_Position = 0;
  Copy(0, kHeaderBytes);
  ULONG audioControl = WriteInputTerminal1();
  audioControl += CopyWhen(Clear(C7753_DISABLE_MIC_IN_TERMINAL), kMicTerminal, kInputTerminalBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_MIC_IN_REC_UNIT), kMicRecordUnit, kFeatureUnitBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_MIC_IN_AA_UNIT), kMicMonitorUnit, kFeatureUnitBytes);
  audioControl += BuildMonitorMixerUnit();
  audioControl += RewriteMasterFeatureUnit();
  audioControl += Copy(kSpeakerTerminal, kOutputTerminalBytes);
  audioControl += CopyStereoMixUnit();
  audioControl += RewriteRecordOutputTerminal();
  audioControl += BuildRecordSelectorUnit();
  audioControl += CopyWhen(Clear(C7753_DISABLE_LINE_IN_TERMINAL), kLineTerminal, kInputTerminalBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_LINE_IN_REC_UNIT), kLineRecordUnit, kFeatureUnitBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_LINE_IN_AA_UNIT), kLineMonitorUnit, kFeatureUnitBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_SPDIF_IN_TERMINAL), kSpdifTerminal, kInputTerminalBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_STEREO_MIX_REC_UNIT), kStereoMixRecordUnit, kFeatureUnitBytes);
  audioControl += CopyWhen(Clear(C7753_DISABLE_SPDIF_IN_TERMINAL), kSpdifRecordUnit, kFeatureUnitBytes);
  // The AC header counts itself and every AudioControl piece after it.
  PutLe16(m_Out + 18 + 5, 10 + audioControl);
  RewriteStreamingInterfaces();
  PutLe16(m_Out + 2, m_Position);
  return m_Position;
}

ULONG C7753ConfigurationRewrite::WriteInputTerminal1() {
  PUCHAR at = m_Out + m_Position;
  const ULONG length = Copy(kInputTerminal1, kInputTerminalBytes);
  if (Set(C7753_DISABLE_8CH_OUT)) {
    at[7] = 6;
    PutLe16(at + 8, kSixChannelConfig);
  }
  return length;
}

ULONG C7753ConfigurationRewrite::BuildMonitorMixerUnit() {
  const bool mic = Clear(C7753_DISABLE_MIC_IN_AA_UNIT);
  const bool line = Clear(C7753_DISABLE_LINE_IN_AA_UNIT);
  if (!mic && !line) return 0;
  PUCHAR at = m_Out + m_Position;
  const ULONG outputChannels = Set(C7753_DISABLE_8CH_OUT) ? 6 : 8;
  const ULONG inputChannels = outputChannels + (mic ? 2 : 0) + (line ? 2 : 0);
  const ULONG controlBytes = (outputChannels * inputChannels + 7) / 8;
  UCHAR sources[3];
  ULONG pins = 0;
  sources[pins++] = kStreamTerminalId;
  if (mic) sources[pins++] = kMicMonitorId;
  if (line) sources[pins++] = kLineMonitorId;
  at[1] = m_Source[kMonitorMixer + 1];
  at[2] = m_Source[kMonitorMixer + 2];
  at[3] = m_Source[kMonitorMixer + 3];
  at[4] = static_cast<UCHAR>(pins);
  RtlCopyMemory(at + 5, sources, pins);
  ULONG n = 5 + pins;
  at[n++] = static_cast<UCHAR>(outputChannels);
  PutLe16(at + n, outputChannels == 8 ? kEightChannelConfig : kSixChannelConfig);
  n += 2;
  at[n++] = 0;  // iChannelNames
  RtlZeroMemory(at + n, controlBytes);
  n += controlBytes;
  at[n++] = 0;  // iMixer
  at[0] = static_cast<UCHAR>(n);
  m_Position += n;
  return n;
}

ULONG C7753ConfigurationRewrite::RewriteMasterFeatureUnit() {
  PUCHAR at = m_Out + m_Position;
  const bool sixChannels = Set(C7753_DISABLE_8CH_OUT);
  const ULONG length = Copy(kMasterUnit, sixChannels ? kMasterUnitSixChannelBytes : kMasterUnitBytes);
  // Without the monitor mixer the stream feeds the unit directly.
  if (Set(C7753_DISABLE_MIC_IN_AA_UNIT) && Set(C7753_DISABLE_LINE_IN_AA_UNIT)) at[4] = kStreamTerminalId;
  if (sixChannels) {
    // The unit ends after channel 6's controls, with iFeature 0.
    at[0] = static_cast<UCHAR>(kMasterUnitSixChannelBytes);
    at[kMasterUnitSixChannelBytes - 1] = 0;
  }
  return length;
}

ULONG C7753ConfigurationRewrite::CopyStereoMixUnit() {
  const bool written = Clear(C7753_DISABLE_STEREO_MIX_REC_UNIT) && Clear(C7753_DISABLE_MIC_IN_AA_UNIT) &&
                       Clear(C7753_DISABLE_LINE_IN_AA_UNIT);
  return CopyWhen(written, kStereoMixMixer, kStereoMixMixerBytes);
}

ULONG C7753ConfigurationRewrite::RecordingSources(UCHAR* ids) const {
  ULONG count = 0;
  for (const RecordingSource& source : kRecordingSources)
    if (Clear(source.dropSwitch)) ids[count++] = source.unitId;
  return count;
}

ULONG C7753ConfigurationRewrite::RewriteRecordOutputTerminal() {
  const bool written = Clear(C7753_DISABLE_MIC_IN_TERMINAL) || Clear(C7753_DISABLE_LINE_IN_TERMINAL) ||
                       Clear(C7753_DISABLE_SPDIF_IN_TERMINAL);
  if (!written) return 0;
  PUCHAR at = m_Out + m_Position;
  const ULONG length = Copy(kRecordTerminal, kOutputTerminalBytes);
  UCHAR ids[ARRAYSIZE(kRecordingSources)];
  // A single source feeds the terminal without a selector in between. With
  // none the terminal keeps naming the selector, which the parse refuses.
  if (RecordingSources(ids) == 1) at[7] = ids[0];
  return length;
}

ULONG C7753ConfigurationRewrite::BuildRecordSelectorUnit() {
  UCHAR ids[ARRAYSIZE(kRecordingSources)];
  const ULONG sources = RecordingSources(ids);
  if (sources < 2) return 0;
  PUCHAR at = m_Out + m_Position;
  const ULONG length = 6 + sources;
  at[0] = static_cast<UCHAR>(length);
  at[1] = m_Source[kRecordSelector + 1];
  at[2] = m_Source[kRecordSelector + 2];
  at[3] = m_Source[kRecordSelector + 3];
  at[4] = static_cast<UCHAR>(sources);
  RtlCopyMemory(at + 5, ids, sources);
  at[5 + sources] = 0;  // iSelector
  m_Position += length;
  return length;
}

ULONG C7753ConfigurationRewrite::RewriteStreamingInterfaces() {
  const ULONG start = m_Position;
  Copy(kRenderAlternate0, kInterfaceBytes);
  for (const RenderBlock& block : kRenderBlocks) CopyWhen(Clear(block.dropSwitch), block.offset, kRenderBlockBytes);
  PUCHAR alternate5 = m_Out + m_Position;
  Copy(kRenderAlternate5, kRenderAlternate5Bytes);
  const ULONG rate = C7753_ALT5_RATE;
  alternate5[C7753_ALT5_RATE_OFFSET] = static_cast<UCHAR>(rate);
  alternate5[C7753_ALT5_RATE_OFFSET + 1] = static_cast<UCHAR>(rate >> 8);
  alternate5[C7753_ALT5_RATE_OFFSET + 2] = static_cast<UCHAR>(rate >> 16);
  const bool capture = Clear(C7753_DISABLE_MIC_IN_TERMINAL) || Clear(C7753_DISABLE_LINE_IN_TERMINAL) ||
                       Clear(C7753_DISABLE_SPDIF_IN_TERMINAL);
  CopyWhen(capture, kCaptureInterface, kCaptureBytes);
  return m_Position - start;
}
