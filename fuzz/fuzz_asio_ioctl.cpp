// The ASIO host's private I/O controls, from anyone who can open the
// interface: hosts of either width open and close files, send every code
// with any lengths and contents, create buffers for any channels and
// lengths, start with good and bad event handles, stop, dispose and close
// in any order while the streams of the embedded VZR417 interface run.
// Nothing may crash, hang or touch memory it does not own; once every host
// has gone, no mapping, client record, stream client or held request is
// left.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/DriverEntry.h"
#include "fuzz/FuzzReader.h"
#include "fuzz/Reach.h"
#include "sim/device/SimDevice.h"
#include "sim/device/Vzr417Interface.h"
#include "sim/host/AsioHost.h"
#include "sim/host/Host.h"
#include "sim/host/RunningDriver.h"
#include "topology/CMiniportTopology.h"
#include "topology/CMiniportWaveCyclic.h"
#include "usb/HubPort.h"

namespace {

struct Session {
  std::unique_ptr<sim::SimDevice> device;
  std::unique_ptr<platform::usb::HubPort> port;
  sim::host::Host host;
  CUsbAudioDevice* asio = nullptr;

  Session() {
    SetMiniportFactories({CreateMiniportTopology, CreateMiniportWaveCyclic});
    device = std::make_unique<sim::SimDevice>(sim::vzr417::Descriptors(), sim::vzr417::Profile());
    device->LoopBack(sim::vzr417::kRenderEndpoint, sim::vzr417::kCaptureEndpoint);
    // A long session keeps statistics only.
    device->Sink(sim::vzr417::kRenderEndpoint).SetKeepData(false);
    port = std::make_unique<platform::usb::HubPort>(device.get());
    if (!NT_SUCCESS(host.LoadDriver(DriverEntry, u"headset")) ||
        !NT_SUCCESS(sim::host::ChooseModelFactory(port->Pdo(), AudioHalChoice::ChipIdentifying)) ||
        !NT_SUCCESS(host.AddDevice(port->Pdo())) ||
        !NT_SUCCESS(host.Start())) {
      std::fprintf(stderr, "the VZR417 interface does not start\n");
      std::abort();
    }
    auto* extension = GetDeviceExtension(host.AdapterDevice());
    asio = static_cast<CUsbAudioDevice*>(extension->Adapter);
  }
};

using fuzz::Reader;

// Mostly codes of the table, sometimes their neighbours and function 0x812.
ULONG PickCode(Reader& in) {
  const uint8_t pick = in.Byte();
  if (pick < 220) return AsioIoctlTable[pick % ASIO_IOCTL_COUNT].Code;
  return AsioIoctlCode(0x800 + pick % 0x20, pick & 1 ? ASIO_READ : ASIO_WRITE);
}

// A length: mostly small, sometimes exactly a record's, sometimes large.
ULONG PickLength(Reader& in) {
  const uint8_t pick = in.Byte();
  if (pick < 160) return pick % 64;
  if (pick < 240) return (pick % 8) * 4 + 8;
  return 256 + in.Byte() * 16;
}

void RunInput(Session& session, const uint8_t* data, size_t size) {
  Reader in(data, size);
  std::unique_ptr<sim::host::AsioHost> hosts[3];
  std::unique_ptr<sim::host::UserEvent> events[2] = {std::make_unique<sim::host::UserEvent>(),
                                                     std::make_unique<sim::host::UserEvent>(true)};
  for (int steps = 0; in.More() && steps < 48; ++steps) {
    const uint8_t op = in.Byte();
    auto& host = hosts[(op >> 4) % 3];
    if (!host || !host->IsOpen()) {
      host = std::make_unique<sim::host::AsioHost>(op & 0x80);
      if (NT_SUCCESS(host->Open(session.port->Pdo()))) fuzz::Reached("a host opened the interface");
      continue;
    }
    switch (op % 8) {
      case 0: {  // any control, any lengths and contents
        const ULONG code = PickCode(in);
        const ULONG inLength = PickLength(in), outLength = PickLength(in);
        std::vector<uint8_t> input = in.Bytes(inLength);
        std::vector<uint8_t> output(outLength ? outLength : 1, 0xCD);
        if (in.Byte() & 1 && inLength >= 8) {
          // A real event handle where a handle may go.
          const auto handle = reinterpret_cast<ULONG_PTR>(events[op & 1]->Handle());
          std::memcpy(input.data(), &handle, host->Is32bit() ? 4 : 8);
        }
        ULONG_PTR information = 0;
        host->Ioctl(code, inLength ? input.data() : nullptr, inLength, outLength ? output.data() : nullptr, outLength,
                    &information);
        if (information > outLength && information != 0) {
          // Only a size query may name more than the buffer holds, and then
          // nothing is copied.
          bool sizeQuery = outLength == 0;
          if (!sizeQuery) std::abort();
        }
        break;
      }
      case 1: {  // buffers for any channels and length
        std::vector<AsioBufferRequest> channels(in.Byte() % 6);
        for (auto& c : channels) c = {static_cast<ULONG>(in.Byte() & 1), static_cast<ULONG>(in.Byte() % 4)};
        std::vector<sim::host::AsioBlockView> blocks;
        if (NT_SUCCESS(host->CreateBuffers(channels, in.Word(), &blocks))) {
          fuzz::Reached("buffers created");
          for (const auto& b : blocks)
            if (b.header && b.ring) b.ring[in.Word() % b.header->Size] ^= in.Byte();
        }
        break;
      }
      case 2:
        if (NT_SUCCESS(host->Start(*events[op & 1]))) fuzz::Reached("the streams started");
        break;
      case 3:
        host->Stop();
        break;
      case 4:
        host->DisposeBuffers();
        break;
      case 5:
        if (op & 0x40) host->Exit(); else host->Close();
        break;
      case 6:
        (op & 0x40) ? host->SetNotifyEvent(*events[op & 1]) : host->ReleaseNotifyEvent();
        break;
      case 7: {  // settings a host may choose, and some it may not
        const uint32_t value = in.Long();
        if (op & 0x40) host->SetLatencyIndex(value % 12);
        else if (op & 0x20) host->SetSampleRate(value % 3 ? 44100u * (value % 3) : value);
        else host->SetSampleType(value % 40);
        break;
      }
    }
  }
  for (auto& host : hosts)
    if (host) {
      host->Exit();
      if (host->Mappings() != 0) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Session* session = new Session();
  session->device->ClearRequests();
  // The host works on a thread of its own: a stop waits for the transfers
  // in flight, which complete only as time moves here.
  sim::host::RunWhileTimePasses([&] { RunInput(*session, data, size); });
  // Every host has gone: nothing of theirs may be left in the driver.
  CUsbAudioDevice* asio = session->asio;
  if (asio->GetAsioBuffersCreated() || asio->AreAsioStreamsRunning() || asio->IsAsioStopHeld()) std::abort();
  for (ULONG i = 0; i < asio->GetAsioEngineCount(); ++i) {
    const AsioEngineEntry* e = asio->GetAsioEngineEntry(i);
    if (e->Block || e->Client) std::abort();
  }
  return 0;
}

FUZZ_REACHES("a host opened the interface", "buffers created", "the streams started")
