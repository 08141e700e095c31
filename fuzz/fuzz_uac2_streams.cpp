// The Audio Class 2.0 model's clock and stream pipes on whatever a device
// says: the embedded 2.0 headset at either speed, its clock programmable or
// fixed, its clock's RANGE and CUR answers replaced by the input's bytes (any
// subrange count, any 32-bit rate, short or refused), and then every stream
// engine of the started driver streaming at once in a format and URB shape
// the input picks, while the device's feedback values change to the input's,
// and its isochronous packets (data, feedback, capture) fail, come back
// empty or are cut to any length. The driver opens, streams, refuses or
// stops each stream with a status, is removed cleanly, and the pool holds
// afterwards what it held before.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "driver/hal/CUacAudioHal.h"
#include "fuzz/FuzzReader.h"
#include "fuzz/Reach.h"
#include "kernel/pool.h"
#include "sim/ModelReport.h"
#include "sim/device/Uac2Headset.h"
#include "sim/host/RunningDriver.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/HubPort.h"
#include "usb/usbaudio.h"
#include "usb/usbaudio2.h"

namespace {

namespace headset = sim::uac2headset;
using fuzz::Reader;

// A clock request of the input's making: RANGE or CUR of the sampling
// frequency (or CUR of validity), answered with its bytes, cut short or
// refused, from the request the input names on.
sim::ControlFault ClockFault(Reader& in) {
  const uint8_t kind = in.Byte();
  sim::ControlFault fault;
  fault.match = sim::RequestMatch::ClassToUnit(headset::kClock, kind & 1 ? USB_AUDIO2_RANGE : USB_AUDIO2_CUR);
  fault.match.valueHigh = kind & 2 ? USB_AUDIO2_CS_CLOCK_VALID_CONTROL : USB_AUDIO2_CS_SAM_FREQ_CONTROL;
  fault.match.in = true;
  fault.skip = in.Byte() % 4;
  fault.times = kind & 4 ? 1 : -1;
  switch ((kind >> 3) % 4) {
    case 0: {  // a subrange list: any count, any rates
      std::vector<uint8_t> reply = {in.Byte(), static_cast<uint8_t>(in.Byte() % 2)};
      for (uint8_t n = in.Byte() % 5; n; --n) {
        const uint32_t minimum = in.Long();
        const uint32_t maximum = in.Byte() & 1 ? minimum : in.Long();
        const uint32_t resolution = in.Byte() & 1 ? 0 : in.Long();
        for (uint32_t v : {minimum, maximum, resolution})
          for (int b = 0; b < 4; ++b) reply.push_back(static_cast<uint8_t>(v >> (8 * b)));
      }
      fault.action = sim::FaultAction::ReplyWith;
      fault.reply = reply;
      break;
    }
    case 1:  // a current rate, or any bytes
      fault.action = sim::FaultAction::ReplyWith;
      fault.reply = in.Bytes(in.Byte() % 6);
      break;
    case 2:
      fault.action = sim::FaultAction::ShortReply;
      fault.length = in.Byte() % 16;
      break;
    default:
      fault.action = sim::FaultAction::Stall;
      break;
  }
  return fault;
}

// Packets of the render, feedback or capture endpoint that fail, come back
// empty, or (IN) are cut to the input's length.
sim::IsoFault PacketFault(Reader& in) {
  static const uint8_t kEndpoints[] = {headset::kRenderEndpoint, headset::kFeedbackEndpoint, headset::kCaptureEndpoint};
  static const USBD_STATUS kStatuses[] = {USBD_STATUS_XACT_ERROR, USBD_STATUS_DATA_OVERRUN, USBD_STATUS_CRC,
                                          USBD_STATUS_BUFFER_OVERRUN, USBD_STATUS_NOT_ACCESSED};
  const uint8_t kind = in.Byte();
  sim::IsoFault fault;
  fault.endpoint = kEndpoints[kind % 3];
  fault.first = in.Word() % 600;
  fault.count = 1 + in.Byte() % 16;
  fault.period = 1 + in.Byte();
  switch ((kind >> 2) % 3) {
    case 0:
      fault.cutTo = in.Word() % 1100;
      break;
    case 1:
      fault.empty = true;
      break;
    default:
      fault.status = kStatuses[(kind >> 4) % 5];
      break;
  }
  return fault;
}

// One stream client of an engine: registered, prepared and started in the
// format the input picked; it fills nothing and counts what it is handed.
class Client {
 public:
  Client(IStreamEngine* engine, Reader& in) {
    if (!NT_SUCCESS(engine->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&m_Control)))) return;
    const ULONG formats = engine->GetFormatCount();
    WAVEFORMATEXTENSIBLE format{};
    const uint8_t pick = in.Byte();
    if (formats == 0 || !NT_SUCCESS(engine->GetFormat(pick % formats, &format))) return;
    const ULONG msPerUrb = 1 + in.Byte() % 12;
    const ULONG urbCount = 1 + in.Byte() % 10;
    if (!NT_SUCCESS(m_Control->RegisterClient(CYCLIC_CLIENT_WAVE, &format, msPerUrb, urbCount, &Client::Callback, this,
                                              &m_Record)))
      return;
    ULONG ms = 0, frame = 0;
    if (!NT_SUCCESS(m_Control->PrepareClient(m_Record->Handle, &ms, &frame))) return;
    m_Prepared = true;
    m_Started = NT_SUCCESS(m_Control->StartClient(m_Record->Handle, frame + 2, &ms, nullptr));
    if (m_Started) fuzz::Reached("a stream opened");
  }
  ~Client() {
    if (!m_Control) return;
    if (m_Started) {
      // Stopping waits for the URBs in flight: the bus keeps running.
      platform::usb::FastFramePump pump;
      m_Control->StopClient(m_Record->Handle, nullptr);
    }
    if (m_Prepared) m_Control->UnprepareClient(m_Record->Handle);
    if (m_Record) m_Control->UnregisterClient(m_Record->Handle);
    m_Control->Release();
  }

 private:
  static void Callback(PVOID context, PVOID argument1, PVOID) {
    auto* self = static_cast<Client*>(context);
    auto* notify = static_cast<CyclicControlNotify*>(argument1);
    if (!notify || notify->Client != self->m_Record) return;
    if ((notify->Command == CYCLIC_COMMAND_RENDER_FILL || notify->Command == CYCLIC_COMMAND_CAPTURE_DATA) &&
        notify->Length)
      fuzz::Reached("a stream moved data");
  }

  ICyclicControl* m_Control = nullptr;
  StreamClientRecord* m_Record = nullptr;
  bool m_Prepared = false;
  bool m_Started = false;
};

void Run(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const uint8_t header = in.Byte();
  const platform::usb::Speed speed = header & 1 ? platform::usb::Speed::Full : platform::usb::Speed::High;
  sim::DescriptorSet set = headset::Descriptors(speed);
  if (header & 2) {
    // The clock's frequency control read-only: a fixed clock.
    sim::Bytes& c = set.configurations[0];
    for (size_t at = 0; at + 8 <= c.size(); at += c[at] ? c[at] : c.size())
      if (c[at + 1] == USB_AUDIO_CS_INTERFACE && c[at + 2] == USB_AUDIO2_AC_CLOCK_SOURCE) c[at + 5] = 0x05;
  }
  sim::DeviceProfile profile = headset::Profile(speed);
  if (header & 4) {
    std::vector<uint32_t>& rates = profile.clockRates[headset::kClock];
    rates.clear();
    for (uint8_t n = 1 + in.Byte() % 4; n; --n) rates.push_back(in.Long());
  }
  auto device = std::make_unique<sim::Uac2Device>(set, profile, speed);
  for (uint8_t n = in.Byte() % 5; n; --n) device->AddFault(ClockFault(in));
  for (uint8_t n = in.Byte() % 6; n; --n) device->AddIsoFault(PacketFault(in));
  std::vector<std::optional<uint32_t>> feedback;
  for (uint8_t n = in.Byte() % 4; n; --n)
    feedback.push_back(in.Byte() & 1 ? std::optional<uint32_t>(in.Long()) : std::nullopt);

  sim::Uac2Device* uac2 = device.get();
  sim::host::RunningDriver driver(std::move(device), CreateMiniportWaveCyclic, AudioHalChoice::ChipIdentifying);
  for (const sim::RequestRecord& r : uac2->Requests())
    if ((r.setup.bmRequestType & 0x60) == 0x20 && (r.setup.wIndex >> 8) == headset::kClock)
      fuzz::Reached("the device answered a clock request");
  if (!driver.Started()) return;
  CUacAudioHal* model = sim::AudioClassModelOf(driver.HostSide().AdapterDevice());
  if (!model) return;
  IAudioHal* hal = static_cast<IAudioHal*>(model);
  std::vector<std::unique_ptr<Client>> clients;
  for (ULONG i = 0; i < hal->GetStreamEngineCount() && i < 4; ++i) {
    IStreamEngine* engine = nullptr;
    if (NT_SUCCESS(hal->GetStreamEngine(i, &engine)) && engine)
      clients.push_back(std::make_unique<Client>(engine, in));
  }
  // 32 ms of streaming, the feedback changing as the input says.
  for (size_t phase = 0; phase < 4; ++phase) {
    if (phase < feedback.size()) uac2->OverrideFeedback(feedback[phase]);
    platform::usb::StepFrames(8);
  }
  clients.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Whatever the platform keeps for good is made by a first run.
  static const bool warm = [] {
    const uint8_t nothing = 0;
    Run(&nothing, 1);
    return true;
  }();
  (void)warm;
  const size_t before = platform::pool::OutstandingCount();
  Run(data, size);
  if (platform::pool::OutstandingCount() != before) {
    std::fprintf(stderr, "pool blocks left behind:\n%s\n",
                 platform::pool::Describe(platform::pool::Outstanding()).c_str());
    std::abort();
  }
  return 0;
}

FUZZ_REACHES("the device answered a clock request", "a stream opened", "a stream moved data")
