#include "tests/streaming/PipeRig.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/UsbRequests.h"

namespace pipetest {

// ---- RigOwner ---------------------------------------------------------------------------------

RigOwner::RigOwner(PDEVICE_OBJECT pdo, const sim::Bytes& configuration) : CUnknownBase(nullptr), m_Pdo(pdo) {
  m_Configuration =
      static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(ExAllocatePoolWithTag(NonPagedPool, configuration.size(), kRigTag));
  std::memcpy(m_Configuration, configuration.data(), configuration.size());
}

RigOwner::~RigOwner() {
  if (m_Configuration) ExFreePool(m_Configuration);
}

NTSTATUS RigOwner::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (IsEqualGUIDAligned(iid, IID_IAudioHal)) {
    *object = static_cast<IAudioHal*>(this);
  } else if (IsEqualGUIDAligned(iid, IID_IUsbDevice)) {
    *object = static_cast<IUsbDevice*>(this);
  } else {
    return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS RigOwner::SubmitUrb(PURB urb) { return testsupport::SubmitUrbAndWait(m_Pdo, urb); }

NTSTATUS RigOwner::QueryBusTime(PULONG currentFrame) {
  if (!currentFrame) return STATUS_INVALID_PARAMETER;
  URB urb{};
  urb.UrbGetCurrentFrameNumber.Hdr.Length = sizeof(URB_GET_CURRENT_FRAME_NUMBER);
  urb.UrbGetCurrentFrameNumber.Hdr.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  NTSTATUS status = SubmitUrb(&urb);
  *currentFrame = NT_SUCCESS(status) ? urb.UrbGetCurrentFrameNumber.FrameNumber : 0;
  return status;
}

NTSTATUS RigOwner::SelectConfiguration() {
  return testsupport::SelectEveryInterface(m_Pdo, m_Configuration, &m_ConfigurationHandle);
}

// ---- ScaleProcessor ---------------------------------------------------------------------------

NTSTATUS ScaleProcessor::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (!object) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUIDAligned(iid, IID_IDspProcessor)) return CUnknownBase::NonDelegatingQueryInterface(iid, object);
  *object = static_cast<IDspProcessor*>(this);
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS ScaleProcessor::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
  auto* channels = static_cast<float**>(data);
  for (ULONG c = 0; c < format->Format.nChannels && c < m_Gains.size(); ++c)
    for (ULONG f = 0; f < frames; ++f) channels[c][f] *= m_Gains[c];
  return STATUS_SUCCESS;
}

// ---- RigClient --------------------------------------------------------------------------------

RigClient::RigClient(CUsbStreamEngine* engine, ULONG kind, const WAVEFORMATEXTENSIBLE& format, ULONG msPerUrb,
                     ULONG urbCount)
    : m_Engine(engine),
      m_Control(static_cast<ICyclicControl*>(engine)),
      m_Kind(kind),
      m_Format(format),
      m_MsPerUrb(msPerUrb),
      m_UrbCount(urbCount) {}

RigClient::~RigClient() {
  if (m_Record) m_Control->UnregisterClient(m_Record->Handle);
}

NTSTATUS RigClient::Register() {
  return m_Control->RegisterClient(m_Kind, &m_Format, m_MsPerUrb, m_UrbCount, &RigClient::Callback, this, &m_Record);
}

NTSTATUS RigClient::Prepare(PULONG currentFrame) {
  ULONG ms = 0, frame = 0;
  NTSTATUS status = m_Control->PrepareClient(m_Record->Handle, &ms, &frame);
  if (currentFrame) *currentFrame = frame;
  return status;
}

NTSTATUS RigClient::Start(ULONG startFrame) {
  ULONG ms = 0;
  return m_Control->StartClient(m_Record->Handle, startFrame, &ms, nullptr);
}

NTSTATUS RigClient::Stop() {
  // Stopping waits for the URBs in flight: the bus has to keep running.
  platform::usb::FastFramePump pump;
  return m_Control->StopClient(m_Record->Handle, nullptr);
}

NTSTATUS RigClient::Unprepare() { return m_Control->UnprepareClient(m_Record->Handle); }

NTSTATUS RigClient::Run() {
  NTSTATUS status = m_Record ? STATUS_SUCCESS : Register();
  ULONG frame = 0;
  if (NT_SUCCESS(status)) status = Prepare(&frame);
  return NT_SUCCESS(status) ? Start(frame + 2) : status;
}

NTSTATUS RigClient::Finish() {
  NTSTATUS status = Stop();
  NTSTATUS unprepared = Unprepare();
  return NT_SUCCESS(status) ? unprepared : status;
}

void RigClient::Callback(PVOID context, PVOID argument1, PVOID) {
  auto* self = static_cast<RigClient*>(context);
  auto* notify = static_cast<CyclicControlNotify*>(argument1);
  if (!notify || notify->Client != self->m_Record) return;
  Seen seen{notify->Command, 0, notify->Length, {}};
  auto* bytes = static_cast<UCHAR*>(notify->Value.Buffer);
  switch (notify->Command) {
    case CYCLIC_COMMAND_POSITION:
      seen.value = notify->Value.Bytes;
      break;
    case CYCLIC_COMMAND_FORMAT:
      seen.value = notify->Value.Format.MsPerUrb;
      break;
    case CYCLIC_COMMAND_RENDER_FILL:
      if (self->m_Fill) {
        for (ULONG i = 0; i + 1 < notify->Length; i += 2) {
          bytes[i] = static_cast<UCHAR>(self->m_Ramp);
          bytes[i + 1] = static_cast<UCHAR>(self->m_Ramp >> 8);
          ++self->m_Ramp;
        }
      }
      seen.data.assign(bytes, bytes + notify->Length);
      break;
    case CYCLIC_COMMAND_CAPTURE_DATA:
      seen.data.assign(bytes, bytes + notify->Length);
      break;
  }
  std::lock_guard<std::mutex> guard(self->m_Lock);
  self->m_Seen.push_back(std::move(seen));
}

std::vector<Seen> RigClient::Notifications() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Seen;
}

sim::Bytes RigClient::Captured() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  sim::Bytes all;
  for (const Seen& s : m_Seen)
    if (s.command == CYCLIC_COMMAND_CAPTURE_DATA) all.insert(all.end(), s.data.begin(), s.data.end());
  return all;
}

ULONG64 RigClient::PositionBytes() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  ULONG64 sum = 0;
  for (const Seen& s : m_Seen)
    if (s.command == CYCLIC_COMMAND_POSITION) sum += s.value;
  return sum;
}

size_t RigClient::FormatChanges() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  size_t changes = 0;
  for (const Seen& s : m_Seen) changes += s.command == CYCLIC_COMMAND_FORMAT && (s.value & CYCLIC_FORMAT_CHANGED);
  return changes;
}

// ---- PipeRig ----------------------------------------------------------------------------------

PipeRig::PipeRig(const sim::DescriptorSet& descriptors) {
  m_Device = std::make_unique<sim::SimDevice>(descriptors, sim::headset::Profile());
  m_Port = std::make_unique<platform::usb::HubPort>(m_Device.get());
  m_Owner = new (NonPagedPool, kRigTag) RigOwner(m_Port->Pdo(), descriptors.configurations[0]);
  m_Owner->NonDelegatingAddRef();
  EXPECT_EQ(m_Owner->SelectConfiguration(), STATUS_SUCCESS);
}

PipeRig::~PipeRig() {
  for (CUsbStreamEngine* engine : m_Engines) engine->NonDelegatingRelease();
  m_Owner->NonDelegatingRelease();
  m_Port.reset();
  m_Device.reset();
}

void PipeRig::Adopt(CUsbStreamEngine* engine, ULONG direction, const std::vector<WAVEFORMATEXTENSIBLE>& formats,
                    IDspProcessor* processor) {
  engine->NonDelegatingAddRef();
  m_Engines.push_back(engine);
  EXPECT_EQ(engine->Init(direction, static_cast<IAudioHal*>(m_Owner)), STATUS_SUCCESS);
  EXPECT_EQ(engine->AllocateWorkBuffers(), STATUS_SUCCESS);
  if (processor) {
    EXPECT_EQ(engine->AddNodeProcessor(processor), STATUS_SUCCESS);
  }
  for (const WAVEFORMATEXTENSIBLE& format : formats) EXPECT_EQ(engine->AddFormat(&format, 1), STATUS_SUCCESS);
}

}  // namespace pipetest
