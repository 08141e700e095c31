#include "tests/variants/7753/Board7753.h"

#include "driver/SettingsStore.h"
#include "sim/host/Host.h"

namespace test7753 {

Board::Board(uint16_t vendorId, uint16_t productId, uint8_t chipHigh, uint8_t chipLow)
    : Board(sim::chip7753::Descriptors(vendorId, productId), sim::chip7753::Profile(chipHigh, chipLow)) {}

Board::Board(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile)
    : m_Bench(std::make_unique<haltest::ModelBench>(descriptors, profile, C7753AudioHal::Create)) {}

void Board::PutSetting(const std::u16string& name, ULONG value, ULONG bytes) {
  AccessSetting(Fdo(), SETTINGS_WRITE, &value, bytes, name.c_str());
}

void Board::PutSwitches(const Switches& set, bool defaults) {
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) {
    ULONG value = defaults ? C7753DefaultSwitch(i) : 0;
    for (const auto& [index, v] : set)
      if (index == i) value = v;
    PutSetting(C7753SwitchNames[i], value);
  }
}

NTSTATUS Board::Start() {
  if (!NT_SUCCESS(m_Bench->CreateStatus())) return m_Bench->CreateStatus();
  return sim::host::WhileTimePasses([&] { return m_Bench->Init(); });
}

CUsbStreamEngine* Board::Engine(bool capture) {
  for (ULONG i = 0; i < Hal()->GetStreamEngineCount(); ++i) {
    IStreamEngine* engine = nullptr;
    if (NT_SUCCESS(Hal()->GetStreamEngine(i, &engine)) && (engine->IsCapture() != 0) == capture)
      return static_cast<CUsbStreamEngine*>(static_cast<CStreamEngine*>(engine));
  }
  return nullptr;
}

std::vector<std::pair<UCHAR, USHORT>> Board::TakeCodecWrites() {
  const std::vector<sim::Bytes> reports = Device().HidOutputReports();
  std::vector<std::pair<UCHAR, USHORT>> writes;
  for (size_t i = m_ReportsSeen; i < reports.size(); ++i) {
    const sim::Bytes& r = reports[i];
    if (r.size() == 4 && r[0] == C7753_CODEC_WRITE) writes.push_back({r[3], static_cast<USHORT>(r[1] | r[2] << 8)});
  }
  m_ReportsSeen = reports.size();
  return writes;
}

UCHAR Board::DeviceMute(UCHAR unit) {
  const sim::Bytes value = Device().ControlValue(unit, 1, 0);
  return value.empty() ? 0xFF : value[0];
}

}  // namespace test7753
