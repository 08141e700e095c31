// What a hardware model's status thread needs to ride out a device that
// fails now and then: one failed transfer, or one status message whose
// re-read failed, must not cost every later button and jack change.
//
// - CStatusTransfer is one IN transfer kept outstanding on a pipe of the
//   AudioControl interface.
// - CStatusListener keeps up to two of them outstanding for the thread and
//   hands it each one that brought data. A transfer that failed is sent
//   again after a pause (the pipe reset first: a halted endpoint takes
//   nothing else); memory the pool could not give is asked for again after
//   such a pause. It ends only on a stop, or when the device is gone or the
//   device object no longer answers, and then says why in the debugger
//   output.
// - Status messages whose handling failed are kept and handed back to the
//   model's handler: after a pause and with every later message, a bounded
//   number of times each.
// - A pause is short after the first failure and doubles with each failure
//   in a row, never longer than a second.
//
// Everything here runs on the status thread at PASSIVE_LEVEL; a transfer's
// completion routine only signals its event.
#pragma once

#include "driver/common/PrivateInterfaces.h"

// Pauses in 100 ns units.
constexpr LONGLONG STATUS_RETRY_FIRST_PAUSE = 100000;      // 10 ms
constexpr LONGLONG STATUS_RETRY_LONGEST_PAUSE = 10000000;  // 1 s
// Further tries of a status message whose handling failed, and how many
// such messages are kept at once.
constexpr ULONG STATUS_MESSAGE_RETRIES = 5;
constexpr ULONG STATUS_MESSAGES_KEPT = 8;
constexpr ULONG STATUS_LISTENER_TRANSFERS = 2;

class CRetryPause {
 public:
  // The pause before the next attempt, as a relative time for a wait.
  LARGE_INTEGER Next();
  void Reset() { m_Last = 0; }
  // Whether the last attempt failed.
  bool Failing() const { return m_Last != 0; }

 private:
  LONGLONG m_Last = 0;
};

// Whether a failed request or transfer says the device is no longer there.
bool IsDeviceGone(NTSTATUS status);

struct StatusChange {
  UCHAR originator;  // the unit, terminal or entity the message names
  UCHAR selector;    // the control selector (0 where the message has none)
  UCHAR channel;
};
using STATUS_MESSAGE_HANDLER = NTSTATUS (*)(PVOID context, const StatusChange& message);

class CStatusTransfer {
 public:
  // Transfers of up to `bufferBytes` into a buffer of the model's (`tag`),
  // with a URB of `urbBytes`.
  CStatusTransfer(ULONG tag, ULONG urbBytes, ULONG bufferBytes);
  CStatusTransfer(const CStatusTransfer&) = delete;
  CStatusTransfer& operator=(const CStatusTransfer&) = delete;

  // Signalled whenever no transfer is outstanding.
  PKEVENT Event() { return &m_Event; }
  // Sends a short-transfer-tolerant IN transfer on `pipe`. What it needs is
  // allocated the first time it can be: STATUS_INSUFFICIENT_RESOURCES,
  // nothing sent, until then. A transfer the stack refuses at once
  // completes like any other, with its status.
  NTSTATUS Send(IUsbDevice* usb, USBD_PIPE_HANDLE pipe);
  // The completed transfer: its status, the bytes that came and the buffer.
  NTSTATUS Status() const { return m_Irp ? m_Irp->IoStatus.Status : STATUS_UNSUCCESSFUL; }
  ULONG Bytes() const;
  const UCHAR* Data() const { return m_Buffer; }
  // Cancels what is outstanding, waits for it and frees everything (the
  // IRP through `usb` when there is one). Must run before the object goes.
  void Finish(IUsbDevice* usb);

 private:
  static NTSTATUS Completion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);

  const ULONG m_Tag;
  const ULONG m_UrbBytes;
  const ULONG m_BufferBytes;
  KEVENT m_Event;
  PURB m_Urb = nullptr;
  PUCHAR m_Buffer = nullptr;
  PIRP m_Irp = nullptr;
  bool m_Used = false;  // the IRP went down before and must be made reusable
};

class CStatusListener {
 public:
  // `model` answers IUsbDevice for every transfer; `stop` ends the listening;
  // `handler` (with `context`) handles a kept message again; `owner` names
  // the model in the debugger output.
  CStatusListener(IAudioHal* model, PKEVENT stop, STATUS_MESSAGE_HANDLER handler, PVOID context, const char* owner);
  // Every transfer cancelled, waited for and freed.
  ~CStatusListener();
  CStatusListener(const CStatusListener&) = delete;
  CStatusListener& operator=(const CStatusListener&) = delete;

  // A transfer to keep outstanding on `pipe`.
  void Add(CStatusTransfer* transfer, USBD_PIPE_HANDLE pipe);
  // Sends every transfer that is not outstanding; false when the thread is
  // to end (a stop, or the device object no longer answers).
  bool Send();
  // Waits for the next transfer that brought data (*index: the order it was
  // added in), sending the others again first; false when the thread is to
  // end. Kept messages get their next try while it waits.
  bool Next(PULONG index);
  // A message whose handling failed, for another try.
  void Keep(const StatusChange& message);
  // The next try of every kept message, as a new message arrives.
  void HandleKept();

 private:
  struct Listened {
    CStatusTransfer* transfer;
    USBD_PIPE_HANDLE pipe;
    CRetryPause pause;
    bool idle;  // completed and handed out: to be sent again
  };
  struct Kept {
    StatusChange message;
    ULONG triesLeft;
  };
  IUsbDevice* QueryUsb();
  bool Pause(LARGE_INTEGER pause);
  void End(const char* why);

  IAudioHal* const m_Model;
  const PKEVENT m_Stop;
  const STATUS_MESSAGE_HANDLER m_Handler;
  const PVOID m_Context;
  const char* const m_Owner;
  Listened m_Listened[STATUS_LISTENER_TRANSFERS] = {};
  ULONG m_ListenedCount = 0;
  CRetryPause m_MemoryPause;
  Kept m_Kept[STATUS_MESSAGES_KEPT] = {};
  ULONG m_KeptCount = 0;
  LONGLONG m_KeptPause = STATUS_RETRY_FIRST_PAUSE;
};
