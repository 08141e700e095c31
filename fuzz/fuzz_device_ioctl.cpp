// I/O controls as an application sends them to the driver's device: on a
// file of the enumeration interface, of the topology filter or of a wave
// filter (the filters an enumeration of that interface finds), any control
// code with any input and output buffer, the kernel-streaming property,
// method and event requests with their headers cut short, their flags and
// node ids as given. Every request completes with a status within the
// buffers it was given.
#include "fuzz/DriverFuzz.h"
#include "ks/ks.h"
#include "sim/device/DefaultHeadset.h"

namespace {

using driverfuzz::Require;

const char16_t* const kFiles[] = {u"\\VZEnumPrivateInterface", u"\\GlobalTopo", u"\\HeadSetOut00Wave",
                                  u"\\HeadSetIn00Wave", u"\\vzenumprivateinterface\\more"};
const ULONG kCodes[] = {IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_EVENT, IOCTL_KS_DISABLE_EVENT,
                        CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS),  // a method request
                        CTL_CODE(FILE_DEVICE_KS, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS)};

struct IoctlSession : driverfuzz::Session {
  PFILE_OBJECT files[sizeof kFiles / sizeof kFiles[0]] = {};
  KEVENT event;
  // A subscriber's event data lives as long as its subscription.
  KSEVENTDATA subscriptions[4] = {};
  IoctlSession() : Session(sim::headset::Create()) {
    Require(NT_SUCCESS(Start()), "the headset did not start");
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    for (size_t i = 0; i < sizeof kFiles / sizeof kFiles[0]; ++i) {
      files[i] = platform::io::CreateFileObject(host.AdapterDevice(), kFiles[i]);
      platform::io::Request create;
      create.majorFunction = IRP_MJ_CREATE;
      create.fileObject = files[i];
      platform::io::SendRequest(port->Pdo(), create);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto* session = new IoctlSession();
  driverfuzz::Reader in(data, size);
  for (int request = 0; request < 4; ++request) {
    const uint8_t pick = in.Byte();
    PFILE_OBJECT file = session->files[pick % (sizeof kFiles / sizeof kFiles[0])];
    const ULONG code = pick & 0x80 ? in.Long() : kCodes[in.Byte() % (sizeof kCodes / sizeof kCodes[0])];
    std::vector<uint8_t> input = in.Bytes(in.Byte() % 96);
    const ULONG outputSize = in.Byte() % 96;
    std::vector<uint8_t> output = in.Bytes(outputSize);
    void* inputBuffer = input.empty() ? nullptr : input.data();
    void* outputBuffer = output.empty() ? nullptr : output.data();
    ULONG inputLength = static_cast<ULONG>(input.size()), outputLength = outputSize;
    // Event data names a real event object (the system checks handles
    // before a driver sees them) and stays while it is subscribed.
    KSEVENTDATA* slot = &session->subscriptions[in.Byte() % 4];
    if (code == IOCTL_KS_ENABLE_EVENT && (pick & 0x40)) {
      *slot = {};
      slot->NotificationType = in.Byte() & 1 ? KSEVENTF_EVENT_OBJECT : in.Long();
      slot->EventObject.Event = &session->event;
      outputBuffer = slot;
      outputLength = sizeof *slot;
    } else if (code == IOCTL_KS_DISABLE_EVENT && (pick & 0x40)) {
      inputBuffer = slot;
      inputLength = sizeof *slot;
    }
    platform::io::Request r;
    r.majorFunction = IRP_MJ_DEVICE_CONTROL;
    r.fileObject = file;
    r.ioControlCode = code;
    r.inputBuffer = inputBuffer;
    r.inputLength = inputLength;
    r.outputBuffer = outputBuffer;
    r.outputLength = outputLength;
    r.from32bitProcess = (pick & 0x20) != 0;
    ULONG_PTR information = 0;
    // A set may wait on the clock (a prompt still playing).
    const NTSTATUS status =
        sim::host::WhileTimePasses([&] { return platform::io::SendRequest(session->port->Pdo(), r, &information); });
    Require(status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL || information <= outputLength,
            "a request answered more bytes than its output buffer holds");
  }
  // Whatever was subscribed goes again, as a closing application's would.
  for (PFILE_OBJECT file : session->files) {
    for (KSEVENTDATA& subscription : session->subscriptions) {
      platform::io::Request r;
      r.majorFunction = IRP_MJ_DEVICE_CONTROL;
      r.fileObject = file;
      r.ioControlCode = IOCTL_KS_DISABLE_EVENT;
      r.inputBuffer = &subscription;
      r.inputLength = sizeof subscription;
      platform::io::SendRequest(session->port->Pdo(), r);
    }
  }
  return 0;
}
