#include "tests/driver/support/TestCyclicEngine.h"

namespace testsupport {
namespace {
constexpr ULONG kRecordTag = MakeTag("USBS");
}  // namespace

TestCyclicEngine::~TestCyclicEngine() {
  for (Entry& c : m_Clients) ExFreePool(c.record);
}

NTSTATUS TestCyclicEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (object && IsEqualGUIDAligned(iid, IID_ICyclicControl)) {
    *object = static_cast<ICyclicControl*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  return CStreamEngine::NonDelegatingQueryInterface(iid, object);
}

TestCyclicEngine::Entry* TestCyclicEngine::Find(PVOID handle) {
  for (Entry& c : m_Clients)
    if (c.record == handle) return &c;
  return nullptr;
}

NTSTATUS TestCyclicEngine::RegisterClient(ULONG kind, const WAVEFORMATEXTENSIBLE* format, ULONG msPerUrb,
                                          ULONG urbCount, PCALLBACK_FUNCTION callback, PVOID context,
                                          StreamClientRecord** record) {
  if (!record || !format) return STATUS_INVALID_PARAMETER;
  *record = nullptr;
  WAVEFORMATEXTENSIBLE copy = *format;
  NTSTATUS status = FindFormat(&copy.Format);
  if (!NT_SUCCESS(status)) return status;
  auto* r = static_cast<StreamClientRecord*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamClientRecord), kRecordTag));
  if (!r) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(static_cast<void*>(r), 0, sizeof(*r));
  r->Kind = kind;
  r->Handle = r;
  r->MsPerUrb = msPerUrb;
  r->UrbCount = urbCount;
  r->Format = *format;
  r->Direction = IsCapture();
  std::lock_guard<std::mutex> guard(m_Lock);
  m_Clients.push_back({r, callback, context, false});
  registrations.push_back({kind, *format, msPerUrb, urbCount});
  *record = r;
  return STATUS_SUCCESS;
}

NTSTATUS TestCyclicEngine::UnregisterClient(PVOID handle) {
  std::lock_guard<std::mutex> guard(m_Lock);
  for (auto it = m_Clients.begin(); it != m_Clients.end(); ++it) {
    if (it->record != handle) continue;
    // As the USB engine: a client still prepared or running stays.
    if (it->prepared) return STATUS_UNSUCCESSFUL;
    ExFreePool(it->record);
    m_Clients.erase(it);
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

NTSTATUS TestCyclicEngine::PrepareClient(PVOID handle, PULONG msPerUrb, PULONG currentFrame) {
  std::lock_guard<std::mutex> guard(m_Lock);
  ++prepares;
  Entry* c = Find(handle);
  if (!c || c->prepared) return STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(prepareStatus)) return prepareStatus;
  c->prepared = true;
  if (msPerUrb) *msPerUrb = c->record->MsPerUrb;
  if (currentFrame) *currentFrame = frame;
  return STATUS_SUCCESS;
}

NTSTATUS TestCyclicEngine::StartClient(PVOID handle, ULONG startFrame, PULONG msPerUrb, IToneNode*) {
  std::lock_guard<std::mutex> guard(m_Lock);
  ++starts;
  Entry* c = Find(handle);
  if (!c || !c->prepared) return STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(startStatus)) return startStatus;
  c->record->Started = 1;
  startFrames.push_back(startFrame);
  if (msPerUrb) *msPerUrb = c->record->MsPerUrb;
  return STATUS_SUCCESS;
}

NTSTATUS TestCyclicEngine::StopClient(PVOID handle, IToneNode*) {
  std::lock_guard<std::mutex> guard(m_Lock);
  ++stops;
  Entry* c = Find(handle);
  if (!c || !c->record->Started) return STATUS_INVALID_PARAMETER;
  c->record->Started = 0;
  return STATUS_SUCCESS;
}

NTSTATUS TestCyclicEngine::UnprepareClient(PVOID handle) {
  std::lock_guard<std::mutex> guard(m_Lock);
  ++unprepares;
  Entry* c = Find(handle);
  if (!c || !c->prepared) return STATUS_INVALID_PARAMETER;
  c->prepared = false;
  return STATUS_SUCCESS;
}

void TestCyclicEngine::Notify(ULONG command, PVOID buffer, ULONG length, StreamClientRecord* client) {
  std::vector<Entry> targets;
  {
    std::lock_guard<std::mutex> guard(m_Lock);
    targets = m_Clients;
  }
  if (!client && !targets.empty()) client = targets.back().record;
  CyclicControlNotify notify{};
  notify.Client = client;
  notify.Command = command;
  if (command == CYCLIC_COMMAND_POSITION)
    notify.Value.Bytes = length;
  else
    notify.Value.Buffer = buffer;
  notify.Length = length;
  // Every client sees every notification, from the data path's level.
  platform::IrqlScope dispatch(DISPATCH_LEVEL);
  for (const Entry& c : targets) c.callback(c.context, &notify, nullptr);
}

StreamClientRecord* TestCyclicEngine::Client() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Clients.empty() ? nullptr : m_Clients.back().record;
}

size_t TestCyclicEngine::Registered() {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_Clients.size();
}

size_t TestCyclicEngine::Prepared() {
  std::lock_guard<std::mutex> guard(m_Lock);
  size_t n = 0;
  for (const Entry& c : m_Clients) n += c.prepared ? 1 : 0;
  return n;
}

}  // namespace testsupport
