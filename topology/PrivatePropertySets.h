// The driver's private kernel-streaming property sets and the kind GUIDs of
// its device-specific nodes. The topology filter serves most of them; the
// wave filter serves the capability record of its stream engine. User-mode
// tools of the product use the same values.
#pragma once

#include "ks/ksmedia.h"

// ---- Property sets ----------------------------------------------------------------

// 1 capability record of the wave filter's stream engine; 2 a constant of
// the topology filter; 3 a level set that also raises a control-change
// event; 4 jack descriptions of a topology pin.
inline constexpr GUID PROPSETID_DevicePrivate =
    DEFINE_GUID_VALUE(0x1B4400F0, 0x9627, 0x4EE7, 0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE);
enum : ULONG {
  DEVICEPRIVATE_STREAM_CAPS = 1,
  DEVICEPRIVATE_CONSTANT = 2,
  DEVICEPRIVATE_LEVEL_WITH_EVENT = 3,
  DEVICEPRIVATE_JACK_DESCRIPTION = 4,
};
// What DEVICEPRIVATE_CONSTANT answers.
constexpr ULONG DEVICEPRIVATE_CONSTANT_VALUE = 0x00030000;

// 1 the kind GUID of a device-specific node.
inline constexpr GUID PROPSETID_NodeKind =
    DEFINE_GUID_VALUE(0x00A34C4A, 0x26E6, 0x4095, 0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6);
constexpr ULONG NODEKIND_KIND = 1;

// 1 the selectable pin categories; 2 the current one.
inline constexpr GUID PROPSETID_OutputType =
    DEFINE_GUID_VALUE(0xED76304D, 0xB322, 0x4ECB, 0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F, 0x04);
constexpr ULONG OUTPUTTYPE_LIST = 1;
constexpr ULONG OUTPUTTYPE_CURRENT = 2;

// 1 name GUID; 2 parameter count; 3 parameter info; 4 parameter block.
inline constexpr GUID PROPSETID_ProcessingNode =
    DEFINE_GUID_VALUE(0x369C31B9, 0x34E6, 0x4640, 0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19, 0x94);
constexpr ULONG PROCESSINGNODE_NAME = 1;
constexpr ULONG PROCESSINGNODE_PARAMETER_COUNT = 2;
constexpr ULONG PROCESSINGNODE_PARAMETER_INFO = 3;
constexpr ULONG PROCESSINGNODE_PARAMETERS = 4;

// 1 the capability record of a pin.
inline constexpr GUID PROPSETID_PinCaps =
    DEFINE_GUID_VALUE(0xA210D309, 0x0822, 0x456B, 0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7);
constexpr ULONG PINCAPS_DEVICE_CAPS = 1;

// 1 name GUID; 2 parameter count; 3 set block; 4 get block; 5 parameter info.
inline constexpr GUID PROPSETID_ParameterBlock =
    DEFINE_GUID_VALUE(0x561BABB8, 0xE02F, 0x4500, 0x9B, 0xEF, 0xE0, 0xBE, 0x8B, 0x7C, 0x46, 0x30);
constexpr ULONG PARAMETERBLOCK_NAME = 1;
constexpr ULONG PARAMETERBLOCK_PARAMETER_COUNT = 2;
constexpr ULONG PARAMETERBLOCK_SET_BLOCK = 3;
constexpr ULONG PARAMETERBLOCK_GET_BLOCK = 4;
constexpr ULONG PARAMETERBLOCK_PARAMETER_INFO = 5;

// ---- Kinds of device-specific nodes ---------------------------------------------------
// The Name of each kind's KS node and its PROPSETID_NodeKind answer.

inline constexpr GUID NODEKIND_InputGainPad =
    DEFINE_GUID_VALUE(0xBAE3AD68, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D, 0x7A);
inline constexpr GUID NODEKIND_OutputType =
    DEFINE_GUID_VALUE(0x0D18F5A4, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB);
inline constexpr GUID NODEKIND_Flag =
    DEFINE_GUID_VALUE(0x97491449, 0xE534, 0x4A7E, 0xB1, 0x4F, 0x94, 0x1B, 0x20, 0x7D, 0x58, 0x6D);
inline constexpr GUID NODEKIND_RangedValue =
    DEFINE_GUID_VALUE(0xA63DF7EA, 0x8A37, 0x450D, 0x83, 0x2C, 0x5B, 0x90, 0x64, 0x23, 0x58, 0x51);
inline constexpr GUID NODEKIND_VendorSwitch =
    DEFINE_GUID_VALUE(0xFDA49636, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6);
inline constexpr GUID NODEKIND_ParameterBlock = PROPSETID_ParameterBlock;
inline constexpr GUID NODEKIND_BoardSwitch =
    DEFINE_GUID_VALUE(0xDB357A6F, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47);
// A processing node's kind; its Name is the node's own GUID.
inline constexpr GUID NODEKIND_Processing = PROPSETID_ProcessingNode;

// ---- Names of pins ------------------------------------------------------------------------

inline constexpr GUID PINNAME_SpdifOut =
    DEFINE_GUID_VALUE(0x12C15946, 0xBA58, 0x42C1, 0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22);
inline constexpr GUID PINNAME_SpdifIn =
    DEFINE_GUID_VALUE(0x017D895C, 0x7AE7, 0x4F4D, 0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7, 0x76);
inline constexpr GUID PINNAME_Hdmi =
    DEFINE_GUID_VALUE(0x387BFC03, 0xE7EF, 0x4901, 0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00, 0xEF);
inline constexpr GUID PINNAME_DisplayPort =
    DEFINE_GUID_VALUE(0x21FBB329, 0x1A4A, 0x48DA, 0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5, 0x9B, 0x26);
inline constexpr GUID PINNAME_Aux =
    DEFINE_GUID_VALUE(0x5F4BB488, 0xA646, 0x408A, 0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4);
inline constexpr GUID PINNAME_StereoMix =
    DEFINE_GUID_VALUE(0x8C5716E6, 0xC984, 0x492E, 0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9);
// Before Vista the stereo-mix pin carries this as its category, and no name.
inline constexpr GUID PINCATEGORY_StereoMixLegacy =
    DEFINE_GUID_VALUE(0x00DFF077, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);

// ---- Filter category ----------------------------------------------------------------------

// Lets the product's user-mode tools find the topology filter.
inline constexpr GUID EnumPrivateInterfaceClass =
    DEFINE_GUID_VALUE(0x4FB0624C, 0x52B6, 0x4ABF, 0x93, 0x85, 0x1D, 0x9E, 0x27, 0xD0, 0x8E, 0x90);
