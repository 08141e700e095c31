// A simulated 7753 board with the 7753 model on it, as the 7753 tests use
// it: the Settings values put in place before the model starts, the start
// itself (with time passing for the codec reset pause), and the views of
// the model's units, engines and codec writes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/device/Device7753.h"
#include "streaming/CUsbStreamEngine.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "topology/CUacUnit.h"
#include "variants/7753/C7753AudioHal.h"

namespace test7753 {

using Switches = std::vector<std::pair<ULONG, UCHAR>>;

class Board {
 public:
  // A board with these IDs and chip bytes; the polled and the evaluation
  // board by default.
  Board(uint16_t vendorId, uint16_t productId, uint8_t chipHigh, uint8_t chipLow);
  static std::unique_ptr<Board> Polled() {
    return std::make_unique<Board>(sim::chip7753::kPollBoardVendor, sim::chip7753::kPollBoardProduct, 0x9F, 3);
  }
  static std::unique_ptr<Board> Evaluation() {
    return std::make_unique<Board>(sim::chip7753::kEvaluationVendor, sim::chip7753::kEvaluationProduct, 0x11, 1);
  }
  // A board with a configuration of its own.
  Board(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile);

  // Settings values, before Start.
  void PutSetting(const std::u16string& name, ULONG value, ULONG bytes = sizeof(ULONG));
  // The switches as the registry gives them: each one set, every other at
  // its default (or clear, without `defaults`).
  void PutSwitches(const Switches& set, bool defaults = true);
  // IAudioHal::Init of the model while time passes.
  NTSTATUS Start();

  C7753AudioHal* Model() { return static_cast<C7753AudioHal*>(m_Bench->Model()); }
  IAudioHal* Hal() { return m_Bench->Hal(); }
  sim::SimDevice& Device() { return m_Bench->Device(); }
  haltest::ModelBench& Bench() { return *m_Bench; }
  PDEVICE_OBJECT Fdo() { return m_Bench->Fdo(); }

  // The unit with that id as class T, or null when it is another class.
  template <typename T>
  T* Unit(ULONG id) {
    ITopoNode* unit = nullptr;
    if (!NT_SUCCESS(Model()->FindUnitById(id, &unit))) return nullptr;
    return dynamic_cast<T*>(CUacUnit::FromUnitNode(unit));
  }
  // The first engine of that direction.
  CUsbStreamEngine* Engine(bool capture);
  // Codec writes the board received since the last call: {register, value}.
  std::vector<std::pair<UCHAR, USHORT>> TakeCodecWrites();
  // The device's unit 11 mute byte, as its last SET_CUR left it.
  UCHAR DeviceMute(UCHAR unit);

 private:
  std::unique_ptr<haltest::ModelBench> m_Bench;
  size_t m_ReportsSeen = 0;
};

}  // namespace test7753
