// The ASIO host's private interface as the driver and a host share it: the
// latency table, the sample types, the shared block a host gets per stream
// engine and the records its I/O controls carry; and the driver's own
// records of the interface's clients and of each engine's shared block.
//
// Every record is little-endian and 32-bit aligned; none holds a pointer, so
// a 32-bit and a 64-bit host see the same layout. The one exception is the
// answer to IOCTL_ASIO_CREATE_BUFFERS, one user address per engine, whose
// width follows the caller's (AsioIoctlTable.h).
#pragma once

#include "driver/common/PrivateInterfaces.h"

// ---- Latencies ------------------------------------------------------------------------
// The buffer lengths a host chooses from, in milliseconds, by index.
constexpr ULONG ASIO_LATENCY_COUNT = 9;
inline constexpr ULONG AsioLatencyTable[ASIO_LATENCY_COUNT] = {2, 4, 6, 8, 10, 20, 30, 40, 50};
constexpr ULONG ASIO_MAX_LATENCY_INDEX = ASIO_LATENCY_COUNT - 1;

// ---- Sample types -----------------------------------------------------------------------
// The host's sample-type codes this driver serves. DSD is only ever
// reported, for a client in DSD mode.
constexpr ULONG ASIO_SAMPLE_INT16 = 16;
constexpr ULONG ASIO_SAMPLE_INT24 = 17;  // packed in three bytes
constexpr ULONG ASIO_SAMPLE_INT32 = 18;
constexpr ULONG ASIO_SAMPLE_INT32_16 = 24;  // 32-bit container, 16 valid bits
constexpr ULONG ASIO_SAMPLE_INT32_18 = 25;
constexpr ULONG ASIO_SAMPLE_INT32_20 = 26;
constexpr ULONG ASIO_SAMPLE_INT32_24 = 27;
constexpr ULONG ASIO_DSD_SAMPLE_TYPE = 33;
// A DSD frame carries 64 one-bit samples per channel.
constexpr ULONG ASIO_DSD_BYTES_PER_SAMPLE = 8;
constexpr ULONG ASIO_DSD_MIN_RATE = 2822400;

struct AsioSampleType {
  ULONG Code;
  USHORT ContainerBits;
  USHORT ValidBits;
};
// The PCM types, in the order GetSampleTypes lists what every engine can
// carry.
inline constexpr AsioSampleType AsioPcmSampleTypes[] = {
    {ASIO_SAMPLE_INT16, 16, 16},    {ASIO_SAMPLE_INT24, 24, 24},    {ASIO_SAMPLE_INT32_16, 32, 16},
    {ASIO_SAMPLE_INT32_24, 32, 24}, {ASIO_SAMPLE_INT32, 32, 32},    {ASIO_SAMPLE_INT32_18, 32, 18},
    {ASIO_SAMPLE_INT32_20, 32, 20},
};
// Null for any code that is not a PCM type above (DSD included).
const AsioSampleType* FindAsioSampleType(ULONG code);
// 2, 3 or 4 for a PCM type; 0 for anything else.
ULONG AsioBytesPerSample(ULONG code);

// Data-format subtype of DSD stream formats.
inline constexpr GUID KSDATAFORMAT_SUBTYPE_DSD =
    DEFINE_GUID_VALUE(0x00006B3E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);

// ---- The shared block ------------------------------------------------------------------------
// One per ASIO-capable engine: this header, then `Size` bytes of ring holding
// interleaved frames in the engine's USB format. The driver writes the
// header; a host reads Position and Transfers to know how far the engine has
// come, and keeps PreRoll bytes of render data ahead of Position.
struct AsioChannelBlockHeader {
  ULONG Selected;      // the host asked for a channel of this engine
  ULONG IsInput;       // 1 capture, 0 render
  ULONG Channels;      // channels of the engine
  ULONG FirstChannel;  // host channel number of the engine's first channel, per direction
  ULONG Size;          // bytes of the ring
  ULONG Position;      // byte offset of the driver's next access
  ULONG StartPosition;
  ULONG PreRoll;       // render lead the host keeps ahead of Position
  ULONG SwitchSource;  // this engine's transfers signal the buffer switch
  ULONG Transfers;     // transfers completed since the start
};
static_assert(sizeof(AsioChannelBlockHeader) == 40);
constexpr ULONG ASIO_BLOCK_HEADER_BYTES = sizeof(AsioChannelBlockHeader);
// A ring holds this long of audio at the buffers' rate.
constexpr ULONG ASIO_RING_MILLISECONDS = 40;

// ---- I/O control records -----------------------------------------------------------------------
struct AsioChannelsRecord {
  ULONG Engines;  // ASIO-capable engines
  ULONG OutputChannels;
  ULONG InputChannels;
  ULONG Reserved;
};
static_assert(sizeof(AsioChannelsRecord) == 16);

constexpr ULONG ASIO_CHANNEL_NAME_BYTES = 32;
struct AsioChannelInfoRecord {
  ULONG Channel;   // in
  ULONG IsInput;   // in
  ULONG IsActive;  // a buffer owner exists
  ULONG Group;
  ULONG SampleType;
  CHAR Name[ASIO_CHANNEL_NAME_BYTES];
};
static_assert(sizeof(AsioChannelInfoRecord) == 52);

// GetSampleTypes: the selected type, the count, then the types.
struct AsioSampleTypesHeader {
  ULONG Selected;
  ULONG Count;
};
static_assert(sizeof(AsioSampleTypesHeader) == 8);

struct AsioLatencyTableRecord {
  ULONG Index;
  ULONG Count;
  ULONG Milliseconds[ASIO_LATENCY_COUNT];
};
static_assert(sizeof(AsioLatencyTableRecord) == 44);

struct AsioLatenciesRecord {
  ULONG Input;  // frames
  ULONG Output;
};
static_assert(sizeof(AsioLatenciesRecord) == 8);

struct AsioBufferSizeRecord {
  ULONG Minimum;  // frames
  ULONG Maximum;
  ULONG Preferred;
  ULONG Granularity;
};
static_assert(sizeof(AsioBufferSizeRecord) == 16);

// CreateBuffers' request: this header, then Count channel entries.
struct AsioCreateBuffersHeader {
  ULONG Reserved;
  ULONG Count;
  ULONG BufferFrames;
};
struct AsioBufferRequest {
  ULONG IsInput;
  ULONG Channel;
};
static_assert(sizeof(AsioCreateBuffersHeader) == 12);
static_assert(sizeof(AsioBufferRequest) == 8);

// ---- Transfers per buffer ------------------------------------------------------------------------
// How a buffer of `milliseconds` (at least 2) is carried: milliseconds of
// audio per URB, and the URBs the table names for it.
struct AsioUrbPlan {
  ULONG MsPerUrb;
  ULONG Urbs;
};
AsioUrbPlan AsioPlanUrbs(ULONG milliseconds);
// The buffer length in milliseconds, as the plan counts it: frames per
// millisecond `framesPerMs` (at least 1), never below 2.
ULONG AsioBufferMilliseconds(ULONG bufferFrames, ULONG framesPerMs);

// ---- The driver's records ---------------------------------------------------------------------------
// One per open file of the interface (nonpaged pool, "USBd").
struct AsioClientRecord {
  LIST_ENTRY Links;  // the device's client list, newest first
  PFILE_OBJECT FileObject;
  PKEVENT NotifyEvent;  // referenced; null when none
  PKEVENT SwitchEvent;  // referenced; set exactly while this client's streams run
  ULONG SampleType;
  ULONG LatencyIndex;
  ULONG SampleRate;  // Hz; for DSD the bit rate per channel
  ULONG DsdMode;
  ULONG Prepared;  // buffers exist for this client
};

// Per stream engine of the model, in the model's order.
struct AsioEngineEntry {
  // Header and ring in whole pages, zeroed; null while the engine has no
  // buffers (or is not ASIO-capable).
  PUCHAR Block;
  ULONG BlockBytes;
  PMDL Mdl;
  PVOID UserAddress;
  PEPROCESS Process;  // the process the block is mapped into, referenced while mapped
  // The ASIO stream client while registered: the record only to recognise
  // its notifications, the handle for every call to the engine, so that a
  // record the engine may have let go after a failed step is never read.
  StreamClientRecord* Client;
  PVOID ClientHandle;
  // The client is (or may still be) prepared: an unprepare the engine
  // refused is owed and is asked for again before the next prepare and
  // before the client is unregistered.
  ULONG ClientPrepared;
  // The header as the driver keeps it. The shared header is the host's to
  // scribble on: the driver only ever writes its own values there.
  AsioChannelBlockHeader State;
};
