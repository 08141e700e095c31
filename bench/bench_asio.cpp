// One ASIO buffer switch on the driver's side: the render engine's fill of
// a transfer from the host's render ring, the capture engine's delivery
// into the capture ring, and the completed transfer that signals the host,
// each arriving as the engines send it (a notification found by its client
// record, then the copy under the ring lock). Rings of 2 and 8 channels at
// 48 kHz, 16-, 24- and 32-bit integer and 32-bit float samples, periods of
// 1, 2, 5 and 10 ms. The peer is the least any exchange must do: the same
// two copies with memcpy. The ratio table shows what the notification
// path, the lock and the wrap add.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bench/RatioTable.h"
#include "driver/AsioPrivate.h"

namespace {

constexpr ULONG kRate = 48000;
constexpr ULONG kBenchTag = MakeTag("Bnch");
// Bytes per sample of the formats: int16, int24 (packed), int32, float.
constexpr ULONG kSampleBytes[] = {2, 3, 4, 4};

// A device that answers nothing: the exchange asks nothing of it.
class NoDevice final : public IAsioDeviceLink {
 public:
  ULONG STDMETHODCALLTYPE GetStreamEngineCount() override { return 0; }
  NTSTATUS STDMETHODCALLTYPE GetStreamEngineCaps(ULONG, DeviceCapsRecord*) override { return STATUS_NOT_SUPPORTED; }
  NTSTATUS STDMETHODCALLTYPE GetStreamEngine(ULONG, IStreamEngine**) override { return STATUS_NOT_SUPPORTED; }
  NTSTATUS STDMETHODCALLTYPE SubmitUrb(PURB) override { return STATUS_NOT_SUPPORTED; }
  NTSTATUS STDMETHODCALLTYPE QueryBusTime(PULONG) override { return STATUS_NOT_SUPPORTED; }
  BOOLEAN STDMETHODCALLTYPE IsDeviceRemoved() override { return FALSE; }
  PDEVICE_OBJECT AsioDeviceObject() override { return nullptr; }
  DEVICE_POWER_STATE AsioPowerState() override { return PowerDeviceD0; }
  USHORT AsioVendorId() override { return 0; }
  USHORT AsioProductId() override { return 0; }
  NTSTATUS AsioProductName(PWSTR, ULONG*, ULONG) override { return STATUS_NOT_FOUND; }
};

// The ASIO object with a render and a capture block of its own making, as
// CreateBuffers and Start leave them, without a device or a host.
class BenchDevice : public CAsioPrivate {
 public:
  BenchDevice(ULONG channels, ULONG sampleBytes) : CAsioPrivate(nullptr, m_NoDevice, m_Mutex) {
    KeInitializeEvent(&m_Switch, SynchronizationEvent, FALSE);
    m_Owner.SwitchEvent = &m_Switch;
    m_AsioOwner = &m_Owner;
    m_AsioEngineCount = 2;
    m_AsioEngines = static_cast<AsioEngineEntry*>(
        ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(AsioEngineEntry), kBenchTag));
    std::memset(static_cast<void*>(m_AsioEngines), 0, 2 * sizeof(AsioEngineEntry));
    const ULONG frame = channels * sampleBytes;
    const ULONG size = frame * kRate * ASIO_RING_MILLISECONDS / 1000;
    for (ULONG i = 0; i < 2; ++i) {
      AsioEngineEntry& e = m_AsioEngines[i];
      e.BlockBytes = static_cast<ULONG>(ROUND_TO_PAGES(ASIO_BLOCK_HEADER_BYTES + size));
      e.Block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, e.BlockBytes, kBenchTag));
      std::memset(e.Block, 0x11, e.BlockBytes);
      e.State.Selected = 1;
      e.State.IsInput = i;
      e.State.Channels = channels;
      e.State.Size = size;
      e.State.SwitchSource = i;
      m_Records[i].Kind = CYCLIC_CLIENT_ASIO;
      m_Records[i].Started = 1;
      e.Client = &m_Records[i];
    }
  }
  ~BenchDevice() {
    for (ULONG i = 0; i < 2; ++i) ExFreePool(m_AsioEngines[i].Block);
    ExFreePool(m_AsioEngines);
    m_AsioEngines = nullptr;
    m_AsioEngineCount = 0;
    m_AsioOwner = nullptr;
  }
  StreamClientRecord* Record(ULONG i) { return &m_Records[i]; }
  PUCHAR Ring(ULONG i) { return m_AsioEngines[i].Block + ASIO_BLOCK_HEADER_BYTES; }
  ULONG Position(ULONG i) const { return m_AsioEngines[i].State.Position; }
  ULONG Size() const { return m_AsioEngines[0].State.Size; }

 private:
  static inline NoDevice m_NoDevice;
  static inline CKernelMutex m_Mutex;
  KEVENT m_Switch;
  AsioClientRecord m_Owner{};
  StreamClientRecord m_Records[2]{};
};

struct Shape {
  ULONG channels, sampleBytes, frames, bytes;
};

Shape ShapeOf(const benchmark::State& state) {
  Shape s{static_cast<ULONG>(state.range(1)), kSampleBytes[state.range(0)], static_cast<ULONG>(state.range(2)), 0};
  s.bytes = s.channels * s.sampleBytes * s.frames;
  return s;
}

void AsioSwitchOurs(benchmark::State& state) {
  const Shape s = ShapeOf(state);
  BenchDevice device(s.channels, s.sampleBytes);
  std::vector<UCHAR> transfer(s.bytes), captured(s.bytes, 0x22);
  CyclicControlNotify fill{device.Record(0), CYCLIC_COMMAND_RENDER_FILL, {}, s.bytes};
  fill.Value.Buffer = transfer.data();
  CyclicControlNotify capture{device.Record(1), CYCLIC_COMMAND_CAPTURE_DATA, {}, s.bytes};
  capture.Value.Buffer = captured.data();
  CyclicControlNotify position{device.Record(1), CYCLIC_COMMAND_POSITION, {}, 0};
  position.Value.Bytes = s.bytes;
  for (auto _ : state) {
    CAsioPrivate::AsioCyclicCallbackEntry(static_cast<CAsioPrivate*>(&device), &fill, nullptr);
    CAsioPrivate::AsioCyclicCallbackEntry(static_cast<CAsioPrivate*>(&device), &capture, nullptr);
    CAsioPrivate::AsioCyclicCallbackEntry(static_cast<CAsioPrivate*>(&device), &position, nullptr);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 2 * static_cast<int64_t>(s.bytes));
  state.counters["frames"] = s.frames;
}

// Two copies of the period, render ring to transfer and transfer to
// capture ring, at positions that move and wrap as the rings' do.
void AsioSwitchMemcpy(benchmark::State& state) {
  const Shape s = ShapeOf(state);
  const ULONG size = s.channels * s.sampleBytes * kRate * ASIO_RING_MILLISECONDS / 1000;
  std::vector<UCHAR> render(size, 0x11), capture(size, 0x11), transfer(s.bytes), captured(s.bytes, 0x22);
  ULONG at = 0;
  for (auto _ : state) {
    const ULONG first = std::min(s.bytes, size - at);
    std::memcpy(transfer.data(), render.data() + at, first);
    std::memcpy(transfer.data() + first, render.data(), s.bytes - first);
    std::memcpy(capture.data() + at, captured.data(), first);
    std::memcpy(capture.data(), captured.data() + first, s.bytes - first);
    at = (at + s.bytes) % size;
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 2 * static_cast<int64_t>(s.bytes));
}

// Format (0 int16, 1 int24, 2 int32, 3 float), channels, frames per switch.
void Shapes(benchmark::internal::Benchmark* b) {
  for (int64_t format : {0, 1, 2, 3})
    for (int64_t channels : {2, 8}) b->Args({format, channels, 96});
  // Period and channel scaling at 16 bits: 1, 2, 5 and 10 ms.
  for (int64_t channels : {2, 8})
    for (int64_t frames : {48, 240, 480}) b->Args({0, channels, frames});
}

BENCHMARK(AsioSwitchOurs)->Name("AsioSwitch/ours")->Apply(Shapes);
BENCHMARK(AsioSwitchMemcpy)->Name("AsioSwitch/memcpy")->Apply(Shapes);

}  // namespace

int main(int argc, char** argv) { return bench::RunWithRatioTable(argc, argv); }
