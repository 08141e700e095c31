// The value-holding nodes on their own: channel counts by output type, the
// level arithmetic, terminal, selector, mixer, clock, output-type and
// processing nodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/KernelTest.h"
#include "topology/CClockNode.h"
#include "topology/CLevelNode.h"
#include "topology/CMixerNode.h"
#include "topology/COutputTypeNode.h"
#include "topology/CProcessingNode.h"
#include "topology/CSelectorNode.h"
#include "topology/CSwitchNode.h"
#include "topology/CTerminalNode.h"

namespace {

constexpr ULONG kTag = MakeTag("NdT ");
constexpr LONG kDb = 65536;

// Creates a stand-alone node with one reference; released by the holder.
template <typename TNode, typename... Args>
struct Held {
  explicit Held(Args... args) : node(new (NonPagedPool, kTag) TNode(nullptr, args...)) { node->NonDelegatingAddRef(); }
  ~Held() { node->NonDelegatingRelease(); }
  TNode* operator->() const { return node; }
  TNode* node;
};

// Records the calls it gets, in one log shared by several of them.
class RecordingInputNode final : public ISelectorInputNode, public CUnknownBase {
 public:
  RecordingInputNode(std::vector<std::string>* log, char name, NTSTATUS answer)
      : CUnknownBase(nullptr), m_Log(log), m_Name(name), m_Answer(answer) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE OnSelectionChange(ULONG newInput, ULONG oldInput) override {
    m_Log->push_back(std::string(1, m_Name) + ".change(" + std::to_string(newInput) + "," + std::to_string(oldInput) +
                     ")");
    return m_Answer;
  }
  NTSTATUS STDMETHODCALLTYPE SetSelectedInput(ULONG input) override {
    m_Log->push_back(std::string(1, m_Name) + ".selected(" + std::to_string(input) + ")");
    return m_Answer;
  }
  NTSTATUS STDMETHODCALLTYPE SetInputIndex(ULONG) override { return STATUS_SUCCESS; }

 private:
  std::vector<std::string>* m_Log;
  char m_Name;
  NTSTATUS m_Answer;
};

class RecordingSink final : public IOutputTypeSink, public CUnknownBase {
 public:
  RecordingSink(std::vector<std::string>* log, char name, NTSTATUS answer)
      : CUnknownBase(nullptr), m_Log(log), m_Name(name), m_Answer(answer) {}
  IMP_FORWARD_UNKNOWN
  NTSTATUS STDMETHODCALLTYPE SetOutputType(ULONG outputType, PCALLBACK_OBJECT) override {
    m_Log->push_back(std::string(1, m_Name) + "=" + std::to_string(outputType));
    return m_Answer;
  }

 private:
  std::vector<std::string>* m_Log;
  char m_Name;
  NTSTATUS m_Answer;
};

template <typename T, typename... Args>
T* NewObject(Args... args) {
  auto* object = new (NonPagedPool, kTag) T(args...);
  object->NonDelegatingAddRef();
  return object;
}

class NodeValuesTest : public testsupport::KernelTest {};

TEST_F(NodeValuesTest, ChannelCountFollowsTheOutputTypeWithoutTouchingStoredValues) {
  Held<CVolumeNode, ULONG> level(4);
  Held<CMuteNode, ULONG> mute(5);
  ASSERT_EQ(level->Init(1, 6, 0, -32 * kDb, kDb), STATUS_SUCCESS);
  ASSERT_EQ(mute->Init(1, 6), STATUS_SUCCESS);
  for (ULONG channel = 0; channel < 6; ++channel) ASSERT_EQ(level->SetLevel(channel, -LONG(channel) * kDb), STATUS_SUCCESS);

  const struct {
    ULONG outputType;
    ULONG reported;
  } cases[] = {{0, 6}, {1, 6}, {4, 6}, {6, 6}, {2, 2}, {3, 2}, {5, 2}, {14, 2}, {17, 2}, {0, 6}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.outputType);
    level->SetOutputType(c.outputType, nullptr);
    mute->SetOutputType(c.outputType, nullptr);
    ULONG count = 0;
    EXPECT_EQ(level->GetChannelCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, c.reported);
    EXPECT_EQ(mute->GetChannelCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, c.reported);
  }
  for (ULONG channel = 0; channel < 6; ++channel) {
    LONG value = 1;
    EXPECT_EQ(level->GetLevel(channel, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, -LONG(channel) * kDb);
  }

  // A mono node stays mono under every type.
  Held<CMuteNode, ULONG> mono(6);
  ASSERT_EQ(mono->Init(1, 1), STATUS_SUCCESS);
  mono->SetOutputType(PIN_CATEGORY_HP, nullptr);
  ULONG count = 0;
  mono->GetChannelCount(&count);
  EXPECT_EQ(count, 1u);
}

TEST_F(NodeValuesTest, LevelArithmetic) {
  constexpr LONG kMin = -32 * kDb, kMax = 0, kStep = 3 * kDb / 2;  // -32 dB .. 0 dB in 1.5 dB steps
  const struct {
    const char* name;
    LONG level, minimum, maximum, step;
    bool volume;
    LONG sent, cached;
  } cases[] = {
      {"-7.7 dB rounds toward zero to -7.5 dB", -504627, kMin, kMax, kStep, true, -491520, -504627},
      {"-1.5 steps become -1 step", -kStep - kStep / 2, kMin, kMax, kStep, true, -kStep, -kStep - kStep / 2},
      {"above the maximum", kDb, kMin, kMax, kStep, true, 0, 0},
      {"below the minimum", -40 * kDb, kMin, kMax, kStep, true, -2064384, kMin},
      {"minus infinity on volume", LEVEL_MINUS_INFINITY, kMin, kMax, kStep, true, LEVEL_MINUS_INFINITY,
       LEVEL_MINUS_INFINITY},
      {"minus infinity on a tone control", LEVEL_MINUS_INFINITY, kMin, kMax, kStep, false, -2064384,
       LEVEL_MINUS_INFINITY},
      {"zero step sends the clamped level", -504627, kMin, kMax, 0, true, -504627, -504627},
      {"rounding below a minimum off the step grid", 10, 10, 100, 3, true, 10, 10},
      {"rounding above a maximum off the step grid", -10, -100, -10, 3, true, -10, -10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const LevelPlan plan = PlanLevel(c.level, c.minimum, c.maximum, c.step, c.volume);
    EXPECT_EQ(plan.sent, c.sent);
    EXPECT_EQ(plan.cached, c.cached);
  }
}

TEST_F(NodeValuesTest, ValueSlotsCheckChannelAndPointer) {
  Held<CMuteNode, ULONG> mute(1);
  Held<CBassNode, ULONG> bass(2);
  ASSERT_EQ(mute->Init(0, 1), STATUS_SUCCESS);
  ASSERT_EQ(bass->Init(0, 2, 12 * kDb, -12 * kDb, kDb), STATUS_SUCCESS);
  UCHAR byte = 7;
  LONG level = 7;
  EXPECT_EQ(mute->GetValue(0, &byte), STATUS_SUCCESS);
  EXPECT_EQ(byte, 0);
  EXPECT_EQ(bass->GetLevel(1, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, 0);
  EXPECT_EQ(mute->GetValue(1, &byte), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mute->SetValue(1, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(mute->GetValue(0, nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bass->SetLevel(2, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(bass->GetRange(&level, nullptr, &level), STATUS_INVALID_PARAMETER);
  // The base classes keep what they are given, unclamped.
  EXPECT_EQ(bass->SetLevel(0, 40 * kDb), STATUS_SUCCESS);
  EXPECT_EQ(bass->GetLevel(0, &level), STATUS_SUCCESS);
  EXPECT_EQ(level, 40 * kDb);
  ULONG sources[2] = {};
  ULONG count = 2;
  EXPECT_EQ(mute->GetSourceIds(&count, sources), STATUS_SUCCESS);
  EXPECT_EQ(count, 1u);
}

TEST_F(NodeValuesTest, TerminalNodeCategoriesAndJacks) {
  Held<COutputTerminalNode, ULONG> pin(3);
  const PinCategory categories[] = {PIN_CATEGORY_SPK, PIN_CATEGORY_HP, PIN_CATEGORY_LINE};
  ASSERT_EQ(pin->Init(9, 3, categories, 0, nullptr), STATUS_SUCCESS);
  ULONG count = 9;
  EXPECT_EQ(pin->GetJackCount(&count, 0), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  JackRecord jack{};
  EXPECT_EQ(pin->GetJackDescriptions(sizeof jack, &jack, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pin->SelectType(PIN_CATEGORY_MIC), STATUS_INVALID_PARAMETER);
  PinCategory current = 0;
  pin->GetCategory(&current);
  EXPECT_EQ(current, PIN_CATEGORY_SPK);
  EXPECT_EQ(pin->SelectType(PIN_CATEGORY_LINE), STATUS_SUCCESS);
  pin->GetCategory(&current);
  EXPECT_EQ(current, PIN_CATEGORY_LINE);
  EXPECT_EQ(pin->Init(9, 6, categories, 0, nullptr), STATUS_INVALID_PARAMETER);  // at most five types

  // A buffer smaller than the array gets exactly its size.
  Held<CInputTerminalNode, ULONG> mic(4);
  JackRecord jacks[2] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12, 13, 14, 15, 16, 17, 18}};
  ASSERT_EQ(mic->Init(1, categories, 2, jacks), STATUS_SUCCESS);
  ULONG out[20];
  std::fill(std::begin(out), std::end(out), 0xEEEEEEEE);
  EXPECT_EQ(mic->GetJackDescriptions(40, reinterpret_cast<JackRecord*>(out), 0), STATUS_SUCCESS);
  EXPECT_EQ(out[8], 9u);
  EXPECT_EQ(out[9], 10u);
  EXPECT_EQ(out[10], 0xEEEEEEEEu);
  EXPECT_EQ(mic->GetSourceCount(), 0u);
  EXPECT_EQ(pin->GetSourceCount(), 1u);
}

TEST_F(NodeValuesTest, SelectorTellsInputNodesAroundTheChange) {
  Held<CSelectorNode, ULONG> selector(8);
  const ULONG ids[] = {1, 2, 3};
  ASSERT_EQ(selector->Init(3, ids), STATUS_SUCCESS);
  std::vector<std::string> log;
  auto* a = NewObject<RecordingInputNode>(&log, 'a', STATUS_SUCCESS);
  auto* b = NewObject<RecordingInputNode>(&log, 'b', STATUS_SUCCESS);
  EXPECT_EQ(selector->AddInputNode(a), STATUS_SUCCESS);
  EXPECT_EQ(selector->AddInputNode(b), STATUS_SUCCESS);
  EXPECT_EQ(selector->AddInputNode(nullptr), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(selector->SetInput(4), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(selector->SetInput(3), STATUS_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"a.change(3,1)", "b.change(3,1)", "a.selected(3)", "b.selected(3)"}));
  ULONG input = 0;
  selector->GetInput(&input);
  EXPECT_EQ(input, 3u);

  // A failing input node ends that round; the change itself stands.
  Held<CSelectorNode, ULONG> second(9);
  ASSERT_EQ(second->Init(3, ids), STATUS_SUCCESS);
  auto* failing = NewObject<RecordingInputNode>(&log, 'f', STATUS_UNSUCCESSFUL);
  second->AddInputNode(failing);
  second->AddInputNode(a);
  log.clear();
  EXPECT_EQ(second->SetInput(2), STATUS_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"f.change(2,1)", "f.selected(2)"}));
  second->GetInput(&input);
  EXPECT_EQ(input, 2u);
  for (auto* node : {a, b, failing}) node->NonDelegatingRelease();
}

TEST_F(NodeValuesTest, MixerSwitchesBetweenSumAndStereoMixPin) {
  Held<CMixerNode, ULONG> mixer(10);
  const ULONG ids[] = {4, 5, 6, 7};
  ASSERT_EQ(mixer->Init(4, ids), STATUS_SUCCESS);
  ITerminal* terminal = nullptr;
  EXPECT_EQ(mixer->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)), STATUS_INVALID_PARAMETER);

  mixer->SetStereoMixPin(TRUE);
  EXPECT_EQ(mixer->GetType(), NODE_TYPE_INPUT_PIN);
  EXPECT_EQ(mixer->GetSourceCount(), 0u);
  ASSERT_EQ(mixer->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)), STATUS_SUCCESS);
  PinCategory category = 0;
  terminal->GetCategory(&category);
  EXPECT_EQ(category, PIN_CATEGORY_STEREOMIX);
  JackRecord jack{};
  EXPECT_EQ(terminal->GetJackDescriptions(sizeof jack, &jack, 0), STATUS_SUCCESS);
  EXPECT_EQ(jack.ChannelMapping, 3u);
  EXPECT_EQ(jack.ConnectionType, 7u);
  EXPECT_EQ(jack.GeoLocation, 14u);
  EXPECT_EQ(jack.IsConnected, 1u);
  terminal->Release();

  mixer->SetStereoMixPin(FALSE);
  EXPECT_EQ(mixer->GetType(), NODE_TYPE_SUM);
  ULONG out[4] = {};
  ULONG count = 4;
  EXPECT_EQ(mixer->GetSourceIds(&count, out), STATUS_SUCCESS);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(std::vector<ULONG>(out, out + 4), std::vector<ULONG>(ids, ids + 4));
}

TEST_F(NodeValuesTest, ClockRates) {
  Held<CClockNode, ULONG> clock(11);
  ULONG rates[31];
  for (ULONG i = 0; i < 31; ++i) rates[i] = 8000 + i;
  EXPECT_EQ(clock->Init(31, rates), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(clock->Init(0, rates), STATUS_SUCCESS);
  ASSERT_EQ(clock->Init(4, rates), STATUS_SUCCESS);
  ULONG out[4] = {};
  ULONG count = 2;
  EXPECT_EQ(clock->GetRateList(&count, out), STATUS_INVALID_PARAMETER);
  count = 4;
  EXPECT_EQ(clock->GetRateList(&count, out), STATUS_SUCCESS);
  EXPECT_EQ(out[3], 8003u);
  UCHAR valid = 0;
  EXPECT_EQ(clock->IsClockValid(&valid), STATUS_SUCCESS);
  EXPECT_EQ(valid, TRUE);
}

TEST_F(NodeValuesTest, OutputTypeSelectionAndPendingChange) {
  Held<COutputTypeNode, ULONG> node(12);
  const PinCategory categories[] = {PIN_CATEGORY_SPK, PIN_CATEGORY_HP};
  ASSERT_EQ(node->Init(3, 2, categories), STATUS_SUCCESS);
  std::vector<std::string> log;
  auto* a = NewObject<RecordingSink>(&log, 'a', STATUS_UNSUCCESSFUL);
  auto* b = NewObject<RecordingSink>(&log, 'b', STATUS_SUCCESS);
  node->AddListener(a);
  node->AddListener(b);

  EXPECT_EQ(node->SelectType(PIN_CATEGORY_SPK), STATUS_SUCCESS);
  EXPECT_EQ(node->IsChangePending(), 0u);
  EXPECT_EQ(node->SelectType(PIN_CATEGORY_LINE), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(log.empty());

  // A failing listener is the last one told; the selection still succeeds.
  EXPECT_EQ(node->SelectType(PIN_CATEGORY_HP), STATUS_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"a=2"}));
  EXPECT_EQ(node->SelectType(PIN_CATEGORY_SPK), STATUS_SUCCESS);
  EXPECT_EQ(node->IsChangePending(), 1u);
  node->AckChange();
  EXPECT_EQ(node->IsChangePending(), 0u);
  PinCategory current = 0;
  node->GetCategory(&current);
  EXPECT_EQ(current, PIN_CATEGORY_SPK);
  EXPECT_EQ(node->Init(3, 0, categories), STATUS_INVALID_PARAMETER);
  a->NonDelegatingRelease();
  b->NonDelegatingRelease();
}

TEST_F(NodeValuesTest, ProcessingNodeBase) {
  Held<CProcessingNode, ULONG> node(13);
  ASSERT_EQ(node->Init(2), STATUS_SUCCESS);
  ULONG count = 9, value = 0;
  EXPECT_EQ(node->GetParameterCount(&count), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(node->GetParameters(0, 1, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->SetParameters(0, 1, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->GetParameterInfo(0, &value, &value, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(node->SetValue(1), STATUS_UNSUCCESSFUL);
  UCHAR byte = 0;
  EXPECT_EQ(node->GetValue(&byte), STATUS_SUCCESS);
  EXPECT_EQ(byte, 1);
  EXPECT_EQ(node->GetValue(nullptr), STATUS_UNSUCCESSFUL);
}

}  // namespace
