#include "topology/CToneNode.h"

#include <cmath>
#include <cstring>

#include "driver/common/SpinLockScope.h"
#include "dsp/DspFormat.h"
#include "topology/CyclicClient.h"
#include "primitives/Vector.h"

namespace {

struct BurstTable {
  SHORT samples[TONE_BURST_SAMPLES];
  explicit BurstTable(double hz) {
    const double kPi = 3.14159265358979323846;
    for (ULONG i = 0; i < TONE_BURST_SAMPLES; ++i) {
      double gain = 1.0;
      if (i < TONE_BURST_FADE_SAMPLES) gain = static_cast<double>(i) / TONE_BURST_FADE_SAMPLES;
      if (i >= TONE_BURST_SAMPLES - TONE_BURST_FADE_SAMPLES)
        gain = static_cast<double>(TONE_BURST_SAMPLES - i) / TONE_BURST_FADE_SAMPLES;
      const double v = TONE_BURST_PEAK * gain * std::sin(2.0 * kPi * hz * i / TONE_PROMPT_RATE);
      samples[i] = static_cast<SHORT>(std::lround(v));
    }
  }
};

WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD channelMask) {
  WAVEFORMATEXTENSIBLE f = {};
  f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  f.Format.nChannels = channels;
  f.Format.nSamplesPerSec = TONE_PROMPT_RATE;
  f.Format.nBlockAlign = static_cast<WORD>(channels * 2);
  f.Format.nAvgBytesPerSec = TONE_PROMPT_RATE * f.Format.nBlockAlign;
  f.Format.wBitsPerSample = 16;
  f.Format.cbSize = 22;
  f.Samples.wValidBitsPerSample = 16;
  f.dwChannelMask = channelMask;
  f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  return f;
}

bool IsExtensible(const WAVEFORMATEXTENSIBLE& f) { return f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE; }

// The device format's rate and layout as 32-bit float, with `channels`
// channels.
WAVEFORMATEXTENSIBLE FloatFormatOf(const WAVEFORMATEXTENSIBLE& device, WORD channels) {
  WAVEFORMATEXTENSIBLE f = device;
  if (IsExtensible(f)) {
    if (!IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT)) {
      f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
      f.Samples.wValidBitsPerSample = 32;
    }
  } else {
    f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  }
  f.Format.nChannels = channels;
  f.Format.wBitsPerSample = 32;
  f.Format.nBlockAlign = static_cast<WORD>(channels * 4);
  f.Format.nAvgBytesPerSec = f.Format.nSamplesPerSec * f.Format.nBlockAlign;
  return f;
}

// 40 ms of the device rate, or 0 when the stream cannot carry the prompt:
// only PCM reaches the client processors, the prompt needs a front pair, and
// the ring holds 40 ms at 384 kHz.
ULONG RingLengthFor(const WAVEFORMATEXTENSIBLE& device) {
  if (EffectiveFormatTag(device) != WAVE_FORMAT_PCM) return 0;
  const ULONG channels = device.Format.nChannels;
  if (channels < TONE_MIN_CHANNELS || channels > TONE_CHANNEL_BUFFERS) return 0;
  const ULONG frames = device.Format.nSamplesPerSec / 25;
  return frames <= TONE_RING_MAX_FRAMES ? frames : 0;
}

void Sleep(LONGLONG milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -milliseconds * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

}  // namespace

const SHORT* ToneBurstA() {
  static const BurstTable table(TONE_LOW_HZ);
  return table.samples;
}

const SHORT* ToneBurstB() {
  static const BurstTable table(TONE_HIGH_HZ);
  return table.samples;
}

CToneNode::CToneNode(PUNKNOWN outerUnknown, PUNKNOWN audioHal)
    : CUnknownBase(outerUnknown),
      m_PromptFormat(Extensible(1, 3)),
      m_DeviceFormat(Extensible(8, 0x63F)),
      m_AudioHal(audioHal) {
  KeInitializeSpinLock(&m_SpinLock);
}

CToneNode::~CToneNode() {
  CKernelMutexScope lock(m_Lock);
  if (m_State == TONE_STATE_PLAYING) StopLocked(nullptr);
  if (m_ChannelBuffers) {
    for (ULONG c = 0; c < TONE_CHANNEL_BUFFERS; ++c)
      if (m_ChannelBuffers[c]) ExFreePool(m_ChannelBuffers[c]);
    ExFreePool(m_ChannelBuffers);
  }
  delete m_Converter;
  if (m_PromptTable) {
    if (m_PromptTable[0]) ExFreePool(m_PromptTable[0]);
    ExFreePool(m_PromptTable);
  }
  // A queued stop holds a reference, so no item is queued any more.
  if (m_StopWorkItem) {
    if (m_StopWorkItem->Item) IoFreeWorkItem(m_StopWorkItem->Item);
    ExFreePool(m_StopWorkItem);
  }
}

NTSTATUS CToneNode::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IToneNode)) {
    *object = static_cast<IToneNode*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_ISwitchNode)) {
    *object = static_cast<ISwitchNode*>(this);
  } else {
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

// ---- Setting up ---------------------------------------------------------------------------------

NTSTATUS CToneNode::Init() {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  if (!m_Converter) {
    m_Converter = new (NonPagedPool, TONE_NODE_TAG) CDspNonInterleaveSrc();
    if (!m_Converter) return STATUS_INSUFFICIENT_RESOURCES;
    if (!m_Converter->Init()) {
      delete m_Converter;
      m_Converter = nullptr;
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  if (!m_StopWorkItem) {
    if (!m_AudioHal) return STATUS_INVALID_PARAMETER;
    IAudioHal* hal = nullptr;
    NTSTATUS status = m_AudioHal->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&hal));
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT deviceObject = hal->GetDeviceObject();
    hal->Release();
    auto* record =
        static_cast<ToneStopWorkItem*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ToneStopWorkItem), TONE_NODE_TAG));
    if (!record) return STATUS_INSUFFICIENT_RESOURCES;
    record->Node = this;
    record->Item = IoAllocateWorkItem(deviceObject);
    if (!record->Item) {
      ExFreePool(record);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_StopWorkItem = record;
  }

  m_State = TONE_STATE_IDLE;
  if (!m_ChannelBuffers) {
    m_ChannelBuffers = static_cast<float**>(
        ExAllocatePoolWithTag(NonPagedPool, TONE_CHANNEL_BUFFERS * sizeof(float*), TONE_NODE_TAG));
    if (!m_ChannelBuffers) return STATUS_INSUFFICIENT_RESOURCES;
    memset(m_ChannelBuffers, 0, TONE_CHANNEL_BUFFERS * sizeof(float*));
  }
  for (ULONG c = 0; c < TONE_CHANNEL_BUFFERS; ++c) {
    if (m_ChannelBuffers[c]) continue;
    m_ChannelBuffers[c] = static_cast<float*>(
        ExAllocatePoolWithTag(NonPagedPool, TONE_RING_MAX_FRAMES * sizeof(float), TONE_NODE_TAG));
    if (!m_ChannelBuffers[c]) return STATUS_INSUFFICIENT_RESOURCES;
    memset(m_ChannelBuffers[c], 0, TONE_RING_MAX_FRAMES * sizeof(float));
  }
  return STATUS_SUCCESS;
}

NTSTATUS CToneNode::SetRenderEngine(IStreamEngine* engine) {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  if (m_State != TONE_STATE_IDLE) return STATUS_UNSUCCESSFUL;
  m_RenderEngine = engine;
  return STATUS_SUCCESS;
}

// ---- The prompt ---------------------------------------------------------------------------------

void CToneNode::WaitForPlayingPrompt() {
  if (m_State == TONE_STATE_IDLE) return;
  // Let the prompt that is playing finish, but never wait long: a switch
  // flipped twice must not hang its caller.
  for (ULONG sleeps = 0; sleeps < TONE_WAIT_SLEEPS; ++sleeps) {
    Sleep(10);
    CSpinLockScope spin(m_SpinLock);
    if (m_Stopping || m_Ended) break;
  }
  Sleep(20);
}

NTSTATUS CToneNode::BuildPrompt(ULONG type) {
  if (type != TONE_PROMPT_RISING && type != TONE_PROMPT_FALLING) return STATUS_INSUFFICIENT_RESOURCES;
  const ULONG bytes = TONE_PROMPT_SAMPLES * sizeof(SHORT);
  auto* table = static_cast<SHORT**>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SHORT*), TONE_NODE_TAG));
  auto* buffer = static_cast<SHORT*>(ExAllocatePoolWithTag(NonPagedPool, bytes, TONE_NODE_TAG));
  if (!table || !buffer) {
    if (table) ExFreePool(table);
    if (buffer) ExFreePool(buffer);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  memset(buffer, 0, bytes);
  const SHORT* first = type == TONE_PROMPT_RISING ? ToneBurstA() : ToneBurstB();
  const SHORT* second = type == TONE_PROMPT_RISING ? ToneBurstB() : ToneBurstA();
  memcpy(buffer + TONE_FIRST_BURST_AT, first, TONE_BURST_SAMPLES * sizeof(SHORT));
  memcpy(buffer + TONE_SECOND_BURST_AT, second, TONE_BURST_SAMPLES * sizeof(SHORT));
  table[0] = buffer;

  // Buffer, samples, length and position change together, so that nothing
  // that reads the prompt under the spin lock sees one without the others;
  // the old buffer is freed only once it is out of reach.
  SHORT** oldTable = nullptr;
  {
    CSpinLockScope spin(m_SpinLock);
    oldTable = m_PromptTable;
    m_PromptTable = table;
    m_PromptBytes = bytes;
    m_PromptLength = TONE_PROMPT_SAMPLES;
    m_PromptPosition = 0;
    m_PromptSamples = buffer;
  }
  if (oldTable) {
    if (oldTable[0]) ExFreePool(oldTable[0]);
    ExFreePool(oldTable);
  }
  return STATUS_SUCCESS;
}

bool CToneNode::SetConverter(WORD channels) {
  const WAVEFORMATEXTENSIBLE out = FloatFormatOf(m_DeviceFormat, channels);
  return m_Converter && m_Converter->SetFormat(&m_PromptFormat, &out);
}

// ---- Playing ------------------------------------------------------------------------------------

NTSTATUS CToneNode::Play() {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  WaitForPlayingPrompt();
  // A prompt still playing after the wait is stopped first: the new one
  // starts from its beginning, and a stop queued for the old one finds
  // nothing left to stop.
  if (m_State == TONE_STATE_PLAYING) {
    const NTSTATUS stopped = StopLocked(this);
    // A client the engine still holds keeps its handle: a new one would lose it.
    if (m_State == TONE_STATE_PLAYING) return stopped;
  }

  NTSTATUS status = BuildPrompt(m_PromptSelector ? TONE_PROMPT_RISING : TONE_PROMPT_FALLING);
  if (!NT_SUCCESS(status) || !m_RenderEngine) return status;
  if (!m_Converter || !m_ChannelBuffers || !m_StopWorkItem) return STATUS_INVALID_DEVICE_STATE;

  WAVEFORMATEXTENSIBLE device = {};
  status = m_RenderEngine->GetFormat(0, &device);
  if (!NT_SUCCESS(status)) return status;
  // A layout the ring cannot serve plays nothing rather than write past the
  // buffers.
  const ULONG ringLength = RingLengthFor(device);
  if (ringLength == 0) return STATUS_NOT_SUPPORTED;
  {
    CSpinLockScope spin(m_SpinLock);
    m_DeviceFormat = device;
    if (!SetConverter(device.Format.nChannels)) return STATUS_NOT_SUPPORTED;
    m_MsPerUrb = TONE_MS_PER_URB;
    m_RingLength = ringLength;
    m_PlayedCounter = m_RingWrite = m_RingRead = m_RingPending = 0;
    m_Ended = 0;
    m_PromptPosition = 0;
    m_PromptSamples = m_PromptTable[0];
    m_Stopping = 0;
  }

  ICyclicControl* control = nullptr;
  status = m_RenderEngine->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&control));
  if (NT_SUCCESS(status)) {
    const CyclicClientRequest request{CYCLIC_CLIENT_TONE, &device, TONE_MS_PER_URB, TONE_URB_COUNT,
                                      &CToneNode::ClientCallback, this, this};
    status = JoinCyclicClient(control, request, &m_ClientRecord, &m_ClientHandle, &m_MsPerUrb);
    control->Release();
  }

  if (!NT_SUCCESS(status)) {
    CSpinLockScope spin(m_SpinLock);
    m_Stopping = 1;
  }
  // A client the engine would not give back counts as playing, so that the
  // next stop, play or the node's release takes it out again.
  if (NT_SUCCESS(status) || m_ClientHandle) m_State = TONE_STATE_PLAYING;
  return status;
}

NTSTATUS CToneNode::StopLocked(IToneNode* processor) {
  {
    CSpinLockScope spin(m_SpinLock);
    m_Stopping = 1;
  }
  NTSTATUS status = STATUS_SUCCESS;
  if (m_RenderEngine) {
    ICyclicControl* control = nullptr;
    status = m_RenderEngine->QueryInterface(IID_ICyclicControl, reinterpret_cast<PVOID*>(&control));
    if (NT_SUCCESS(status)) {
      status = LeaveCyclicClient(control, processor, &m_ClientRecord, &m_ClientHandle);
      control->Release();
    }
  }
  {
    CSpinLockScope spin(m_SpinLock);
    if (m_Converter) m_Converter->Reset();
  }
  m_State = m_ClientHandle ? TONE_STATE_PLAYING : TONE_STATE_IDLE;
  return status;
}

NTSTATUS CToneNode::Stop() {
  PAGED_CODE();
  CKernelMutexScope lock(m_Lock);
  if (m_State != TONE_STATE_PLAYING) return STATUS_UNSUCCESSFUL;
  return StopLocked(this);
}

void CToneNode::StopEndedPrompt() {
  {
    // From here on an ending prompt needs a stop of its own.
    CSpinLockScope spin(m_SpinLock);
    m_StopQueued = 0;
  }
  CKernelMutexScope lock(m_Lock);
  if (m_State != TONE_STATE_PLAYING) return;
  bool ended = false;
  {
    CSpinLockScope spin(m_SpinLock);
    ended = m_Stopping != 0;
  }
  if (ended) StopLocked(this);
}

void CToneNode::StopRoutine(PDEVICE_OBJECT, PVOID context) {
  CToneNode* node = static_cast<ToneStopWorkItem*>(context)->Node;
  node->StopEndedPrompt();
  // The reference taken when the item was queued.
  static_cast<IToneNode*>(node)->Release();
}

void CToneNode::ClientCallback(PVOID context, PVOID argument1, PVOID) {
  auto* notify = static_cast<CyclicControlNotify*>(argument1);
  if (!context || !notify || notify->Command != CYCLIC_COMMAND_FORMAT || !notify->Client) return;
  static_cast<CToneNode*>(context)->OnCyclicControl(notify->Client, notify->Value.Format.MsPerUrb,
                                                    notify->Value.Format.UrbCount, &notify->Client->Format);
}

// ---- The data path ------------------------------------------------------------------------------

void CToneNode::EndPrompt() {
  m_Stopping = 1;
  // One stop in flight at a time: the item may not be queued twice, and the
  // one queued stops whichever prompt has ended when it runs.
  if (m_StopQueued || !m_StopWorkItem || !m_StopWorkItem->Item) return;
  m_StopQueued = 1;
  static_cast<IToneNode*>(this)->AddRef();
  IoQueueWorkItem(m_StopWorkItem->Item, &CToneNode::StopRoutine, HyperCriticalWorkQueue, m_StopWorkItem);
}

void CToneNode::OnCyclicControl(StreamClientRecord* record, ULONG, ULONG, const WAVEFORMATEXTENSIBLE* format) {
  CSpinLockScope spin(m_SpinLock);
  if (!m_PromptSamples) return;
  if (record && record->Direction == STREAM_DIRECTION_RENDER && format) {
    const size_t bytes = IsExtensible(*format) ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX);
    memcpy(&m_DeviceFormat, format, bytes);
  }
  // The prompt starts again from its beginning in the new format.
  m_PlayedCounter = m_RingWrite = m_RingRead = m_RingPending = 0;
  m_Ended = 0;
  m_PromptPosition = 0;
  m_RingLength = RingLengthFor(m_DeviceFormat);
  if (m_RingLength == 0 || !SetConverter(1)) {
    // Nothing can be played in this format.
    m_RingLength = 0;
    EndPrompt();
    return;
  }
  for (ULONG c = 0; c < m_DeviceFormat.Format.nChannels; ++c)
    VecZeroF32(m_ChannelBuffers[c], static_cast<int32_t>(m_RingLength));
  m_Converter->Reset();
  FillRing();
}

void CToneNode::FillRing() {
  float* ring = m_ChannelBuffers[0];
  while (m_RingPending < m_RingLength) {
    const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(m_PromptSamples + m_PromptPosition)};
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(ring + m_RingWrite)};
    const ULONG left = m_PromptLength - m_PromptPosition;
    uint32_t inFrames = left < TONE_CHUNK_SAMPLES ? left : TONE_CHUNK_SAMPLES;
    const ULONG room = m_RingLength - m_RingPending, toEnd = m_RingLength - m_RingWrite;
    uint32_t outFrames = room < toEnd ? room : toEnd;
    if (!m_Converter->Process(in, &inFrames, out, &outFrames)) break;
    if (inFrames == 0 && outFrames == 0) break;
    m_PromptPosition += inFrames;
    m_RingWrite = (m_RingWrite + outFrames) % m_RingLength;
    m_RingPending += outFrames;
  }
  if (m_PromptPosition >= m_PromptLength) m_Ended = 1;
}

NTSTATUS CToneNode::Process(const WAVEFORMATEXTENSIBLE* format, float* const* channels, ULONG frames) {
  CSpinLockScope spin(m_SpinLock);
  if (m_Stopping) return STATUS_SUCCESS;
  const ULONG streamChannels = format ? format->Format.nChannels : m_DeviceFormat.Format.nChannels;
  if (!m_PromptSamples || m_RingLength == 0 || m_RingLength != RingLengthFor(m_DeviceFormat) ||
      streamChannels < TONE_MIN_CHANNELS || streamChannels > TONE_CHANNEL_BUFFERS || !channels || !channels[0] ||
      !channels[1]) {
    EndPrompt();
    return STATUS_SUCCESS;
  }

  // Only the front pair hears the prompt. A buffer longer than the ring
  // takes a refill midway rather than a gap.
  const float* ring = m_ChannelBuffers[0];
  for (ULONG done = 0; done < frames;) {
    if (m_RingPending == 0) {
      FillRing();
      if (m_RingPending == 0) break;
    }
    ULONG n = frames - done;
    if (n > m_RingPending) n = m_RingPending;
    if (n > m_RingLength - m_RingRead) n = m_RingLength - m_RingRead;
    VecAddF32InPlace(ring + m_RingRead, channels[0] + done, static_cast<int32_t>(n));
    VecAddF32InPlace(ring + m_RingRead, channels[1] + done, static_cast<int32_t>(n));
    m_RingRead = (m_RingRead + n) % m_RingLength;
    m_PlayedCounter = (m_PlayedCounter + n) % m_RingLength;
    m_RingPending -= n;
    done += n;
  }

  FillRing();
  if (m_Ended && m_RingPending == 0) EndPrompt();
  return STATUS_SUCCESS;
}

// ---- ISwitchNode --------------------------------------------------------------------------------

NTSTATUS CToneNode::GetValue(ULONG channel, PUCHAR value) {
  if (!value || channel > 1) return STATUS_INVALID_PARAMETER;
  *value = m_PromptSelector;
  return STATUS_SUCCESS;
}

NTSTATUS CToneNode::SetValue(ULONG channel, UCHAR value) {
  if (channel > 1) return STATUS_INVALID_PARAMETER;
  m_PromptSelector = value;
  return STATUS_SUCCESS;
}

NTSTATUS CToneNode::GetChannelCount(PULONG count) {
  if (!count) return STATUS_INVALID_PARAMETER;
  *count = 1;
  return STATUS_SUCCESS;
}

NTSTATUS CreateToneNode(PUNKNOWN* unknown, PUNKNOWN outerUnknown, PUNKNOWN audioHal) {
  if (!unknown) return STATUS_INVALID_PARAMETER;
  *unknown = nullptr;
  auto* node = new (NonPagedPool, TONE_NODE_TAG) CToneNode(outerUnknown, audioHal);
  if (!node) return STATUS_INSUFFICIENT_RESOURCES;
  node->NonDelegatingAddRef();
  *unknown = node->GetInnerUnknown();
  return STATUS_SUCCESS;
}
