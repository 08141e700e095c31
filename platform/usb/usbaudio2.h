// USB Audio Class 2.0 descriptor subtypes, request codes and control
// selectors: what differs from Audio Class 1.0 (usbaudio.h), whose class
// codes, descriptor types and terminal types stay the same. Every field is
// little-endian; descriptors are read as bytes and bounded by bLength.
#pragma once

#include "usb/usbaudio.h"

// ---- AudioControl descriptor subtypes ------------------------------------------------
constexpr UCHAR USB_AUDIO2_AC_HEADER = 0x01;
constexpr UCHAR USB_AUDIO2_AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR USB_AUDIO2_AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR USB_AUDIO2_AC_MIXER_UNIT = 0x04;
constexpr UCHAR USB_AUDIO2_AC_SELECTOR_UNIT = 0x05;
constexpr UCHAR USB_AUDIO2_AC_FEATURE_UNIT = 0x06;
constexpr UCHAR USB_AUDIO2_AC_EFFECT_UNIT = 0x07;
constexpr UCHAR USB_AUDIO2_AC_PROCESSING_UNIT = 0x08;
constexpr UCHAR USB_AUDIO2_AC_EXTENSION_UNIT = 0x09;
constexpr UCHAR USB_AUDIO2_AC_CLOCK_SOURCE = 0x0A;
constexpr UCHAR USB_AUDIO2_AC_CLOCK_SELECTOR = 0x0B;
constexpr UCHAR USB_AUDIO2_AC_CLOCK_MULTIPLIER = 0x0C;
constexpr UCHAR USB_AUDIO2_AC_SAMPLE_RATE_CONVERTER = 0x0D;

// ---- AudioStreaming ---------------------------------------------------------------------
constexpr UCHAR USB_AUDIO2_AS_GENERAL = 0x01;
constexpr UCHAR USB_AUDIO2_AS_FORMAT_TYPE = 0x02;
// bmFormats of a Type I interface: PCM, and the raw-data bit.
constexpr ULONG USB_AUDIO2_FORMAT_PCM = 0x00000001;
constexpr ULONG USB_AUDIO2_FORMAT_RAW_DATA = 0x80000000;
// bmFormats of a Type III interface: IEC 61937 AC-3 and WMA Pro.
constexpr ULONG USB_AUDIO2_FORMAT_IEC61937_AC3 = 0x00000001;
constexpr ULONG USB_AUDIO2_FORMAT_IEC61937_WMA = 0x00001000;

// ---- Requests (bRequest) ------------------------------------------------------------------
constexpr UCHAR USB_AUDIO2_CUR = 0x01;
constexpr UCHAR USB_AUDIO2_RANGE = 0x02;
constexpr UCHAR USB_AUDIO2_MEM = 0x03;

// ---- Control selectors ----------------------------------------------------------------------
// Clock source.
constexpr UCHAR USB_AUDIO2_CS_SAM_FREQ_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO2_CS_CLOCK_VALID_CONTROL = 0x02;
// Terminals.
constexpr UCHAR USB_AUDIO2_TE_CONNECTOR_CONTROL = 0x02;
// Selector unit.
constexpr UCHAR USB_AUDIO2_SU_SELECTOR_CONTROL = 0x01;
// AudioStreaming interface.
constexpr UCHAR USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL = 0x02;
// Feature unit selectors are those of Audio Class 1.0 (mute 1, volume 2 ...),
// plus input gain pad.
constexpr UCHAR USB_AUDIO2_FU_INPUT_GAIN_PAD_CONTROL = 0x0C;

// The terminal-type control and the jack-information control of a
// terminal: wValue of their CUR and RANGE requests.
constexpr USHORT USB_AUDIO2_TERMINAL_TYPE_VALUE = 0x0800;
constexpr USHORT USB_AUDIO2_JACK_INFO_VALUE = 0x02FF;

// ---- Interrupt data message ------------------------------------------------------------------
// bInfo, bAttribute (the request: CUR), wValue (selector << 8 | channel),
// wIndex (entity << 8 | interface).
constexpr ULONG USB_AUDIO2_STATUS_MESSAGE_BYTES = 6;
constexpr UCHAR USB_AUDIO2_STATUS_INFO_ENDPOINT = 0x02;  // bInfo bit 1: an endpoint, not the interface
constexpr UCHAR USB_AUDIO2_STATUS_INFO_VENDOR = 0x01;    // bInfo bit 0: vendor-specific

// ---- Explicit feedback ------------------------------------------------------------------------
// Full speed: 10.14 samples per frame in 3 bytes; high speed: 16.16 samples
// per microframe in 4 bytes.
constexpr ULONG USB_AUDIO2_FEEDBACK_BYTES_FULL_SPEED = 3;
constexpr ULONG USB_AUDIO2_FEEDBACK_BYTES_HIGH_SPEED = 4;
