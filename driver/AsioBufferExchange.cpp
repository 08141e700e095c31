// The ASIO buffer exchange: the stream engines' notifications move audio
// between the host's rings and the engines' transfer buffers and tell the
// host when a transfer has completed. The rings hold frames in the engine's
// USB format, so the data path is a plain byte copy.
//
// Everything here runs under the ring lock, from the engines' completion
// paths at DISPATCH_LEVEL and from Start at PASSIVE_LEVEL. The header the
// host sees is only ever written: positions, sizes and counters come from
// the driver's own copy in the engine entry, whatever the host wrote into
// the shared one.
#include "driver/AsioPrivate.h"
#include "driver/common/SpinLockScope.h"

namespace {

constexpr KPRIORITY ASIO_SWITCH_INCREMENT = 8;

void Store(ULONG* shared, ULONG value) { __atomic_store_n(shared, value, __ATOMIC_RELEASE); }

}  // namespace

void CAsioPrivate::AsioPublish(ULONG index) {
  const AsioEngineEntry& e = m_AsioEngines[index];
  if (!e.Block) return;
  auto* shared = reinterpret_cast<AsioChannelBlockHeader*>(e.Block);
  Store(&shared->Selected, e.State.Selected);
  Store(&shared->IsInput, e.State.IsInput);
  Store(&shared->Channels, e.State.Channels);
  Store(&shared->FirstChannel, e.State.FirstChannel);
  Store(&shared->Size, e.State.Size);
  Store(&shared->StartPosition, e.State.StartPosition);
  Store(&shared->PreRoll, e.State.PreRoll);
  Store(&shared->SwitchSource, e.State.SwitchSource);
  Store(&shared->Transfers, e.State.Transfers);
  // The position last: a host that sees it move finds the data behind it.
  Store(&shared->Position, e.State.Position);
}

PKEVENT CAsioPrivate::AsioTakeSwitchEvent(AsioClientRecord* owner) {
  CSpinLockScope lock(m_AsioRingLock);
  PKEVENT event = owner->SwitchEvent;
  owner->SwitchEvent = nullptr;
  return event;
}

void CAsioPrivate::AsioCyclicCallbackEntry(PVOID context, PVOID argument1, PVOID) {
  if (context && argument1)
    static_cast<CAsioPrivate*>(context)->AsioCyclicCallback(static_cast<const CyclicControlNotify*>(argument1));
}

void CAsioPrivate::AsioCyclicCallback(const CyclicControlNotify* notify) {
  // Every client of the engine sees every notification: only those about
  // this device's started ASIO clients are acted on.
  ULONG index = m_AsioEngineCount;
  {
    CSpinLockScope lock(m_AsioRingLock);
    // The handle too: a record at the address of one the engine let go is
    // another client's.
    for (ULONG i = 0; i < m_AsioEngineCount; ++i)
      if (m_AsioEngines[i].Client && m_AsioEngines[i].Client == notify->Client &&
          notify->Client->Handle == m_AsioEngines[i].ClientHandle)
        index = i;
  }
  if (index == m_AsioEngineCount || !ReadUCharNoFence(&notify->Client->Started)) return;
  switch (notify->Command) {
    case CYCLIC_COMMAND_POSITION:
      AsioBufferSwitch(index);
      break;
    case CYCLIC_COMMAND_RENDER_FILL:
      AsioCopyRender(index, static_cast<PUCHAR>(notify->Value.Buffer), notify->Length);
      break;
    case CYCLIC_COMMAND_CAPTURE_DATA:
      AsioCopyCapture(index, static_cast<const UCHAR*>(notify->Value.Buffer), notify->Length);
      break;
    default:
      break;
  }
}

void CAsioPrivate::AsioCopyRender(ULONG index, PUCHAR buffer, ULONG length) { AsioCopy(index, buffer, length, true); }

void CAsioPrivate::AsioCopyCapture(ULONG index, const UCHAR* buffer, ULONG length) {
  AsioCopy(index, const_cast<PUCHAR>(buffer), length, false);
}

void CAsioPrivate::AsioCopy(ULONG index, PUCHAR buffer, ULONG length, bool fromRing) {
  CSpinLockScope lock(m_AsioRingLock);
  if (index >= m_AsioEngineCount || !buffer) return;
  AsioEngineEntry& e = m_AsioEngines[index];
  const ULONG size = e.State.Size;
  // A transfer as long as the ring would wrap onto itself: a render fill
  // would read the host's whole lead and more, a capture write past the
  // ring's end. It is left alone.
  if (!e.Block || length >= size) return;
  const PUCHAR ring = e.Block + ASIO_BLOCK_HEADER_BYTES;
  const ULONG position = e.State.Position < size ? e.State.Position : 0;
  const ULONG toEnd = size - position;
  const ULONG first = length < toEnd ? length : toEnd;
  if (fromRing) {
    RtlCopyMemory(buffer, ring + position, first);
    if (length > first) RtlCopyMemory(buffer + first, ring, length - first);
  } else {
    RtlCopyMemory(ring + position, buffer, first);
    if (length > first) RtlCopyMemory(ring, buffer + first, length - first);
  }
  e.State.Position = (position + length) % size;
  Store(&reinterpret_cast<AsioChannelBlockHeader*>(e.Block)->Position, e.State.Position);
}

void CAsioPrivate::AsioBufferSwitch(ULONG index) {
  CSpinLockScope lock(m_AsioRingLock);
  if (index >= m_AsioEngineCount) return;
  AsioEngineEntry& e = m_AsioEngines[index];
  if (!e.Block) return;
  ++e.State.Transfers;
  Store(&reinterpret_cast<AsioChannelBlockHeader*>(e.Block)->Transfers, e.State.Transfers);
  if (e.State.SwitchSource && m_AsioOwner && m_AsioOwner->SwitchEvent)
    KeSetEvent(m_AsioOwner->SwitchEvent, ASIO_SWITCH_INCREMENT, FALSE);
}

void CAsioPrivate::AsioResetRings(PKEVENT event) {
  CSpinLockScope lock(m_AsioRingLock);
  AsioClientRecord* owner = m_AsioOwner;
  const ULONG dsd = owner ? owner->DsdMode : 0;
  const ULONG rate = owner ? owner->SampleRate : m_AsioSampleRate;
  // The rings and the stream format carry the active type.
  m_AsioBytesPerSample = dsd ? ASIO_DSD_BYTES_PER_SAMPLE : AsioBytesPerSample(m_AsioActiveSampleType);
  ULONG framesPerMs = dsd ? rate / 64000 : rate / 1000;
  if (framesPerMs == 0) framesPerMs = 1;
  AsioUrbPlan plan = AsioPlanUrbs(AsioBufferMilliseconds(m_AsioBufferFrames, framesPerMs));
  for (ULONG i = 0; i < m_AsioEngineCount; ++i) {
    AsioEngineEntry& e = m_AsioEngines[i];
    if (!e.Block) continue;
    e.State.Transfers = 0;
    e.State.Position = 0;
    e.State.StartPosition = 0;
    e.State.PreRoll = 0;
    if (!e.State.IsInput) {
      // The URBs in flight at the start are the render lead; with fewer
      // than two, the first URB reads the ring's last one.
      ULONG urbs = plan.Urbs - 1;
      const ULONG urbBytes = m_AsioBytesPerSample * e.State.Channels * plan.MsPerUrb * framesPerMs;
      if (urbs < 2) {
        e.State.Position = urbBytes < e.State.Size ? e.State.Size - urbBytes : 0;
        e.State.StartPosition = e.State.Position;
        urbs = 2;
      }
      e.State.PreRoll = urbs * urbBytes;
    }
    AsioPublish(i);
  }
  if (owner) owner->SwitchEvent = event;
}
