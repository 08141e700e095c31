// Stored values a node's control does not take, met by a whole model's
// start: a level outside the range, a switch or effect byte other than off
// and on, a headphone room without filters or a variant other than off and
// on. Each is left for the node's default and named in one debugger line,
// and the start goes on; a stored value the control takes is still used.
#include <gtest/gtest.h>

#include <memory>
#include <variant>

#include "driver/SettingsStore.h"
#include "sim/device/ChipDevices.h"
#include "sim/device/DefaultHeadset.h"
#include "tests/driver/hal/support/ModelBench.h"
#include "topology/TopologyInterfaces.h"
#include "variants/CChipAudioHals.h"

namespace {

constexpr LONG kDb = 65536;

class StoredValuesTest : public haltest::ModelTest {};

struct Stored {
  const char16_t* name;
  std::variant<UCHAR, LONG> value;
};

// What a node reads after the start: a level of a channel, a switch's or a
// processing node's byte, a processing node's setting, or (`node` naming a
// unit) a terminal's category.
struct Read {
  ULONG node;
  enum Kind { Level, Switch, Byte, Setting, Category } kind;
  ULONG index;  // channel or setting
  LONG value;
};

LONG ReadNode(haltest::ModelBench& bench, const Read& r) {
  ITopoNode* node = nullptr;
  if (r.kind == Read::Category)
    EXPECT_EQ(bench.Model()->FindUnitById(r.node, &node), STATUS_SUCCESS);
  else
    EXPECT_EQ(bench.Hal()->GetNode(r.node, &node), STATUS_SUCCESS);
  if (!node) return 0x7FFFFFFF;
  LONG value = 0x7FFFFFFF;
  PVOID object = nullptr;
  if (r.kind == Read::Category && NT_SUCCESS(node->QueryInterface(IID_ITerminal, &object))) {
    PinCategory category = PIN_CATEGORY_COUNT;
    if (NT_SUCCESS(static_cast<ITerminal*>(object)->GetCategory(&category))) value = LONG(category);
  } else if (r.kind == Read::Level && NT_SUCCESS(node->QueryInterface(IID_ILevelNode, &object))) {
    static_cast<ILevelNode*>(object)->GetLevel(r.index, &value);
  } else if (r.kind == Read::Switch && NT_SUCCESS(node->QueryInterface(IID_ISwitchNode, &object))) {
    UCHAR byte = 0;
    if (NT_SUCCESS(static_cast<ISwitchNode*>(object)->GetValue(r.index, &byte))) value = byte;
  } else if (r.kind == Read::Byte && NT_SUCCESS(node->QueryInterface(IID_IProcessingNode, &object))) {
    UCHAR byte = 0;
    if (NT_SUCCESS(static_cast<IProcessingNode*>(object)->GetValue(&byte))) value = byte;
  } else if (r.kind == Read::Setting && NT_SUCCESS(node->QueryInterface(IID_IProcessingNode, &object))) {
    ULONG setting = 0;
    if (NT_SUCCESS(static_cast<IProcessingNode*>(object)->GetParameters(r.index, 1, &setting))) value = LONG(setting);
  }
  if (object) static_cast<IUnknown*>(object)->Release();
  return value;
}

TEST_F(StoredValuesTest, ValuesTheControlDoesNotTakeAreLeftForTheDefaultAndNamedAndTheStartGoesOn) {
  struct Case {
    const char* name;
    sim::DescriptorSet set;
    sim::DeviceProfile profile;
    AudioHalFactory factory;
    std::vector<Stored> stored;
    std::vector<Read> reads;
    std::vector<std::string> named;  // what the debugger lines name, in order
  };
  const Case cases[] = {
      {"the headset: mute 5, volume -128 dB in -60..0 dB, room effect 2",
       sim::headset::Descriptors(),
       sim::headset::Profile(),
       C7719AudioHal::Create,
       {{u"Unit01_ 0_0", UCHAR(5)}, {u"Unit02_ 0_0", LONG(-128 * kDb)}, {u"Unit02_ 0_1", LONG(-30 * kDb)},
        {u"Unit07_", UCHAR(2)}},
       {{1, Read::Switch, 0, 0}, {2, Read::Level, 0, -12 * kDb}, {2, Read::Level, 1, -30 * kDb}, {7, Read::Byte, 0, 0}},
       {"\"Unit01_ 0_0\" = 5 ", "\"Unit02_ 0_0\" = -8388608 ", "\"Unit07_\" = 2 "}},
      // The capture stream's terminal must stay its wave filter's Stream pin;
      // the headphone terminal offers its own type only.
      {"the headset: terminal categories 99 and -1", sim::headset::Descriptors(), sim::headset::Profile(),
       C7719AudioHal::Create, {{u"UACUnit03", LONG(99)}, {u"UACUnit07", LONG(-1)}},
       {{3, Read::Category, 0, PIN_CATEGORY_HEADSET}, {7, Read::Category, 0, PIN_CATEGORY_STREAM}},
       {"\"UACUnit03\" = 99 ", "\"UACUnit07\" = 4294967295 "}},
      {"the headset on the K784 model: room effect 2", sim::headset::Descriptors(), sim::headset::Profile(),
       CK784AudioHal::Create, {{u"Unit07_", UCHAR(2)}}, {{7, Read::Byte, 0, 0}}, {"\"Unit07_\" = 2 "}},
      {"the TQ4187: room and headphone effects 2, headphone room 9, variant 2147483647",
       sim::tq4187::Descriptors(1),
       sim::tq4187::Profile(),
       CTQ4187AudioHal::Create,
       {{u"Unit03_", UCHAR(2)}, {u"Unit04_", UCHAR(2)}, {u"Unit04_0", LONG(9)}, {u"Unit04_1", LONG(2147483647)}},
       {{3, Read::Byte, 0, 0}, {4, Read::Byte, 0, 0}, {4, Read::Setting, 0, 1}, {4, Read::Setting, 1, 0}},
       {"\"Unit03_\" = 2 ", "\"Unit04_\" = 2 ", "\"Unit04_0\" = 9 ", "\"Unit04_1\" = 2147483647 "}},
      {"the TQ4187: headphone room -1, and a variant it takes",
       sim::tq4187::Descriptors(1),
       sim::tq4187::Profile(),
       CTQ4187AudioHal::Create,
       {{u"Unit04_0", LONG(-1)}, {u"Unit04_1", LONG(1)}},
       {{4, Read::Setting, 0, 1}, {4, Read::Setting, 1, 1}},
       {"\"Unit04_0\" = -1 "}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    haltest::ModelBench bench(c.set, c.profile, c.factory);
    ASSERT_EQ(bench.CreateStatus(), STATUS_SUCCESS);
    for (const Stored& s : c.stored) {
      std::visit(
          [&](auto value) {
            ASSERT_EQ(AccessSetting(bench.Fdo(), SETTINGS_WRITE, &value, sizeof value, s.name), STATUS_SUCCESS);
          },
          s.value);
    }
    platform::debug::Clear();
    ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
    for (const Read& r : c.reads) EXPECT_EQ(ReadNode(bench, r), r.value) << r.node << "/" << r.index;
    std::vector<std::string> named;
    for (const std::string& line : platform::debug::Lines()) {
      if (line.rfind("Settings value ", 0) != 0) continue;
      for (const std::string& n : c.named)
        if (line.find(n) != std::string::npos) named.push_back(n);
    }
    EXPECT_EQ(named, c.named);
  }
}

}  // namespace
