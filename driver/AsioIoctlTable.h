// The ASIO host's private I/O controls: the 22 codes of the ASIO device
// interface, the buffer-length rule of each, and the dispatch of a request
// onto the device object's IAsioPrivate.
//
// Every code is METHOD_BUFFERED: one system buffer carries the input and,
// after the operation, the output. The rules here are the only check between
// a user-mode caller's lengths and the operations, so an operation is called
// only when the buffer really holds what it reads and has room for what it
// writes.
#pragma once

#include "driver/common/PrivateInterfaces.h"

constexpr ULONG AsioIoctlCode(ULONG function, ULONG access) {
  return CTL_CODE(FILE_DEVICE_SOUND, function, METHOD_BUFFERED, access);
}
constexpr ULONG ASIO_READ = FILE_READ_ACCESS;
constexpr ULONG ASIO_WRITE = FILE_WRITE_ACCESS;
constexpr ULONG ASIO_READ_WRITE = FILE_READ_ACCESS | FILE_WRITE_ACCESS;

constexpr ULONG IOCTL_ASIO_GET_DRIVER_NAME = AsioIoctlCode(0x800, ASIO_READ);
constexpr ULONG IOCTL_ASIO_GET_CHANNELS = AsioIoctlCode(0x801, ASIO_READ);
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_INFO = AsioIoctlCode(0x802, ASIO_READ_WRITE);
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_TYPES = AsioIoctlCode(0x803, ASIO_READ);
constexpr ULONG IOCTL_ASIO_GET_LATENCY_TABLE = AsioIoctlCode(0x804, ASIO_READ);
constexpr ULONG IOCTL_ASIO_SET_NOTIFY_EVENT = AsioIoctlCode(0x805, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_GET_BUFFERS_CREATED = AsioIoctlCode(0x806, ASIO_READ);
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_TYPE = AsioIoctlCode(0x807, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_SET_LATENCY_INDEX = AsioIoctlCode(0x808, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_GET_LATENCIES = AsioIoctlCode(0x809, ASIO_READ);
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = AsioIoctlCode(0x80A, ASIO_READ);
constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = AsioIoctlCode(0x80B, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = AsioIoctlCode(0x80C, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = AsioIoctlCode(0x80D, ASIO_READ);
constexpr ULONG IOCTL_ASIO_CREATE_BUFFERS = AsioIoctlCode(0x80E, ASIO_READ_WRITE);
constexpr ULONG IOCTL_ASIO_DISPOSE_BUFFERS = AsioIoctlCode(0x80F, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_START = AsioIoctlCode(0x810, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_STOP = AsioIoctlCode(0x811, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_RELEASE_NOTIFY_EVENT = AsioIoctlCode(0x813, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_CAN_IO_FORMAT = AsioIoctlCode(0x814, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_SET_IO_FORMAT = AsioIoctlCode(0x815, ASIO_WRITE);
constexpr ULONG IOCTL_ASIO_GET_IO_FORMAT = AsioIoctlCode(0x816, ASIO_READ);

static_assert(IOCTL_ASIO_GET_DRIVER_NAME == 0x1D6000);
static_assert(IOCTL_ASIO_GET_CHANNEL_INFO == 0x1DE008);
static_assert(IOCTL_ASIO_SET_NOTIFY_EVENT == 0x1DA014);
static_assert(IOCTL_ASIO_CREATE_BUFFERS == 0x1DE038);
static_assert(IOCTL_ASIO_START == 0x1DA040);
static_assert(IOCTL_ASIO_GET_IO_FORMAT == 0x1D6058);

// The record sizes the rules name.
constexpr ULONG ASIO_CHANNELS_RECORD_BYTES = 16;
constexpr ULONG ASIO_CHANNEL_INFO_RECORD_BYTES = 52;
constexpr ULONG ASIO_LATENCIES_RECORD_BYTES = 8;
constexpr ULONG ASIO_BUFFER_SIZE_RECORD_BYTES = 16;
// CreateBuffers' request: u32 (not read), u32 channel count, u32 buffer
// frames, then {u32 is input, u32 channel} per channel.
constexpr ULONG ASIO_CREATE_BUFFERS_HEADER_BYTES = 12;
constexpr ULONG ASIO_CREATE_BUFFERS_CHANNEL_BYTES = 8;
constexpr ULONG ASIO_TEMP_TAG = MakeTag("adap");

// Which IAsioPrivate operation a code reaches.
enum class AsioOperation : UCHAR {
  GetDriverName,
  GetChannels,
  GetChannelInfo,
  GetSampleTypes,
  GetLatencyTable,
  SetNotifyEvent,
  GetBuffersCreated,
  SetSampleType,
  SetLatencyIndex,
  GetLatencies,
  GetSampleRate,
  CanSampleRate,
  SetSampleRate,
  GetBufferSize,
  CreateBuffers,
  DisposeBuffers,
  Start,
  Stop,
  ReleaseNotifyEvent,
  CanIoFormat,
  SetIoFormat,
  GetIoFormat,
};

// How one buffer length is checked before the operation runs.
enum class AsioLengthRule : UCHAR {
  Any,        // not looked at
  AtLeast,    // at least Bytes
  Exactly,    // exactly Bytes
  Handle,     // an event handle: exactly 4 bytes from a 32-bit process, 8 otherwise
  SizeQuery,  // 0: STATUS_BUFFER_OVERFLOW with Information Bytes; 1 .. Bytes-1: STATUS_BUFFER_TOO_SMALL
};

struct AsioLength {
  AsioLengthRule Rule;
  ULONG Bytes;
  // The status when the rule is not met; STATUS_SUCCESS means the request
  // is turned away with success and nothing done, the general rule of this
  // interface.
  NTSTATUS Failure;
};

// What a completed request reports as its byte count.
enum class AsioInformation : UCHAR {
  None,          // 0
  Fixed,         // the entry's InformationBytes
  OutputLength,  // the request's output length
  Reported,      // what the operation wrote back into its in/out length
};

struct AsioIoctlEntry {
  ULONG Code;
  const char* Name;
  AsioOperation Operation;
  AsioLength Input;
  AsioLength Output;
  AsioInformation Information;
  ULONG InformationBytes;
};

constexpr ULONG ASIO_IOCTL_COUNT = 22;
extern const AsioIoctlEntry AsioIoctlTable[ASIO_IOCTL_COUNT];

// The entry of a code; null for a code outside the table.
const AsioIoctlEntry* FindAsioIoctl(ULONG ioControlCode);

// One device I/O control on a file of the ASIO interface, as the dispatch
// routine found it in its IRP.
struct AsioIoctlRequest {
  PFILE_OBJECT FileObject;
  PIRP Irp;  // handed to IAsioPrivate::Stop, which may keep it pending
  ULONG IoControlCode;
  PVOID Buffer;  // the system buffer, max(input, output) bytes
  ULONG InputLength;
  ULONG OutputLength;
  BOOLEAN From32bitProcess;
};

// Checks the request against its code's rules, calls the operation, and
// applies the rules of 32-bit callers: a 32-bit event handle is widened to
// 64 bits, and CreateBuffers' 64-bit user addresses are narrowed to 32 bits
// through a temporary buffer. Returns the request's status (STATUS_PENDING
// when the operation keeps the request) and its byte count in
// `information`. Without an interface (no device object to serve the host)
// every request is STATUS_INVALID_PARAMETER; a code outside the table is
// STATUS_NOT_SUPPORTED. An operation that keeps the request (STATUS_PENDING)
// marks it pending before it stores it, since another thread may complete
// it from then on.
NTSTATUS DispatchAsioIoctl(IAsioPrivate* asio, const AsioIoctlRequest& request, ULONG_PTR* information);
