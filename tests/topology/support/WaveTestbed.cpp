#include "tests/topology/support/WaveTestbed.h"

#include <gtest/gtest.h>

namespace wavetest {

constexpr ULONG kTestTag = MakeTag("WTst");

WAVEFORMATEXTENSIBLE Format(const GUID& subFormat, WORD channels, DWORD rate, WORD bits) {
  WAVEFORMATEXTENSIBLE f{};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = rate;
  f.Format.wBitsPerSample = bits;
  f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
  f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  f.Samples.wValidBitsPerSample = bits;
  f.dwChannelMask = channels == 2 ? KSAUDIO_SPEAKER_STEREO : 0;
  f.SubFormat = subFormat;
  return f;
}

DataFormat MakeDataFormat(const WAVEFORMATEXTENSIBLE& wave) {
  DataFormat d{};
  d.header.FormatSize = sizeof(DataFormat);
  d.header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  d.header.SubFormat = wave.SubFormat;
  d.header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  d.header.SampleSize = wave.Format.nBlockAlign;
  d.wave = wave;
  return d;
}

// ---- FakeEngine ----------------------------------------------------------------------------

FakeEngine::FakeEngine(ULONG direction) : CStreamEngine(nullptr, 1) {
  m_Direction = direction;
  other.Kind = CYCLIC_CLIENT_ASIO;
  other.Handle = &other;
  other.Started = 1;
}

NTSTATUS FakeEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUIDAligned(iid, IID_ICyclicControl)) {
    *object = static_cast<ICyclicControl*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  return CStreamEngine::NonDelegatingQueryInterface(iid, object);
}

NTSTATUS FakeEngine::RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb, ULONG urbCount,
                                    PCALLBACK_FUNCTION callback, PVOID context, StreamClientRecord** out) {
  calls.push_back("register");
  *out = nullptr;
  if (!NT_SUCCESS(registerStatus)) return registerStatus;
  EXPECT_FALSE(registered) << "a second registration";
  record = {};
  record.Kind = kind;
  record.Handle = &record;
  record.MsPerUrb = msPerUrb;
  record.UrbCount = urbCount;
  record.Format = *format;
  record.Direction = m_Direction;
  m_Callback = callback;
  m_Context = context;
  registered = true;
  *out = &record;
  return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::UnregisterClient(PVOID handle) {
  calls.push_back("unregister");
  if (!registered || handle != record.Handle) return STATUS_UNSUCCESSFUL;
  registered = false;
  m_Callback = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::PrepareClient(PVOID handle, PULONG msPerUrb, PULONG frame) {
  calls.push_back("prepare");
  if (!registered || handle != record.Handle) return STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(prepareStatus)) return prepareStatus;
  *msPerUrb = record.MsPerUrb;
  *frame = currentFrame;
  return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::StartClient(PVOID handle, ULONG frame, PULONG msPerUrb, IToneNode* client) {
  calls.push_back("start");
  EXPECT_TRUE(takesProcessor || !client);
  if (!registered || handle != record.Handle) return STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(startStatus)) return startStatus;
  startFrame = frame;
  // The engine opens for the newcomer and says so before it starts.
  record.Started = 1;
  SendFormat(record.MsPerUrb | CYCLIC_FORMAT_CHANGED, record.UrbCount);
  *msPerUrb = record.MsPerUrb;
  if (client) {
    std::lock_guard<std::mutex> guard(processorLock);
    processor = client;
    processor->AddRef();
  }
  return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::StopClient(PVOID handle, IToneNode* client) {
  calls.push_back("stop");
  EXPECT_EQ(client, processor);
  if (!registered || handle != record.Handle) return STATUS_INVALID_PARAMETER;
  record.Started = 0;
  std::lock_guard<std::mutex> guard(processorLock);
  if (processor) processor->Release();
  processor = nullptr;
  return STATUS_SUCCESS;
}

NTSTATUS FakeEngine::UnprepareClient(PVOID handle) {
  calls.push_back("unprepare");
  if (!registered || handle != record.Handle) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

void FakeEngine::Send(CyclicControlNotify& notify) {
  if (m_Callback) m_Callback(m_Context, &notify, nullptr);
}

void FakeEngine::SendFormat(ULONG msPerUrb, ULONG urbCount, StreamClientRecord* client) {
  CyclicControlNotify n{};
  n.Client = client ? client : &record;
  n.Command = CYCLIC_COMMAND_FORMAT;
  n.Value.Format.MsPerUrb = msPerUrb;
  n.Value.Format.UrbCount = urbCount;
  Send(n);
}

void FakeEngine::SendFormat(const WAVEFORMATEXTENSIBLE& format) {
  record.Format = format;
  SendFormat(record.MsPerUrb | CYCLIC_FORMAT_CHANGED, record.UrbCount);
}

void FakeEngine::RunProcessor(const WAVEFORMATEXTENSIBLE& format, float* const* channels, ULONG frames) {
  std::lock_guard<std::mutex> guard(processorLock);
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  if (processor) {
    EXPECT_EQ(processor->Process(&format, channels, frames), STATUS_SUCCESS);
  }
}

void FakeEngine::SendFill(PVOID packet, ULONG length, StreamClientRecord* client) {
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  CyclicControlNotify n{};
  n.Client = client ? client : &record;
  n.Command = CYCLIC_COMMAND_RENDER_FILL;
  n.Value.Buffer = packet;
  n.Length = length;
  Send(n);
}

void FakeEngine::SendPosition(ULONG bytes) {
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  CyclicControlNotify n{};
  n.Client = &record;
  n.Command = CYCLIC_COMMAND_POSITION;
  n.Value.Bytes = bytes;
  Send(n);
}

void FakeEngine::SendCapture(PVOID data, ULONG length) {
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  CyclicControlNotify n{};
  n.Client = &record;
  n.Command = CYCLIC_COMMAND_CAPTURE_DATA;
  n.Value.Buffer = data;
  n.Length = length;
  Send(n);
}

// ---- Fixture ---------------------------------------------------------------------------------

NTSTATUS WaveTest::Build(ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats) {
  engine = new (NonPagedPool, kTestTag) FakeEngine(direction);
  engine->NonDelegatingAddRef();
  EXPECT_EQ(engine->Init(direction), STATUS_SUCCESS);
  engine->SetName(direction == STREAM_DIRECTION_CAPTURE ? u"MicIn01" : u"HeadSetOut01");
  for (const auto& f : formats) EXPECT_EQ(engine->AddFormat(&f), STATUS_SUCCESS);

  model = new (NonPagedPool, kTestTag) WaveModel(engine);
  model->NonDelegatingAddRef();
  EXPECT_EQ(model->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);

  port = new (NonPagedPool, kTestTag) FakePort();
  port->NonDelegatingAddRef();

  PUNKNOWN unknown = nullptr;
  EXPECT_EQ(CreateMiniportWaveCyclic(&unknown, GUID_NULL, nullptr, NonPagedPool, 0), STATUS_SUCCESS);
  PVOID object = nullptr;
  unknown->QueryInterface(IID_IMiniportWaveCyclic, &object);
  unknown->Release();
  miniport = static_cast<CMiniportWaveCyclic*>(static_cast<IMiniportWaveCyclic*>(object));
  return miniport->Init(model->Hal(), nullptr, port);
}

NTSTATUS WaveTest::OpenStream(const WAVEFORMATEXTENSIBLE& format, bool capture) {
  DataFormat d = MakeDataFormat(format);
  return miniport->NewStream(&stream, nullptr, NonPagedPool, 0, capture, &d.header, &dma, &serviceGroup);
}

void WaveTest::CloseStream() {
  if (dma) dma->Release();
  if (serviceGroup) serviceGroup->Release();
  if (stream) stream->Release();
  dma = nullptr;
  serviceGroup = nullptr;
  stream = nullptr;
}

void WaveTest::ReleaseAll() {
  CloseStream();
  if (miniport) miniport->Release();
  if (port) port->Release();
  if (model) model->Release();
  if (engine) engine->Release();
  miniport = nullptr;
  port = nullptr;
  model = nullptr;
  engine = nullptr;
}

void WaveTest::TearDown() {
  ReleaseAll();
  testsupport::KernelTest::TearDown();
}

}  // namespace wavetest
