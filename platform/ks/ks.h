// Kernel-streaming definitions: identifiers, property and event requests,
// data formats and ranges, pin descriptions. Declared here for the stand-in
// from the documented values and layouts (64-bit); every structure whose
// size clients depend on is checked below.
#pragma once

#include "kernel/ntdef.h"
#include "kernel/sync.h"

// ---- Identifiers and requests -----------------------------------------------

// KSIDENTIFIER: a set GUID, an id within the set and flags (for a property
// request, the verb). The union gives it 8-byte alignment.
struct KSIDENTIFIER {
  union {
    struct {
      GUID Set;
      ULONG Id;
      ULONG Flags;
    };
    LONGLONG Alignment;
  };
};
using KSPROPERTY = KSIDENTIFIER;
using KSMETHOD = KSIDENTIFIER;
using KSEVENT = KSIDENTIFIER;
using PKSIDENTIFIER = KSIDENTIFIER*;
using PKSPROPERTY = KSPROPERTY*;
using PKSEVENT = KSEVENT*;
static_assert(sizeof(KSIDENTIFIER) == 24);

constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
constexpr ULONG KSPROPERTY_TYPE_SETSUPPORT = 0x00000100;
constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSPROPERTY_TYPE_RELATIONS = 0x00000400;
constexpr ULONG KSPROPERTY_TYPE_SERIALIZESET = 0x00000800;
constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;
constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

// A property addressed to a node of a filter.
struct KSNODEPROPERTY {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
};
using PKSNODEPROPERTY = KSNODEPROPERTY*;
static_assert(sizeof(KSNODEPROPERTY) == 32);

// A node property for one channel (volume, mute, tone ...).
struct KSNODEPROPERTY_AUDIO_CHANNEL {
  KSNODEPROPERTY NodeProperty;
  LONG Channel;
  ULONG Reserved;
};
using PKSNODEPROPERTY_AUDIO_CHANNEL = KSNODEPROPERTY_AUDIO_CHANNEL*;
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40);

// A property addressed to a pin of a filter (pin factory id in PinId).
struct KSP_PIN {
  KSPROPERTY Property;
  ULONG PinId;
  ULONG Reserved;
};
using PKSP_PIN = KSP_PIN*;
static_assert(sizeof(KSP_PIN) == 32);

struct KSP_NODE {
  KSPROPERTY Property;
  ULONG NodeId;
  ULONG Reserved;
};
static_assert(sizeof(KSP_NODE) == 32);

struct KSE_NODE {
  KSEVENT Event;
  ULONG NodeId;
  ULONG Reserved;
};
static_assert(sizeof(KSE_NODE) == 32);

// ---- Property descriptions (basic support answers) --------------------------

struct KSPROPERTY_DESCRIPTION {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
};
using PKSPROPERTY_DESCRIPTION = KSPROPERTY_DESCRIPTION*;
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40);
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8);
static_assert(offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32);

struct KSPROPERTY_MEMBERSHEADER {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
};
using PKSPROPERTY_MEMBERSHEADER = KSPROPERTY_MEMBERSHEADER*;
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);

constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL = 0x00000002;
constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_UNIFORM = 0x00000004;

union KSPROPERTY_BOUNDS_LONG {
  struct {
    LONG SignedMinimum;
    LONG SignedMaximum;
  };
  struct {
    ULONG UnsignedMinimum;
    ULONG UnsignedMaximum;
  };
};
using PKSPROPERTY_BOUNDS_LONG = KSPROPERTY_BOUNDS_LONG*;
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8);

struct KSPROPERTY_STEPPING_LONG {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
};
using PKSPROPERTY_STEPPING_LONG = KSPROPERTY_STEPPING_LONG*;
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);

// Variant type codes used in PropTypeSet.Id.
constexpr ULONG VT_EMPTY = 0;
constexpr ULONG VT_I4 = 3;
constexpr ULONG VT_BOOL = 11;
constexpr ULONG VT_UI4 = 19;

struct KSMULTIPLE_ITEM {
  ULONG Size;
  ULONG Count;
};
using PKSMULTIPLE_ITEM = KSMULTIPLE_ITEM*;
static_assert(sizeof(KSMULTIPLE_ITEM) == 8);

struct KSCOMPONENTID {
  GUID Manufacturer;
  GUID Product;
  GUID Component;
  GUID Name;
  ULONG Version;
  ULONG Revision;
};
using PKSCOMPONENTID = KSCOMPONENTID*;
static_assert(sizeof(KSCOMPONENTID) == 72);

// ---- Data formats and ranges ------------------------------------------------

struct KSDATAFORMAT {
  union {
    struct {
      ULONG FormatSize;
      ULONG Flags;
      ULONG SampleSize;
      ULONG Reserved;
      GUID MajorFormat;
      GUID SubFormat;
      GUID Specifier;
    };
    LONGLONG Alignment;
  };
};
using KSDATARANGE = KSDATAFORMAT;
using PKSDATAFORMAT = KSDATAFORMAT*;
using PKSDATARANGE = KSDATARANGE*;
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16);
static_assert(offsetof(KSDATAFORMAT, Specifier) == 48);

// Flags of a data format or range.
constexpr ULONG KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION = 0;
constexpr ULONG KSDATAFORMAT_TEMPORAL_COMPRESSION = 1u << KSDATAFORMAT_BIT_TEMPORAL_COMPRESSION;
constexpr ULONG KSDATAFORMAT_BIT_ATTRIBUTES = 1;
constexpr ULONG KSDATAFORMAT_ATTRIBUTES = 1u << KSDATAFORMAT_BIT_ATTRIBUTES;

// ---- Pins ------------------------------------------------------------------

enum KSPIN_DATAFLOW : ULONG { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 };
using PKSPIN_DATAFLOW = KSPIN_DATAFLOW*;

enum KSPIN_COMMUNICATION : ULONG {
  KSPIN_COMMUNICATION_NONE = 0,
  KSPIN_COMMUNICATION_SINK = 1,
  KSPIN_COMMUNICATION_SOURCE = 2,
  KSPIN_COMMUNICATION_BOTH = 3,
  KSPIN_COMMUNICATION_BRIDGE = 4,
};
using PKSPIN_COMMUNICATION = KSPIN_COMMUNICATION*;

using KSPIN_INTERFACE = KSIDENTIFIER;
using KSPIN_MEDIUM = KSIDENTIFIER;
using PKSPIN_INTERFACE = KSPIN_INTERFACE*;
using PKSPIN_MEDIUM = KSPIN_MEDIUM*;

constexpr ULONG KSINTERFACE_STANDARD_STREAMING = 0;
constexpr ULONG KSINTERFACE_STANDARD_LOOPED_STREAMING = 1;
constexpr ULONG KSINTERFACE_STANDARD_CONTROL = 2;
constexpr ULONG KSMEDIUM_TYPE_ANYINSTANCE = 0;

struct KSPIN_DESCRIPTOR {
  ULONG InterfacesCount;
  const KSPIN_INTERFACE* Interfaces;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  ULONG DataRangesCount;
  const PKSDATARANGE* DataRanges;
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  const GUID* Category;
  const GUID* Name;
  union {
    LONGLONG Reserved;
    struct {
      ULONG ConstrainedDataRangesCount;
      PKSDATARANGE* ConstrainedDataRanges;
    };
  };
};
using PKSPIN_DESCRIPTOR = KSPIN_DESCRIPTOR*;
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88);
static_assert(offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48);
static_assert(offsetof(KSPIN_DESCRIPTOR, Category) == 56);

// The id that stands for the filter itself in a connection description.
constexpr ULONG KSFILTER_NODE = 0xFFFFFFFF;

struct KSTOPOLOGY_CONNECTION {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
};
using PKSTOPOLOGY_CONNECTION = KSTOPOLOGY_CONNECTION*;
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);

// Pin creation: the connect request, followed in the create buffer by the
// KSDATAFORMAT of the connection.
struct KSPRIORITY {
  ULONG PriorityClass;
  ULONG PrioritySubClass;
};

struct KSPIN_CONNECT {
  KSPIN_INTERFACE Interface;
  KSPIN_MEDIUM Medium;
  ULONG PinId;
  HANDLE PinToHandle;
  KSPRIORITY Priority;
};
using PKSPIN_CONNECT = KSPIN_CONNECT*;
static_assert(sizeof(KSPIN_CONNECT) == 72);

enum KSSTATE : ULONG { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };
using PKSSTATE = KSSTATE*;

// ---- Events ------------------------------------------------------------------

constexpr ULONG KSEVENT_TYPE_ENABLE = 0x00000001;
constexpr ULONG KSEVENT_TYPE_ONESHOT = 0x00000002;
constexpr ULONG KSEVENT_TYPE_ENABLEBUFFERED = 0x00000004;
constexpr ULONG KSEVENT_TYPE_SETSUPPORT = 0x00000100;
constexpr ULONG KSEVENT_TYPE_BASICSUPPORT = 0x00000200;
constexpr ULONG KSEVENT_TYPE_QUERYBUFFER = 0x00000400;
constexpr ULONG KSEVENT_TYPE_TOPOLOGY = 0x10000000;

// How an event is delivered to its subscriber.
constexpr ULONG KSEVENTF_EVENT_HANDLE = 0x00000001;
constexpr ULONG KSEVENTF_SEMAPHORE_HANDLE = 0x00000002;
constexpr ULONG KSEVENTF_EVENT_OBJECT = 0x00000004;
constexpr ULONG KSEVENTF_SEMAPHORE_OBJECT = 0x00000008;
constexpr ULONG KSEVENTF_DPC = 0x00000010;
constexpr ULONG KSEVENTF_WORKITEM = 0x00000020;
constexpr ULONG KSEVENTF_KSWORKITEM = 0x00000080;

struct KSEVENTDATA {
  ULONG NotificationType;
  union {
    struct {
      HANDLE Event;
      ULONG_PTR Reserved[2];
    } EventHandle;
    struct {
      PRKEVENT Event;
      KPRIORITY Increment;
      ULONG_PTR Reserved;
    } EventObject;
    struct {
      PVOID Unused;
      ULONG_PTR Reserved[2];
    } Alignment;
  };
};
using PKSEVENTDATA = KSEVENTDATA*;
static_assert(sizeof(KSEVENTDATA) == 32);

// One enabled event. The framework owns it from enable to disable; the
// handler only links it into the port's list.
struct KSEVENT_ENTRY {
  LIST_ENTRY ListEntry;
  PVOID Object;
  PKSEVENTDATA EventData;
  ULONG NotificationType;
  ULONG Flags;
  const GUID* EventSet;
  ULONG EventId;
  ULONG Reserved;
};
using PKSEVENT_ENTRY = KSEVENT_ENTRY*;

// ---- Property sets and names of general use ---------------------------------

inline constexpr GUID GUID_NULL = DEFINE_GUID_VALUE(0x00000000, 0x0000, 0x0000, 0, 0, 0, 0, 0, 0, 0, 0);

inline constexpr GUID KSPROPTYPESETID_General =
    DEFINE_GUID_VALUE(0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
inline constexpr GUID KSINTERFACESETID_Standard =
    DEFINE_GUID_VALUE(0x1A8766A0, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
inline constexpr GUID KSMEDIUMSETID_Standard =
    DEFINE_GUID_VALUE(0x4747B320, 0x62CE, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
inline constexpr GUID KSPROPSETID_Pin =
    DEFINE_GUID_VALUE(0x8C134960, 0x51AD, 0x11CF, 0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00);
inline constexpr GUID KSPROPSETID_Connection =
    DEFINE_GUID_VALUE(0x1D58C920, 0xAC9B, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);
inline constexpr GUID KSPROPSETID_Topology =
    DEFINE_GUID_VALUE(0x720D4AC0, 0x7533, 0x11D0, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00);

// Filter categories.
inline constexpr GUID KSCATEGORY_AUDIO =
    DEFINE_GUID_VALUE(0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
inline constexpr GUID KSCATEGORY_RENDER =
    DEFINE_GUID_VALUE(0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
inline constexpr GUID KSCATEGORY_CAPTURE =
    DEFINE_GUID_VALUE(0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
inline constexpr GUID KSCATEGORY_TOPOLOGY =
    DEFINE_GUID_VALUE(0xDDA54A40, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00);

// Data formats.
inline constexpr GUID KSDATAFORMAT_TYPE_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SUBTYPE_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SPECIFIER_WILDCARD = GUID_NULL;
inline constexpr GUID KSDATAFORMAT_SPECIFIER_NONE =
    DEFINE_GUID_VALUE(0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
