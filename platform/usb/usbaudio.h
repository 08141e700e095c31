// USB Audio Class 1.0 descriptors, request codes and control selectors.
// Fixed-size descriptors are declared as packed structures; the variable ones
// (header, mixer, selector, feature and processing units, format types) carry
// their fixed head as a structure and their counted tails as byte arrays that
// the reader must bound by bLength itself.
#pragma once

#include "usb/usbspec.h"

// ---- Class codes -------------------------------------------------------------
constexpr UCHAR USB_AUDIO_SUBCLASS_UNDEFINED = 0x00;
constexpr UCHAR USB_AUDIO_SUBCLASS_AUDIOCONTROL = 0x01;
constexpr UCHAR USB_AUDIO_SUBCLASS_AUDIOSTREAMING = 0x02;
constexpr UCHAR USB_AUDIO_SUBCLASS_MIDISTREAMING = 0x03;
// bInterfaceProtocol: 0 for Audio Class 1.0, 0x20 for 2.0.
constexpr UCHAR USB_AUDIO_PROTOCOL_UAC1 = 0x00;
constexpr UCHAR USB_AUDIO_PROTOCOL_UAC2 = 0x20;

// ---- Class-specific descriptor types -------------------------------------------
constexpr UCHAR USB_AUDIO_CS_UNDEFINED = 0x20;
constexpr UCHAR USB_AUDIO_CS_DEVICE = 0x21;
constexpr UCHAR USB_AUDIO_CS_CONFIGURATION = 0x22;
constexpr UCHAR USB_AUDIO_CS_STRING = 0x23;
constexpr UCHAR USB_AUDIO_CS_INTERFACE = 0x24;
constexpr UCHAR USB_AUDIO_CS_ENDPOINT = 0x25;

// AudioControl interface descriptor subtypes.
constexpr UCHAR USB_AUDIO_AC_HEADER = 0x01;
constexpr UCHAR USB_AUDIO_AC_INPUT_TERMINAL = 0x02;
constexpr UCHAR USB_AUDIO_AC_OUTPUT_TERMINAL = 0x03;
constexpr UCHAR USB_AUDIO_AC_MIXER_UNIT = 0x04;
constexpr UCHAR USB_AUDIO_AC_SELECTOR_UNIT = 0x05;
constexpr UCHAR USB_AUDIO_AC_FEATURE_UNIT = 0x06;
constexpr UCHAR USB_AUDIO_AC_PROCESSING_UNIT = 0x07;
constexpr UCHAR USB_AUDIO_AC_EXTENSION_UNIT = 0x08;

// AudioStreaming interface descriptor subtypes.
constexpr UCHAR USB_AUDIO_AS_GENERAL = 0x01;
constexpr UCHAR USB_AUDIO_AS_FORMAT_TYPE = 0x02;
constexpr UCHAR USB_AUDIO_AS_FORMAT_SPECIFIC = 0x03;

// Class-specific endpoint descriptor subtype.
constexpr UCHAR USB_AUDIO_EP_GENERAL = 0x01;

// Format types.
constexpr UCHAR USB_AUDIO_FORMAT_TYPE_UNDEFINED = 0x00;
constexpr UCHAR USB_AUDIO_FORMAT_TYPE_I = 0x01;
constexpr UCHAR USB_AUDIO_FORMAT_TYPE_II = 0x02;
constexpr UCHAR USB_AUDIO_FORMAT_TYPE_III = 0x03;

// wFormatTag values of AS_GENERAL.
constexpr USHORT USB_AUDIO_FORMAT_PCM = 0x0001;
constexpr USHORT USB_AUDIO_FORMAT_PCM8 = 0x0002;
constexpr USHORT USB_AUDIO_FORMAT_IEEE_FLOAT = 0x0003;
constexpr USHORT USB_AUDIO_FORMAT_ALAW = 0x0004;
constexpr USHORT USB_AUDIO_FORMAT_MULAW = 0x0005;
constexpr USHORT USB_AUDIO_FORMAT_MPEG = 0x1001;
constexpr USHORT USB_AUDIO_FORMAT_AC3 = 0x1002;
constexpr USHORT USB_AUDIO_FORMAT_IEC1937_AC3 = 0x2001;

// Processing unit process types.
constexpr USHORT USB_AUDIO_PROCESS_UPDOWNMIX = 0x01;
constexpr USHORT USB_AUDIO_PROCESS_DOLBY_PROLOGIC = 0x02;
constexpr USHORT USB_AUDIO_PROCESS_3D_STEREO_EXTENDER = 0x03;
constexpr USHORT USB_AUDIO_PROCESS_REVERBERATION = 0x04;
constexpr USHORT USB_AUDIO_PROCESS_CHORUS = 0x05;
constexpr USHORT USB_AUDIO_PROCESS_DYN_RANGE_COMP = 0x06;

// ---- Class requests (bRequest) -----------------------------------------------------
constexpr UCHAR USB_AUDIO_SET_CUR = 0x01;
constexpr UCHAR USB_AUDIO_SET_MIN = 0x02;
constexpr UCHAR USB_AUDIO_SET_MAX = 0x03;
constexpr UCHAR USB_AUDIO_SET_RES = 0x04;
constexpr UCHAR USB_AUDIO_SET_MEM = 0x05;
constexpr UCHAR USB_AUDIO_GET_CUR = 0x81;
constexpr UCHAR USB_AUDIO_GET_MIN = 0x82;
constexpr UCHAR USB_AUDIO_GET_MAX = 0x83;
constexpr UCHAR USB_AUDIO_GET_RES = 0x84;
constexpr UCHAR USB_AUDIO_GET_MEM = 0x85;
constexpr UCHAR USB_AUDIO_GET_STAT = 0xFF;

// Feature unit control selectors (bit n-1 of bmaControls for selector n).
constexpr UCHAR USB_AUDIO_FU_MUTE_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO_FU_VOLUME_CONTROL = 0x02;
constexpr UCHAR USB_AUDIO_FU_BASS_CONTROL = 0x03;
constexpr UCHAR USB_AUDIO_FU_MID_CONTROL = 0x04;
constexpr UCHAR USB_AUDIO_FU_TREBLE_CONTROL = 0x05;
constexpr UCHAR USB_AUDIO_FU_GRAPHIC_EQUALIZER_CONTROL = 0x06;
constexpr UCHAR USB_AUDIO_FU_AUTOMATIC_GAIN_CONTROL = 0x07;
constexpr UCHAR USB_AUDIO_FU_DELAY_CONTROL = 0x08;
constexpr UCHAR USB_AUDIO_FU_BASS_BOOST_CONTROL = 0x09;
constexpr UCHAR USB_AUDIO_FU_LOUDNESS_CONTROL = 0x0A;

// Processing unit common control selector.
constexpr UCHAR USB_AUDIO_PU_ENABLE_CONTROL = 0x01;

// Endpoint control selectors.
constexpr UCHAR USB_AUDIO_EP_SAMPLING_FREQ_CONTROL = 0x01;
constexpr UCHAR USB_AUDIO_EP_PITCH_CONTROL = 0x02;

// Class-specific endpoint bmAttributes.
constexpr UCHAR USB_AUDIO_EP_ATTR_SAMPLING_FREQ = 0x01;
constexpr UCHAR USB_AUDIO_EP_ATTR_PITCH = 0x02;
constexpr UCHAR USB_AUDIO_EP_ATTR_MAX_PACKETS_ONLY = 0x80;

// Status interrupt word: bStatusType bits.
constexpr UCHAR USB_AUDIO_STATUS_INTERRUPT_PENDING = 0x80;
constexpr UCHAR USB_AUDIO_STATUS_MEMORY_CHANGED = 0x40;
constexpr UCHAR USB_AUDIO_STATUS_ORIGINATOR_MASK = 0x0F;  // 0 AudioControl interface, 1 AS interface, 2 AS endpoint

// ---- Terminal types ------------------------------------------------------------------
constexpr USHORT USB_AUDIO_TERMINAL_USB_UNDEFINED = 0x0100;
constexpr USHORT USB_AUDIO_TERMINAL_USB_STREAMING = 0x0101;
constexpr USHORT USB_AUDIO_TERMINAL_USB_VENDOR = 0x01FF;
constexpr USHORT USB_AUDIO_TERMINAL_INPUT_UNDEFINED = 0x0200;
constexpr USHORT USB_AUDIO_TERMINAL_MICROPHONE = 0x0201;
constexpr USHORT USB_AUDIO_TERMINAL_DESKTOP_MICROPHONE = 0x0202;
constexpr USHORT USB_AUDIO_TERMINAL_PERSONAL_MICROPHONE = 0x0203;
constexpr USHORT USB_AUDIO_TERMINAL_OMNI_MICROPHONE = 0x0204;
constexpr USHORT USB_AUDIO_TERMINAL_MICROPHONE_ARRAY = 0x0205;
constexpr USHORT USB_AUDIO_TERMINAL_OUTPUT_UNDEFINED = 0x0300;
constexpr USHORT USB_AUDIO_TERMINAL_SPEAKER = 0x0301;
constexpr USHORT USB_AUDIO_TERMINAL_HEADPHONES = 0x0302;
constexpr USHORT USB_AUDIO_TERMINAL_HEAD_MOUNTED_DISPLAY = 0x0303;
constexpr USHORT USB_AUDIO_TERMINAL_DESKTOP_SPEAKER = 0x0304;
constexpr USHORT USB_AUDIO_TERMINAL_ROOM_SPEAKER = 0x0305;
constexpr USHORT USB_AUDIO_TERMINAL_COMMUNICATION_SPEAKER = 0x0306;
constexpr USHORT USB_AUDIO_TERMINAL_LFE_SPEAKER = 0x0307;
constexpr USHORT USB_AUDIO_TERMINAL_BIDIRECTIONAL_UNDEFINED = 0x0400;
constexpr USHORT USB_AUDIO_TERMINAL_HANDSET = 0x0401;
constexpr USHORT USB_AUDIO_TERMINAL_HEADSET = 0x0402;
constexpr USHORT USB_AUDIO_TERMINAL_SPEAKERPHONE = 0x0403;
constexpr USHORT USB_AUDIO_TERMINAL_ECHO_SUPPRESSING_SPEAKERPHONE = 0x0404;
constexpr USHORT USB_AUDIO_TERMINAL_ECHO_CANCELING_SPEAKERPHONE = 0x0405;
constexpr USHORT USB_AUDIO_TERMINAL_TELEPHONY_UNDEFINED = 0x0500;
constexpr USHORT USB_AUDIO_TERMINAL_PHONE_LINE = 0x0501;
constexpr USHORT USB_AUDIO_TERMINAL_TELEPHONE = 0x0502;
constexpr USHORT USB_AUDIO_TERMINAL_EXTERNAL_UNDEFINED = 0x0600;
constexpr USHORT USB_AUDIO_TERMINAL_ANALOG_CONNECTOR = 0x0601;
constexpr USHORT USB_AUDIO_TERMINAL_DIGITAL_INTERFACE = 0x0602;
constexpr USHORT USB_AUDIO_TERMINAL_LINE_CONNECTOR = 0x0603;
constexpr USHORT USB_AUDIO_TERMINAL_LEGACY_AUDIO = 0x0604;
constexpr USHORT USB_AUDIO_TERMINAL_SPDIF = 0x0605;
constexpr USHORT USB_AUDIO_TERMINAL_EMBEDDED_UNDEFINED = 0x0700;
constexpr USHORT USB_AUDIO_TERMINAL_CD_PLAYER = 0x0703;
constexpr USHORT USB_AUDIO_TERMINAL_VIDEO_DISC = 0x0706;

// wChannelConfig spatial locations.
constexpr USHORT USB_AUDIO_CHANNEL_LEFT_FRONT = 0x0001;
constexpr USHORT USB_AUDIO_CHANNEL_RIGHT_FRONT = 0x0002;
constexpr USHORT USB_AUDIO_CHANNEL_CENTER_FRONT = 0x0004;
constexpr USHORT USB_AUDIO_CHANNEL_LFE = 0x0008;

#pragma pack(push, 1)

// Common head of every class-specific interface descriptor.
struct USB_AUDIO_CS_DESCRIPTOR_HEADER {
  UCHAR bLength;
  UCHAR bDescriptorType;  // CS_INTERFACE
  UCHAR bDescriptorSubtype;
};

// Standard AudioStreaming isochronous endpoint: the standard endpoint
// descriptor plus the two audio fields.
struct USB_AUDIO_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;  // 9
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
  UCHAR bRefresh;
  UCHAR bSynchAddress;
};

// AC interface header; baInterfaceNr has bInCollection entries.
struct USB_AUDIO_AC_HEADER_DESCRIPTOR {
  UCHAR bLength;  // 8 + bInCollection
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  USHORT bcdADC;
  USHORT wTotalLength;
  UCHAR bInCollection;
  UCHAR baInterfaceNr[1];
};

struct USB_AUDIO_INPUT_TERMINAL_DESCRIPTOR {
  UCHAR bLength;  // 12
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bTerminalID;
  USHORT wTerminalType;
  UCHAR bAssocTerminal;
  UCHAR bNrChannels;
  USHORT wChannelConfig;
  UCHAR iChannelNames;
  UCHAR iTerminal;
};

struct USB_AUDIO_OUTPUT_TERMINAL_DESCRIPTOR {
  UCHAR bLength;  // 9
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bTerminalID;
  USHORT wTerminalType;
  UCHAR bAssocTerminal;
  UCHAR bSourceID;
  UCHAR iTerminal;
};

// Mixer unit: bUnitID, bNrInPins, baSourceID[p], bNrChannels,
// wChannelConfig, iChannelNames, bmControls[N], iMixer; bLength = 10 + p + N.
struct USB_AUDIO_MIXER_UNIT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bUnitID;
  UCHAR bNrInPins;
  UCHAR baSourceID[1];
};

// Selector unit: bUnitID, bNrInPins, baSourceID[p], iSelector; bLength = 6 + p.
struct USB_AUDIO_SELECTOR_UNIT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bUnitID;
  UCHAR bNrInPins;
  UCHAR baSourceID[1];
};

// Feature unit: bmaControls holds (channels + 1) entries of bControlSize
// bytes, master first; iFeature follows. bLength = 7 + (ch + 1) x n.
struct USB_AUDIO_FEATURE_UNIT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bUnitID;
  UCHAR bSourceID;
  UCHAR bControlSize;
  UCHAR bmaControls[1];
};

// Processing and extension units: wProcessType (or wExtensionCode),
// bNrInPins, baSourceID[p], bNrChannels, wChannelConfig, iChannelNames,
// bControlSize, bmControls[n], iProcessing, then process-specific bytes.
struct USB_AUDIO_PROCESSING_UNIT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bUnitID;
  USHORT wProcessType;
  UCHAR bNrInPins;
  UCHAR baSourceID[1];
};

struct USB_AUDIO_AS_GENERAL_DESCRIPTOR {
  UCHAR bLength;  // 7
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bTerminalLink;
  UCHAR bDelay;
  USHORT wFormatTag;
};

// Format type I and III: bSamFreqType discrete 3-byte rates follow, or a
// continuous range (lower, upper) when bSamFreqType is 0.
struct USB_AUDIO_FORMAT_TYPE_I_DESCRIPTOR {
  UCHAR bLength;  // 8 + 3 x rates, or 14
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bFormatType;
  UCHAR bNrChannels;
  UCHAR bSubframeSize;
  UCHAR bBitResolution;
  UCHAR bSamFreqType;
  UCHAR tSamFreq[1][3];
};
using USB_AUDIO_FORMAT_TYPE_III_DESCRIPTOR = USB_AUDIO_FORMAT_TYPE_I_DESCRIPTOR;

struct USB_AUDIO_FORMAT_TYPE_II_DESCRIPTOR {
  UCHAR bLength;  // 9 + 3 x rates, or 15
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bFormatType;
  USHORT wMaxBitRate;
  USHORT wSamplesPerFrame;
  UCHAR bSamFreqType;
  UCHAR tSamFreq[1][3];
};

// Class-specific isochronous audio data endpoint.
struct USB_AUDIO_CS_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;  // 7
  UCHAR bDescriptorType;
  UCHAR bDescriptorSubtype;
  UCHAR bmAttributes;
  UCHAR bLockDelayUnits;
  USHORT wLockDelay;
};

// Status word of the AudioControl interrupt endpoint.
struct USB_AUDIO_STATUS_WORD {
  UCHAR bStatusType;
  UCHAR bOriginator;
};

#pragma pack(pop)

static_assert(sizeof(USB_AUDIO_CS_DESCRIPTOR_HEADER) == 3);
static_assert(sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) == 9);
static_assert(offsetof(USB_AUDIO_AC_HEADER_DESCRIPTOR, baInterfaceNr) == 8);
static_assert(sizeof(USB_AUDIO_INPUT_TERMINAL_DESCRIPTOR) == 12);
static_assert(sizeof(USB_AUDIO_OUTPUT_TERMINAL_DESCRIPTOR) == 9);
static_assert(offsetof(USB_AUDIO_MIXER_UNIT_DESCRIPTOR, baSourceID) == 5);
static_assert(offsetof(USB_AUDIO_SELECTOR_UNIT_DESCRIPTOR, baSourceID) == 5);
static_assert(offsetof(USB_AUDIO_FEATURE_UNIT_DESCRIPTOR, bmaControls) == 6);
static_assert(offsetof(USB_AUDIO_PROCESSING_UNIT_DESCRIPTOR, baSourceID) == 7);
static_assert(sizeof(USB_AUDIO_AS_GENERAL_DESCRIPTOR) == 7);
static_assert(offsetof(USB_AUDIO_FORMAT_TYPE_I_DESCRIPTOR, tSamFreq) == 8);
static_assert(offsetof(USB_AUDIO_FORMAT_TYPE_II_DESCRIPTOR, tSamFreq) == 9);
static_assert(sizeof(USB_AUDIO_CS_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO_STATUS_WORD) == 2);
