// I/O controls as an application sends them to the driver's device: it
// enumerates the driver's private interface class, opens what it finds (the
// topology filter and the wave filters; the enumeration interface's own
// entry is refused, as the port class knows no filter by its name) and sends
// on each open file any control code with any input and output buffer, the
// kernel-streaming property, method and event requests with their headers
// cut short, their flags and node ids as given. Every request completes with
// a status within the buffers it was given. The first byte picks the device.
#include "fuzz/DriverFuzz.h"
#include "ks/ks.h"
#include "topology/PrivatePropertySets.h"

namespace {

using driverfuzz::Require;

const ULONG kCodes[] = {IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_EVENT, IOCTL_KS_DISABLE_EVENT,
                        CTL_CODE(FILE_DEVICE_KS, 0x003, METHOD_NEITHER, FILE_ANY_ACCESS),  // a method request
                        CTL_CODE(FILE_DEVICE_KS, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS)};

struct Files {
  driverfuzz::Session* session = nullptr;
  std::vector<PFILE_OBJECT> open;  // the ones whose create succeeded, in the enumeration's order
  std::vector<bool> topology;      // per open file: the topology filter's
  KEVENT event;
  // A subscriber's event data lives as long as its subscription.
  KSEVENTDATA subscriptions[4] = {};
};

// What an application finds by enumerating the interface class on this
// device, opened; kept for the process.
Files* FilesOf(driverfuzz::Session* session) {
  static auto& all = *new std::vector<std::unique_ptr<Files>>();
  for (const auto& f : all)
    if (f->session == session) return f.get();
  auto files = std::make_unique<Files>();
  files->session = session;
  KeInitializeEvent(&files->event, NotificationEvent, FALSE);
  for (const platform::io::DeviceInterface& i : platform::io::DeviceInterfaces(&EnumPrivateInterfaceClass)) {
    if (i.pdo != session->port->Pdo() || !i.enabled) continue;
    PFILE_OBJECT file = platform::io::CreateFileObject(session->host.AdapterDevice(), u"\\" + i.referenceString);
    platform::io::Request create;
    create.majorFunction = IRP_MJ_CREATE;
    create.fileObject = file;
    if (NT_SUCCESS(platform::io::SendRequest(session->port->Pdo(), create))) {
      files->open.push_back(file);
      files->topology.push_back(i.referenceString == u"GlobalTopo");
    } else {
      // The enumeration interface's own entry is no filter.
      Require(i.referenceString == ENUM_REFERENCE_STRING, "a filter the enumeration finds does not open");
      platform::io::DeleteFileObject(file);
    }
  }
  // The topology filter and at least one wave filter.
  Require(files->open.size() >= 2, "the enumeration finds no filters to open");
  all.push_back(std::move(files));
  return all.back().get();
}

NTSTATUS Send(driverfuzz::Session* session, platform::io::Request& r, ULONG_PTR* information) {
  // A set may wait on the clock (a prompt still playing).
  return sim::host::WhileTimePasses([&] { return platform::io::SendRequest(session->port->Pdo(), r, information); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  driverfuzz::Reader in(data, size);
  driverfuzz::Session* session = driverfuzz::StartedSession(in.Byte());
  Require(session != nullptr, "an embedded device did not start");
  Files* files = FilesOf(session);
  fuzz::Reached("the filters the interface lists opened");
  for (int request = 0; request < 16 && (request == 0 || in.More()); ++request) {
    const uint8_t pick = in.Byte();
    const size_t at = pick % files->open.size();
    PFILE_OBJECT file = files->open[at];
    const ULONG code = pick & 0x80 ? in.Long() : kCodes[in.Byte() % (sizeof kCodes / sizeof kCodes[0])];
    std::vector<uint8_t> input = in.Bytes(in.Byte() % 96);
    const ULONG outputSize = in.Byte() % 96;
    std::vector<uint8_t> output = in.Bytes(outputSize);
    void* inputBuffer = input.empty() ? nullptr : input.data();
    void* outputBuffer = output.empty() ? nullptr : output.data();
    ULONG inputLength = static_cast<ULONG>(input.size()), outputLength = outputSize;
    // Event data names a real event object (the system checks handles
    // before a driver sees them) and stays while it is subscribed.
    KSEVENTDATA* slot = &files->subscriptions[in.Byte() % 4];
    if (code == IOCTL_KS_ENABLE_EVENT && (pick & 0x40)) {
      *slot = {};
      slot->NotificationType = in.Byte() & 1 ? KSEVENTF_EVENT_OBJECT : in.Long();
      slot->EventObject.Event = &files->event;
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
    const NTSTATUS status = Send(session, r, &information);
    Require(status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL || information <= outputLength,
            "a request answered more bytes than its output buffer holds");
    if (NT_SUCCESS(status) && code == IOCTL_KS_PROPERTY)
      fuzz::Reached(files->topology[at] ? "the topology filter answered" : "a wave filter answered");
  }
  // Whatever was subscribed goes again, as a closing application's would.
  for (PFILE_OBJECT file : files->open) {
    for (KSEVENTDATA& subscription : files->subscriptions) {
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

FUZZ_REACHES("the device started", "the filters the interface lists opened", "the topology filter answered",
             "a wave filter answered")
