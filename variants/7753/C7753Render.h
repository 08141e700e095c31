// The 7753's render stream: the Audio Class 1.0 render pipe with formats
// that follow the selected output type, and a codec told the rate and
// whether the payload is PCM whenever it opens.
//
// Each time the engine is named (at start, and again after every output-
// type change, when the model re-registers its wave filter) it rebuilds its
// lists: the speaker offers neither 96 kHz PCM nor AC-3; the headphone
// offers one 96 kHz stereo PCM format; S/PDIF offers that and AC-3 over
// IEC 61937 at 44.1, 48 and 96 kHz. The 96 kHz formats play on alternate
// setting 5 (the one-frequency setting the descriptor rewrite sets to
// 96 kHz), AC-3 at 44.1 and 48 kHz on setting 2.
#pragma once

#include "streaming/CUac1Render.h"

class IC7753CodecWriter;

constexpr UCHAR C7753_ALT_SETTING_STEREO = 2;
constexpr UCHAR C7753_ALT_SETTING_96K = 5;

// The codec register 0 bits the open sets.
constexpr USHORT C7753_RATE_MASK = 0x7000;
constexpr USHORT C7753_RATE_44100 = 0x0000;
constexpr USHORT C7753_RATE_48000 = 0x2000;
constexpr USHORT C7753_RATE_96000 = 0x6000;
constexpr USHORT C7753_NON_PCM_BIT = 0x0002;

class C7753Render : public CUac1Render {
 public:
  C7753Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId, IC7753CodecWriter* codec)
      : CUac1Render(outerUnknown, interfaceNumber, terminalNodeId), m_Codec(codec) {}

  // The name, then the format lists of the output type now selected. A name
  // that is refused changes nothing.
  NTSTATUS STDMETHODCALLTYPE SetName(PCWSTR name) override;
  // The Audio Class 1.0 open, then the rate and the payload kind to the
  // codec (their results do not matter to the stream).
  NTSTATUS OpenForFormat(StreamClientRecord* client, PULONG currentFrame) override;

  NTSTATUS AddPcm96kFormat();
  NTSTATUS AddAc3Formats();
  NTSTATUS RemoveFormatsAt96k();
  NTSTATUS RemoveAc3Formats();

 private:
  IC7753CodecWriter* const m_Codec;  // no reference: the model owns this engine
};
