// The product's whole render path, one URB at a time on one thread: the
// wave stream's cyclic buffer, the stream engine's processing hooks (the
// room effect node with its effect on or off; the tone prompt idle), the
// product render pipe's stream limiter and two-channel compaction, down to
// the device's packets at 48 kHz. The USB stack below the engine holds each
// URB until the bench completes it, and the completion sends the next, as
// the bus's completions do. Two clients: an 8-channel 16-bit 48 kHz wave
// stream (the format the product's render pin announces), and a 44.1 kHz
// wave stream against an engine that a higher client holds at 48 kHz, so
// that the wave stream's rate bookkeeping is in the path.
//
// The peer is the same path without the room effect node ("bare"); the
// figure of interest is x_realtime: seconds of audio per second of one
// core. The room effect node alone is timed over 512-frame blocks of eight
// float channels, in ns per frame.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "bench/RatioTable.h"
#include "driver/hal/CAudioHal.h"
#include "portcls/framework.h"
#include "streaming/CUac1Render.h"
#include "tests/streaming/support/StreamBench.h"
#include "tests/topology/support/WaveParts.h"
#include "topology/CMiniportWaveCyclic.h"
#include "topology/CRoomEffectNode.h"

namespace {

constexpr ULONG kTag = MakeTag("BRnd");
constexpr double kProgramHz = 997.0;

enum class Room { None, Off, On };

// The room effect node without a unit behind it: its value is set here and
// taken over by the processing as a change from the topology would be.
class BenchRoomNode final : public CRoomEffectNode {
 public:
  BenchRoomNode() : CRoomEffectNode(nullptr, 1) {}
  bool Build() { return NT_SUCCESS(CreateParts()); }
  void Switch(bool on) {
    m_Value = on ? 1 : 0;
    RaiseReconfigureFlags();
  }
};

BenchRoomNode* NewRoomNode(bool on) {
  auto* node = new (NonPagedPool, kTag) BenchRoomNode();
  node->NonDelegatingAddRef();
  if (!node->Build()) {
    node->NonDelegatingRelease();
    return nullptr;
  }
  node->Switch(on);
  return node;
}

WAVEFORMATEXTENSIBLE EightChannels(DWORD rate) { return streamtest::Pcm(8, rate, 16, 0x63F); }

// A quiet 997 Hz on the front pair of `frames` 8-channel 16-bit frames.
void WriteProgram(PUCHAR buffer, ULONG frames, DWORD rate) {
  auto* samples = reinterpret_cast<SHORT*>(buffer);
  for (ULONG f = 0; f < frames; ++f) {
    const auto v = static_cast<SHORT>(std::lround(8000.0 * std::sin(2.0 * M_PI * kProgramHz * f / rate)));
    for (ULONG c = 0; c < 8; ++c) samples[f * 8 + c] = c < 2 ? v : 0;
  }
}

// A client of a kind above the wave stream's that holds the engine at
// 48 kHz and fills every URB with the program.
class HoldingClient {
 public:
  explicit HoldingClient(ICyclicControl* control) : m_Control(control), m_Program(48000 * 16) {
    WriteProgram(m_Program.data(), 48000, 48000);
  }
  NTSTATUS Run() {
    const WAVEFORMATEXTENSIBLE format = EightChannels(48000);
    NTSTATUS status = m_Control->RegisterClient(CYCLIC_CLIENT_ASIO, &format, 10, 2, Callback, this, &m_Record);
    ULONG msPerUrb = 0, frame = 0;
    if (NT_SUCCESS(status)) status = m_Control->PrepareClient(m_Record->Handle, &msPerUrb, &frame);
    if (NT_SUCCESS(status)) status = m_Control->StartClient(m_Record->Handle, frame + 2, &msPerUrb, nullptr);
    return status;
  }
  void Finish() {
    if (!m_Record) return;
    m_Control->StopClient(m_Record->Handle, nullptr);
    m_Control->UnprepareClient(m_Record->Handle);
    m_Control->UnregisterClient(m_Record->Handle);
    m_Record = nullptr;
  }

 private:
  static void Callback(PVOID context, PVOID argument1, PVOID) {
    auto* self = static_cast<HoldingClient*>(context);
    const auto* notify = static_cast<const CyclicControlNotify*>(argument1);
    if (notify->Command != CYCLIC_COMMAND_RENDER_FILL || notify->Client != self->m_Record) return;
    auto* out = static_cast<PUCHAR>(notify->Value.Buffer);
    for (ULONG done = 0; done < notify->Length;) {
      const ULONG n = std::min<ULONG>(notify->Length - done, static_cast<ULONG>(self->m_Program.size()) - self->m_At);
      std::memcpy(out + done, self->m_Program.data() + self->m_At, n);
      done += n;
      self->m_At = (self->m_At + n) % static_cast<ULONG>(self->m_Program.size());
    }
  }

  ICyclicControl* m_Control;
  std::vector<UCHAR> m_Program;
  ULONG m_At = 0;
  StreamClientRecord* m_Record = nullptr;
};

// Engine, room effect node, model, port, miniport and a running wave stream
// of `rate`, with the engine held at 48 kHz by another client when the
// rates differ.
class RenderPath {
 public:
  RenderPath(DWORD rate, Room room) {
    platform::portcls::ResetForTest();
    m_Owner = new (NonPagedPool, kTag) streamtest::FakeOwner(1, 1, FALSE);
    m_Owner->NonDelegatingAddRef();
    m_Engine = new (NonPagedPool, kTag) CTQ4187Render(nullptr, streamtest::kEngineId, 0);
    m_Engine->NonDelegatingAddRef();
    bool ok = NT_SUCCESS(m_Engine->Init(STREAM_DIRECTION_RENDER, m_Owner->Hal())) &&
              NT_SUCCESS(m_Engine->AllocateWorkBuffers());
    for (DWORD r : {48000u, 44100u}) {
      const WAVEFORMATEXTENSIBLE format = EightChannels(r);
      ok = ok && NT_SUCCESS(m_Engine->AddFormat(&format, 1));
    }
    if (room != Room::None) {
      m_Room = NewRoomNode(room == Room::On);
      ok = ok && m_Room && NT_SUCCESS(m_Engine->AddNodeProcessor(m_Room));
    }
    m_Model = new (NonPagedPool, kTag) wavetest::WaveModel(m_Engine);
    m_Model->NonDelegatingAddRef();
    ok = ok && NT_SUCCESS(m_Model->Init(nullptr, nullptr, nullptr, nullptr));
    m_Port = new (NonPagedPool, kTag) wavetest::FakePort();
    m_Port->NonDelegatingAddRef();
    PUNKNOWN unknown = nullptr;
    ok = ok && NT_SUCCESS(CreateMiniportWaveCyclic(&unknown, GUID_NULL, nullptr, NonPagedPool, 0));
    if (unknown) {
      PVOID object = nullptr;
      unknown->QueryInterface(IID_IMiniportWaveCyclic, &object);
      unknown->Release();
      m_Miniport = static_cast<IMiniportWaveCyclic*>(object);
    }
    ok = ok && m_Miniport && NT_SUCCESS(m_Miniport->Init(m_Model->Hal(), nullptr, m_Port));
    if (ok && rate != 48000) {
      m_Holder = std::make_unique<HoldingClient>(m_Engine);
      ok = NT_SUCCESS(m_Holder->Run());
    }
    struct {
      KSDATAFORMAT header;
      WAVEFORMATEXTENSIBLE wave;
    } format{{sizeof format, 0, 16, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
              KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
             EightChannels(rate)};
    ok = ok && NT_SUCCESS(m_Miniport->NewStream(&m_Stream, nullptr, NonPagedPool, 0, FALSE, &format.header, &m_Dma,
                                                &m_ServiceGroup));
    if (ok) {
      WriteProgram(static_cast<PUCHAR>(m_Dma->SystemAddress()), m_Dma->BufferSize() / 16, rate);
      ok = NT_SUCCESS(m_Stream->SetState(KSSTATE_ACQUIRE)) && NT_SUCCESS(m_Stream->SetState(KSSTATE_PAUSE)) &&
           NT_SUCCESS(m_Stream->SetState(KSSTATE_RUN));
    }
    m_Ok = ok && m_Owner->Pending() > 0;
  }

  ~RenderPath() {
    // The stops wait for the URBs in flight: complete them as they come.
    if (m_Stream) Finishing([&] { m_Stream->SetState(KSSTATE_STOP); });
    if (m_Holder) Finishing([&] { m_Holder->Finish(); });
    if (m_Dma) m_Dma->Release();
    if (m_ServiceGroup) m_ServiceGroup->Release();
    if (m_Stream) m_Stream->Release();
    if (m_Miniport) m_Miniport->Release();
    m_Port->NonDelegatingRelease();
    m_Model->NonDelegatingRelease();
    if (m_Room) m_Room->NonDelegatingRelease();
    m_Engine->NonDelegatingRelease();
    m_Owner->NonDelegatingRelease();
  }

  bool Ok() const { return m_Ok; }
  // One URB completed, and the next one filled, processed and sent.
  void Step() { m_Owner->CompleteOldest(); }
  // The device frames (two 16-bit samples each) of every URB sent so far.
  double DeviceFramesSent() const {
    double bytes = 0;
    for (const streamtest::SentUrb& urb : m_Owner->Sent()) bytes += urb.bufferLength;
    return bytes / 4;
  }

 private:
  template <typename Work>
  void Finishing(Work work) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      work();
      done = true;
    });
    while (!done) {
      m_Owner->CompleteAll(STATUS_CANCELLED);
      std::this_thread::yield();
    }
    worker.join();
  }

  streamtest::FakeOwner* m_Owner = nullptr;
  CTQ4187Render* m_Engine = nullptr;
  BenchRoomNode* m_Room = nullptr;
  wavetest::WaveModel* m_Model = nullptr;
  wavetest::FakePort* m_Port = nullptr;
  IMiniportWaveCyclic* m_Miniport = nullptr;
  PMINIPORTWAVECYCLICSTREAM m_Stream = nullptr;
  PDMACHANNEL m_Dma = nullptr;
  PSERVICEGROUP m_ServiceGroup = nullptr;
  std::unique_ptr<HoldingClient> m_Holder;
  bool m_Ok = false;
};

// Audio seconds per second of the bench thread (the device's frames at
// 48 kHz): multiples of real time on one core.
void ReportRealTime(benchmark::State& state, double frames) {
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  state.counters["x_realtime"] = benchmark::Counter(frames / 48000.0, benchmark::Counter::kIsRate);
}

void RenderPathRun(benchmark::State& state, Room room) {
  const auto rate = static_cast<DWORD>(state.range(0));
  RenderPath path(rate, room);
  if (!path.Ok()) {
    state.SkipWithError("the render path did not start");
    return;
  }
  // Past the start and the room effect's switch.
  for (int i = 0; i < 20; ++i) path.Step();
  const double before = path.DeviceFramesSent();
  for (auto _ : state) path.Step();
  ReportRealTime(state, path.DeviceFramesSent() - before);
}

// ours: the room effect on; the peers: the effect off, and no node at all.
void RenderPathRoomOn(benchmark::State& state) { RenderPathRun(state, Room::On); }
void RenderPathRoomOff(benchmark::State& state) { RenderPathRun(state, Room::Off); }
void RenderPathBare(benchmark::State& state) { RenderPathRun(state, Room::None); }
BENCHMARK(RenderPathRoomOn)->Name("RenderPath/ours")->Arg(48000)->Arg(44100);
BENCHMARK(RenderPathRoomOff)->Name("RenderPath/room_off")->Arg(48000)->Arg(44100);
BENCHMARK(RenderPathBare)->Name("RenderPath/bare")->Arg(48000)->Arg(44100);

// The room effect node alone over 512-frame blocks of eight channels.
void RoomNodeRun(benchmark::State& state, bool on) {
  BenchRoomNode* node = NewRoomNode(on);
  if (!node) {
    state.SkipWithError("no memory for the node");
    return;
  }
  const WAVEFORMATEXTENSIBLE format = EightChannels(48000);
  node->SetFormat(&format);
  std::vector<std::vector<float>> channels(8, std::vector<float>(ROOM_NODE_BLOCK_FRAMES));
  float* pointers[8];
  for (ULONG c = 0; c < 8; ++c) pointers[c] = channels[c].data();
  std::vector<float> program(ROOM_NODE_BLOCK_FRAMES);
  for (ULONG i = 0; i < ROOM_NODE_BLOCK_FRAMES; ++i)
    program[i] = 0.25f * static_cast<float>(std::sin(2.0 * M_PI * kProgramHz * i / 48000));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  for (auto _ : state) {
    for (ULONG c = 0; c < 8; ++c) std::copy(program.begin(), program.end(), channels[c].begin());
    node->Process(&format, pointers, ROOM_NODE_BLOCK_FRAMES);
    benchmark::ClobberMemory();
  }
  KeLowerIrql(old);
  state.SetItemsProcessed(state.iterations() * ROOM_NODE_BLOCK_FRAMES);
  state.counters["ns_per_frame"] = benchmark::Counter(static_cast<double>(state.iterations() * ROOM_NODE_BLOCK_FRAMES),
                                                      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  node->NonDelegatingRelease();
}

void RoomNodeOn(benchmark::State& state) { RoomNodeRun(state, true); }
void RoomNodeOff(benchmark::State& state) { RoomNodeRun(state, false); }
// ours: the effect on; the peer: the effect off (both paths run either way).
BENCHMARK(RoomNodeOn)->Name("RoomNode/ours/8ch");
BENCHMARK(RoomNodeOff)->Name("RoomNode/effect_off/8ch");

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioTable reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
