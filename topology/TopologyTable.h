// The static part of the topology filter's description: automation tables,
// the one data range of every pin, the filter categories, and the tables
// that turn a node type code into a KS node and a pin category into a pin's
// category and name. The pins, nodes and connections themselves are built
// at run time from the hardware model (CMiniportTopology.cpp); the routines
// these tables name (TopologyItems.h) reach the miniport only through its
// handlers.
#pragma once

#include "topology/TopologyItems.h"
#include "topology/DevSpecificNodes.h"
#include "topology/PrivatePropertySets.h"

namespace topology_table {

constexpr ULONG GET = PCPROPERTY_ITEM_FLAG_GET;
constexpr ULONG SET = PCPROPERTY_ITEM_FLAG_SET;
constexpr ULONG BASIC = PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

template <size_t P, size_t E>
constexpr PCAUTOMATION_TABLE Automation(const PCPROPERTY_ITEM (&properties)[P], const PCEVENT_ITEM (&events)[E]) {
  return {sizeof(PCPROPERTY_ITEM), P, properties, sizeof(PCMETHOD_ITEM), 0, nullptr, sizeof(PCEVENT_ITEM), E, events,
          0};
}
template <size_t P>
constexpr PCAUTOMATION_TABLE Automation(const PCPROPERTY_ITEM (&properties)[P]) {
  return {sizeof(PCPROPERTY_ITEM), P, properties, sizeof(PCMETHOD_ITEM), 0, nullptr, sizeof(PCEVENT_ITEM), 0, nullptr,
          0};
}

// Every node table marked with events carries this one item.
inline constexpr PCEVENT_ITEM ControlChangeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, CTopologyItems::EventHandler},
};

// ---- The filter's own items (pins and the filter) ---------------------------------

inline constexpr PCPROPERTY_ITEM FilterProperties[] = {
    {&PROPSETID_DevicePrivate, DEVICEPRIVATE_CONSTANT, GET, CTopologyItems::ItemDevicePrivateConstant},
    {&PROPSETID_DevicePrivate, DEVICEPRIVATE_JACK_DESCRIPTION, GET | BASIC, CTopologyItems::ItemDevicePrivateJack},
    {&PROPSETID_PinCaps, PINCAPS_DEVICE_CAPS, GET | BASIC, CTopologyItems::ItemPinCaps},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET | BASIC, CTopologyItems::ItemJack},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET | BASIC, CTopologyItems::ItemJack},
};
inline constexpr PCAUTOMATION_TABLE TopologyFilterAutomation = Automation(FilterProperties);

// ---- Node tables ----------------------------------------------------------------------

inline constexpr PCPROPERTY_ITEM MuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GET | SET | BASIC, CTopologyItems::ItemSwitch},
};
inline constexpr PCAUTOMATION_TABLE MuteNodeAutomation = Automation(MuteProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GET | SET | BASIC, CTopologyItems::ItemLevel},
    {&PROPSETID_DevicePrivate, DEVICEPRIVATE_LEVEL_WITH_EVENT, SET, CTopologyItems::ItemLevel},
};
inline constexpr PCAUTOMATION_TABLE VolumeNodeAutomation = Automation(VolumeProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM ToneProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, GET | SET | BASIC, CTopologyItems::ItemLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, GET | SET | BASIC, CTopologyItems::ItemLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, GET | SET | BASIC, CTopologyItems::ItemLevel},
    {&PROPSETID_DevicePrivate, DEVICEPRIVATE_LEVEL_WITH_EVENT, SET, CTopologyItems::ItemLevel},
};
inline constexpr PCAUTOMATION_TABLE ToneNodeAutomation = Automation(ToneProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM AgcProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, GET | SET | BASIC, CTopologyItems::ItemSwitch},
};
inline constexpr PCAUTOMATION_TABLE AgcNodeAutomation = Automation(AgcProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM LoudnessProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, GET | SET | BASIC, CTopologyItems::ItemSwitch},
};
inline constexpr PCAUTOMATION_TABLE LoudnessNodeAutomation = Automation(LoudnessProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM MuxProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, GET | SET, CTopologyItems::ItemMuxSource},
};
inline constexpr PCAUTOMATION_TABLE MuxNodeAutomation = Automation(MuxProperties);

inline constexpr PCPROPERTY_ITEM SingleInputSelectorProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, CTopologyItems::ItemDevSpecific},
};
inline constexpr PCAUTOMATION_TABLE SingleInputSelectorAutomation = Automation(SingleInputSelectorProperties);

inline constexpr PCPROPERTY_ITEM DevSpecificProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_NodeKind, NODEKIND_KIND, GET, CTopologyItems::ItemNodeKind},
};
inline constexpr PCAUTOMATION_TABLE DevSpecificNodeAutomation = Automation(DevSpecificProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM OutputTypeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET | BASIC, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_NodeKind, NODEKIND_KIND, GET, CTopologyItems::ItemNodeKind},
    {&PROPSETID_OutputType, OUTPUTTYPE_LIST, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_OutputType, OUTPUTTYPE_CURRENT, GET, CTopologyItems::ItemDevSpecific},
};
inline constexpr PCAUTOMATION_TABLE OutputTypeNodeAutomation = Automation(OutputTypeProperties, ControlChangeEvents);

inline constexpr PCPROPERTY_ITEM ParameterBlockProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET | BASIC, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_NodeKind, NODEKIND_KIND, GET, CTopologyItems::ItemNodeKind},
    {&PROPSETID_ParameterBlock, PARAMETERBLOCK_NAME, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ParameterBlock, PARAMETERBLOCK_PARAMETER_COUNT, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ParameterBlock, PARAMETERBLOCK_SET_BLOCK, SET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ParameterBlock, PARAMETERBLOCK_GET_BLOCK, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ParameterBlock, PARAMETERBLOCK_PARAMETER_INFO, GET, CTopologyItems::ItemDevSpecific},
};
inline constexpr PCAUTOMATION_TABLE ParameterBlockNodeAutomation = Automation(ParameterBlockProperties);

inline constexpr PCPROPERTY_ITEM ProcessingProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_NodeKind, NODEKIND_KIND, GET, CTopologyItems::ItemNodeKind},
    {&PROPSETID_ProcessingNode, PROCESSINGNODE_NAME, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETER_COUNT, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETER_INFO, GET, CTopologyItems::ItemDevSpecific},
    {&PROPSETID_ProcessingNode, PROCESSINGNODE_PARAMETERS, GET | SET, CTopologyItems::ItemDevSpecific},
};
inline constexpr PCAUTOMATION_TABLE ProcessingNodeAutomation = Automation(ProcessingProperties, ControlChangeEvents);

// ---- Node type codes ---------------------------------------------------------------------

enum class NodeRule : UCHAR {
  Invalid,     // DescribeNode fails
  Pin,         // a terminal: described as a pin
  Hidden,      // a clock: never described
  Fixed,       // type, table and name from the row
  Selector,    // MUX with more than one source, else a single-input selector
  Processing,  // named by the node itself
};

struct NodeTypeRow {
  ULONG code;
  NodeRule rule;
  const GUID* type;
  const PCAUTOMATION_TABLE* automation;
  const GUID* name;
  // PROPSETID_NodeKind answer; null: the kind request is refused.
  const GUID* kind;
};

inline constexpr NodeTypeRow NodeTypes[] = {
    {NODE_TYPE_INPUT_PIN, NodeRule::Pin, nullptr, nullptr, nullptr, nullptr},
    {NODE_TYPE_OUTPUT_PIN, NodeRule::Pin, nullptr, nullptr, nullptr, nullptr},
    {NODE_TYPE_MUTE, NodeRule::Fixed, &KSNODETYPE_MUTE, &MuteNodeAutomation, nullptr, nullptr},
    {NODE_TYPE_VOLUME, NodeRule::Fixed, &KSNODETYPE_VOLUME, &VolumeNodeAutomation, nullptr, nullptr},
    {NODE_TYPE_SELECTOR, NodeRule::Selector, nullptr, nullptr, nullptr, nullptr},
    {NODE_TYPE_SUM, NodeRule::Fixed, &KSNODETYPE_SUM, nullptr, nullptr, nullptr},
    {NODE_TYPE_AGC, NodeRule::Fixed, &KSNODETYPE_AGC, &AgcNodeAutomation, nullptr, nullptr},
    {NODE_TYPE_LOUDNESS, NodeRule::Fixed, &KSNODETYPE_LOUDNESS, &LoudnessNodeAutomation, nullptr, nullptr},
    {NODE_TYPE_INPUT_GAIN_PAD, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODEKIND_InputGainPad, &NODEKIND_InputGainPad},
    {NODE_TYPE_BASS, NodeRule::Fixed, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_BASS, nullptr},
    {NODE_TYPE_MID, NodeRule::Fixed, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_MIDRANGE, nullptr},
    {NODE_TYPE_TREBLE, NodeRule::Fixed, &KSNODETYPE_TONE, &ToneNodeAutomation, &KSAUDFNAME_TREBLE, nullptr},
    {NODE_TYPE_CLOCK, NodeRule::Hidden, nullptr, nullptr, nullptr, nullptr},
    {NODE_TYPE_OUTPUT_TYPE, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &OutputTypeNodeAutomation,
     &NODEKIND_OutputType, &NODEKIND_OutputType},
    {14, NodeRule::Invalid, nullptr, nullptr, nullptr, nullptr},
    {NODE_TYPE_FLAG, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation, &NODEKIND_Flag,
     &NODEKIND_Flag},
    {NODE_TYPE_MIC_BOOST, NodeRule::Fixed, &KSNODETYPE_VOLUME, &VolumeNodeAutomation, &KSAUDFNAME_MICROPHONE_BOOST,
     nullptr},
    {NODE_TYPE_RANGED_VALUE, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODEKIND_RangedValue, &NODEKIND_RangedValue},
    {NODE_TYPE_DEVICE_SWITCH, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODEKIND_VendorSwitch, &NODEKIND_VendorSwitch},
    {NODE_TYPE_VENDOR_FLAG, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODEKIND_VendorSwitch, &NODEKIND_VendorSwitch},
    {NODE_TYPE_PARAMETER_BLOCK, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &ParameterBlockNodeAutomation,
     &NODEKIND_ParameterBlock, &NODEKIND_ParameterBlock},
    {21, NodeRule::Invalid, nullptr, nullptr, nullptr, nullptr},
    {NODE_TYPE_BOARD_SWITCH, NodeRule::Fixed, &KSNODETYPE_DEV_SPECIFIC, &DevSpecificNodeAutomation,
     &NODEKIND_BoardSwitch, &NODEKIND_BoardSwitch},
    {NODE_TYPE_PROCESSING, NodeRule::Processing, &KSNODETYPE_DEV_SPECIFIC, &ProcessingNodeAutomation, nullptr,
     &NODEKIND_Processing},
};
constexpr ULONG NodeTypeCount = sizeof(NodeTypes) / sizeof(NodeTypes[0]);

constexpr bool NodeTypesInCodeOrder() {
  for (ULONG i = 0; i < NodeTypeCount; ++i)
    if (NodeTypes[i].code != i) return false;
  return true;
}
static_assert(NodeTypesInCodeOrder(), "NodeTypes is indexed by type code");
static_assert(NodeTypeCount == NODE_TYPE_PROCESSING + 1);

// Codes past the table are invalid too.
inline const NodeTypeRow* NodeTypeRowFor(ULONG code) { return code < NodeTypeCount ? &NodeTypes[code] : nullptr; }

// ---- Pin categories --------------------------------------------------------------------------

enum class PinNameRule : UCHAR {
  None,
  Fixed,       // the row's name
  Spdif,       // from Settings, per direction, else the direction's default
  LineIn,      // input pins: from Settings, else none
  VistaFixed,  // the row's name from Vista on, none before
  StereoMix,   // Vista on: analog connector named stereo mix; before: a category of its own
};

struct PinCategoryRow {
  PinCategory category;
  const GUID* pinCategory;
  PinNameRule nameRule;
  const GUID* name;
};

inline constexpr PinCategoryRow PinCategories[] = {
    {PIN_CATEGORY_STREAM, &KSCATEGORY_AUDIO, PinNameRule::None, nullptr},
    {PIN_CATEGORY_SPK, &KSNODETYPE_SPEAKER, PinNameRule::None, nullptr},
    {PIN_CATEGORY_HP, &KSNODETYPE_HEADPHONES, PinNameRule::None, nullptr},
    {PIN_CATEGORY_SPDIF, &KSNODETYPE_SPDIF_INTERFACE, PinNameRule::Spdif, nullptr},
    {PIN_CATEGORY_HDMI, &KSNODETYPE_HDMI_INTERFACE, PinNameRule::Fixed, &PINNAME_Hdmi},
    {PIN_CATEGORY_DISPLAYPORT, &KSNODETYPE_DISPLAYPORT_INTERFACE, PinNameRule::Fixed, &PINNAME_DisplayPort},
    {PIN_CATEGORY_LINE, &KSNODETYPE_LINE_CONNECTOR, PinNameRule::LineIn, nullptr},
    {PIN_CATEGORY_MIC, &KSNODETYPE_MICROPHONE, PinNameRule::None, nullptr},
    {PIN_CATEGORY_AUX, &KSNODETYPE_ANALOG_CONNECTOR, PinNameRule::VistaFixed, &PINNAME_Aux},
    {PIN_CATEGORY_CD, &KSNODETYPE_CD_PLAYER, PinNameRule::None, nullptr},
    {PIN_CATEGORY_VIDEO, &KSNODETYPE_VIDEO_DISC_AUDIO, PinNameRule::None, nullptr},
    {PIN_CATEGORY_FMIC, &KSNODETYPE_DESKTOP_MICROPHONE, PinNameRule::None, nullptr},
    {PIN_CATEGORY_TELEPHONE, &KSNODETYPE_TELEPHONE, PinNameRule::None, nullptr},
    {PIN_CATEGORY_HANDSET, &KSNODETYPE_HANDSET, PinNameRule::None, nullptr},
    {PIN_CATEGORY_HEADSET, &KSNODETYPE_HEADSET, PinNameRule::None, nullptr},
    {PIN_CATEGORY_SPEAKERPHONE, &KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, PinNameRule::None, nullptr},
    {PIN_CATEGORY_STEREOMIX, &KSNODETYPE_ANALOG_CONNECTOR, PinNameRule::StereoMix, &PINNAME_StereoMix},
    {PIN_CATEGORY_FHP, &KSNODETYPE_HEADPHONES, PinNameRule::None, nullptr},
};
constexpr ULONG PinCategoryRowCount = sizeof(PinCategories) / sizeof(PinCategories[0]);

constexpr bool PinCategoriesInOrder() {
  for (ULONG i = 0; i < PinCategoryRowCount; ++i)
    if (PinCategories[i].category != i) return false;
  return true;
}
static_assert(PinCategoriesInOrder(), "PinCategories is indexed by pin category");
// "Rec" and anything above has no row: DescribePin refuses it.
static_assert(PinCategoryRowCount == PIN_CATEGORY_REC);

// Settings names of the pin names that the user can change.
inline constexpr WCHAR SpdifOutNameSetting[] = u"SpdifOutName";
inline constexpr WCHAR SpdifInNameSetting[] = u"SpdifInName";
inline constexpr WCHAR LineInNameSetting[] = u"LineInName";

// ---- Pins' data range and the filter's categories ---------------------------------------------

// Topology pins carry no stream: one analog range for all of them.
inline constexpr KSDATARANGE AnalogDataRange = {
    {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
      KSDATAFORMAT_SPECIFIER_NONE}}};
inline const PKSDATARANGE PinDataRanges[] = {const_cast<PKSDATARANGE>(&AnalogDataRange)};

inline constexpr GUID FilterCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, EnumPrivateInterfaceClass};

}  // namespace topology_table
