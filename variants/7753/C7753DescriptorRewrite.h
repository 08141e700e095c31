// The 7753's configuration descriptor, rewritten before it is parsed: the
// chip always describes every input, mixer, recording path and output
// channel layout it has, and the board or the user switches some of them
// off. The rewrite knows the chip's 509-byte layout piece by piece: it
// copies pieces from fixed source offsets, drops the switched-off ones,
// shortens the master feature unit for six channels and rebuilds the
// monitor mixer, the recording selector and the recording terminal from
// what survives. The result is never longer than the source and is copied
// back over it, so the parsers see only what the switches leave.
//
// A descriptor that is not the chip's layout (too short, or a piece that is
// not where the layout has it) is refused and left exactly as it was: the
// rewrite reads fixed offsets and would otherwise read and write beyond it.
#pragma once

#include "kernel/nt.h"
#include "usb/usbspec.h"

constexpr ULONG C7753_TAG = MakeTag("7753");

// The switches, in the order the model keeps them. Each is 0 (clear) or
// non-zero (set).
enum C7753Switch : ULONG {
  C7753_DISABLE_MIC_IN_TERMINAL,
  C7753_DISABLE_LINE_IN_TERMINAL,
  C7753_DISABLE_SPDIF_IN_TERMINAL,
  C7753_DISABLE_MIC_IN_AA_UNIT,
  C7753_DISABLE_LINE_IN_AA_UNIT,
  C7753_DISABLE_MIC_IN_REC_UNIT,
  C7753_DISABLE_LINE_IN_REC_UNIT,
  C7753_DISABLE_STEREO_MIX_REC_UNIT,
  C7753_SUPPORT_HP_OUT,
  C7753_SUPPORT_SPDIF_OUT,
  C7753_DISABLE_2CH_OUT,
  C7753_DISABLE_4CH_OUT,
  C7753_DISABLE_6CH_OUT,
  C7753_DISABLE_8CH_OUT,
  C7753_SWITCH_COUNT
};

// The Settings value that holds each switch.
extern const WCHAR* const C7753SwitchNames[C7753_SWITCH_COUNT];
// What a switch is before the Settings store or a board override speaks:
// the stereo-mix recording path off, headphone and S/PDIF output types on.
UCHAR C7753DefaultSwitch(ULONG index);

// The layout: its length, and where the pieces the model names start.
constexpr ULONG C7753_LAYOUT_BYTES = 509;
constexpr ULONG C7753_REWRITE_SCRATCH_BYTES = 4096;
constexpr ULONG C7753_MASTER_UNIT_OFFSET = 97;
constexpr ULONG C7753_RENDER_ALT5_OFFSET = 411;
// Where in the one-frequency render setting its rate lies.
constexpr ULONG C7753_ALT5_RATE_OFFSET = 24;
constexpr ULONG C7753_ALT5_RATE = 96000;

// Whether `configuration` (of `storedBytes`, the bytes that really exist)
// is the chip's layout: at least C7753_LAYOUT_BYTES by wTotalLength and by
// storage, every piece the rewrite reads where the layout has it, and the
// master feature unit with one-byte control bitmaps.
bool IsC7753Layout(const UCHAR* configuration, ULONG storedBytes);

// Makes the switches consistent: an input terminal that is off takes its
// units with it, and the stereo mix needs both monitor paths.
void ApplyImpliedC7753Switches(UCHAR* switches);

// The rewrite itself (the implied switches first; they stay applied whatever
// the outcome). STATUS_UNSUCCESSFUL, with the descriptor unchanged, when it
// is not the chip's layout, when both the six- and the eight-channel layout
// are off, or when no scratch memory is left.
NTSTATUS RewriteC7753Configuration(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG storedBytes, UCHAR* switches);

// The pieces of one rewrite: each writes its piece at the current output
// position and returns its length (0 when the switches drop it).
class C7753ConfigurationRewrite {
 public:
  C7753ConfigurationRewrite(const UCHAR* source, const UCHAR* switches, PUCHAR out)
      : m_Source(source), m_Switches(switches), m_Out(out) {}

  // The whole descriptor into the output; its length.
  ULONG Write();

  ULONG BuildMonitorMixerUnit();
  ULONG RewriteMasterFeatureUnit();
  ULONG CopyStereoMixUnit();
  ULONG RewriteRecordOutputTerminal();
  ULONG BuildRecordSelectorUnit();
  ULONG RewriteStreamingInterfaces();

 private:
  bool Clear(ULONG index) const { return m_Switches[index] == 0; }
  bool Set(ULONG index) const { return m_Switches[index] != 0; }
  // The source bytes at `offset`, copied to the output position.
  ULONG Copy(ULONG offset, ULONG length);
  ULONG CopyWhen(bool written, ULONG offset, ULONG length) { return written ? Copy(offset, length) : 0; }
  ULONG WriteInputTerminal1();
  // The recording sources left, in selector order; their count.
  ULONG RecordingSources(UCHAR* ids) const;

  const UCHAR* m_Source;
  const UCHAR* m_Switches;
  PUCHAR m_Out;
  ULONG m_Position = 0;
};
