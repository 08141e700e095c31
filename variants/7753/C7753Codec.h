// The 7753's codec registers, as the chip's units, nodes and render stream
// write them: through the model, which keeps the shadow the masked writes
// merge with and sends the HID output report. They take the writer, not
// the model, so that the model alone knows them.
#pragma once

#include "kernel/nt.h"

// The codec register shadow: six registers, each with a flag word whose bit
// 1 marks it for the model's hardware-state restore.
constexpr ULONG C7753_CODEC_REGISTERS = 6;
constexpr USHORT C7753_CODEC_RESTORE = 0x0002;
// The mute-LED bits of register 1: lit for a muted and an unmuted output.
constexpr ULONG C7753_LED_REGISTER = 1;
constexpr USHORT C7753_LED_MASK = 0x0030;
constexpr USHORT C7753_LED_MUTE_BITS = 0x0030;
constexpr USHORT C7753_LED_UNMUTE_BITS = 0x0010;
// Register 5 is toggled around a 1 ms pause to reset the codec.
constexpr ULONG C7753_RESET_REGISTER = 5;
constexpr USHORT C7753_RESET_BITS = 0x3000;

class IC7753CodecWriter {
 public:
  // Sends `value` to codec register `index` (0-5), the bits outside `mask`
  // taken from the shadow (all of `value` for mask 0xFFFF; nothing sent for
  // mask 0). The shadow follows only a write the device took.
  virtual NTSTATUS WriteCodecRegister(ULONG index, USHORT value, USHORT mask) = 0;

 protected:
  ~IC7753CodecWriter() = default;
};
