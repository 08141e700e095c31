// The 7753 model rewrites the configuration descriptor a device sent and
// parses what is left: whatever the bytes and the switches, the rewrite
// either refuses and leaves every byte as it was, or writes a shorter
// descriptor within the stored one and nothing beyond it; and the driver
// started on such a device (switches in the Settings store, a board picked
// by the input, the model chosen by the chip-identifying factory)
// configures or refuses without a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/Reach.h"
#include "sim/device/Device7753.h"
#include "sim/host/RunningDriver.h"
#include "topology/CMiniportWaveCyclic.h"
#include "variants/7753/C7753AudioHal.h"

namespace {

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}
  uint8_t Byte() { return m_At < m_Size ? m_Data[m_At++] : 0; }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  bool More() const { return m_At < m_Size; }

 private:
  const uint8_t* m_Data;
  size_t m_Size;
  size_t m_At = 0;
};

// The boards the driver part picks from: IDs and chip bytes.
struct BoardChoice {
  uint16_t vendor, product;
  uint8_t high, low;
};
constexpr BoardChoice kBoards[] = {
    {0x1E7D, 0x3750, 0x9F, 3}, {0x1209, 0x7753, 0x11, 1}, {0x6B3E, 0x4E13, 0x9F, 3}, {0x28DA, 0x268E, 0, 0},
};

void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The rewrite alone, on exactly the stored bytes.
void CheckRewrite(const sim::Bytes& configuration, const UCHAR* switches) {
  const size_t size = configuration.size();
  if (size == 0 || size > 0xFFFF) return;
  auto* stored = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, MakeTag("Fuzz")));
  std::memcpy(stored, configuration.data(), size);
  UCHAR copy[C7753_SWITCH_COUNT];
  std::memcpy(copy, switches, sizeof copy);
  const bool layout = IsC7753Layout(stored, static_cast<ULONG>(size));
  const NTSTATUS status = RewriteC7753Configuration(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(stored),
                                                    static_cast<ULONG>(size), copy);
  if (!NT_SUCCESS(status)) {
    if (std::memcmp(stored, configuration.data(), size) != 0) Fail("a refused rewrite changed the descriptor");
  } else {
    if (!layout) Fail("a descriptor of another shape was rewritten");
    const size_t total = stored[2] | stored[3] << 8;
    if (total > C7753_LAYOUT_BYTES || total > size) Fail("the rewrite grew the descriptor");
    if (std::memcmp(stored + total, configuration.data() + total, size - total) != 0)
      Fail("the rewrite wrote beyond its result");
    fuzz::Reached("a configuration rewritten");
  }
  ExFreePool(stored);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  const uint16_t switchBits = in.Word();
  const uint8_t mode = in.Byte();
  UCHAR switches[C7753_SWITCH_COUNT];
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) switches[i] = (switchBits >> i) & 1;

  // The chip's configuration (with or without its HID interface), or a
  // shortened one, edited at (offset, value) pairs.
  static const sim::Bytes whole = sim::chip7753::Configuration(), layout = sim::chip7753::Layout();
  sim::Bytes configuration = mode & 2 ? layout : whole;
  if (mode & 4) configuration.resize(in.Byte() + C7753_LAYOUT_BYTES - 128);
  while (in.More()) {
    const uint16_t at = in.Word();
    configuration[at % configuration.size()] = in.Byte();
  }
  CheckRewrite(configuration, switches);

  // Now and then (a start takes far longer than the rewrite) the whole
  // driver on a board with that configuration.
  if ((mode & 0x41) != 0x41) return 0;
  const BoardChoice& board = kBoards[(mode >> 3) % (sizeof kBoards / sizeof kBoards[0])];
  platform::registry::Reset();
  const std::u16string settings =
      u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000"
      u"\\Settings";
  platform::registry::CreateKey(settings);
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) {
    const ULONG value = switches[i];
    platform::registry::SetValue(settings, C7753SwitchNames[i], REG_BINARY, &value, sizeof value);
  }
  sim::DescriptorSet set = sim::chip7753::Descriptors(board.vendor, board.product);
  set.configurations = {configuration};
  sim::host::RunningDriver driver(set, sim::chip7753::Profile(board.high, board.low), CreateMiniportWaveCyclic,
                                  platform::usb::Speed::Full, AudioHalChoice::ChipIdentifying);
  if (driver.Started()) fuzz::Reached("the board started");
  return 0;
}

FUZZ_REACHES("a configuration rewritten", "the board started")
