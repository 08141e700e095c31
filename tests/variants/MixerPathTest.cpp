// A render stream whose path runs through a mixer or extension unit
// (USB streaming IT -> MU or XU -> FU -> OT), on the generic Audio Class 1.0
// model and the Audio Class 2.0 model, both chosen by the chip-identifying
// factory: the engine reaches its streaming input pin through the sum node,
// its wave filter connects to that pin, the topology shows the sum with its
// inputs, and the stream plays. A microphone mixed in as sidetone stays off
// the render engine.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "sim/device/DescriptorBuilder.h"
#include "sim/host/RunningDriver.h"
#include "sim/host/TopologyView.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/tools/ToolsTest.h"
#include "tests/variants/uac2/support/Uac2Devices.h"
#include "usb/usbaudio.h"
#include "driver/hal/ChipString.h"

namespace {

using namespace sim::host;

constexpr uint32_t kMute = 1u << (USB_AUDIO_FU_MUTE_CONTROL - 1);

// IT 4 microphone -> FU 5 (mute), IT 1 USB streaming; MU 7 {`mixed`}
// -> FU 2 (mute) -> OT 3 speaker; the microphone is described first, so
// that its pin, not the stream's, is node 0.
sim::DescriptorSet Uac1Mixer(const std::vector<uint8_t>& mixed) {
  sim::ConfigBuilder c;
  c.Interface(0, 0, 0, 1, 1)
      .AcHeader({1})
      .InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, 1, 0)
      .FeatureUnit(5, 4, 1, {kMute})
      .InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 2, 0x3)
      .MixerUnit(7, mixed, 2, 0x3, {0x00})
      .FeatureUnit(2, 7, 1, {kMute})
      .OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 2)
      .Interface(1, 0, 0, 1, 2)
      .Interface(1, 1, 1, 1, 2)
      .AsGeneral(1, 1, USB_AUDIO_FORMAT_PCM)
      .FormatType(USB_AUDIO_FORMAT_TYPE_I, 2, 2, 16, {48000})
      .Endpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE, 192, 1)
      .CsEndpoint(0);
  sim::DescriptorSet set = haltest::MakeSet(c.Build());
  set.strings[UAC1_PROBE_STRING_PRIMARY] = u"USB Audio";
  return set;
}

// The same on Audio Class 2.0 (clock 9), with a mixer or an extension unit.
sim::DescriptorSet Uac2Mixer(bool extension) {
  using namespace uac2test;
  const std::vector<uint8_t> mixed = {1, 5};
  uac2test::SmallDevice d;
  d.units = {ClockSource(9),
             InputTerminal(4, USB_AUDIO_TERMINAL_MICROPHONE, 9, 1),
             FeatureUnit(5, 4, {ReadWrite(USB_AUDIO_FU_MUTE_CONTROL), 0}),
             InputTerminal(1, USB_AUDIO_TERMINAL_USB_STREAMING, 9),
             extension ? ExtensionUnit(7, mixed) : MixerUnit(7, mixed),
             uac2test::FeatureUnit(2, 7, {ReadWrite(USB_AUDIO_FU_MUTE_CONTROL), 0, 0}),
             OutputTerminal(3, USB_AUDIO_TERMINAL_SPEAKER, 2, 9)};
  d.streaming = {AsGeneral(1), FormatType()};
  return Build(d);
}

class MixerPathTest : public toolstest::ToolsTest {};

TEST_F(MixerPathTest, RenderStreamsReachTheirStreamingPinThroughASumNode) {
  struct Case {
    const char* name;
    sim::DescriptorSet set;
    platform::usb::Speed speed;
    // What feeds each input of the sum in the topology: a pin's category or
    // a node's kind.
    std::map<ULONG, std::string> sumInputs;
  };
  const Case cases[] = {
      {"1.0 mixer with sidetone", Uac1Mixer({1, 5}), platform::usb::Speed::Full,
       {{1, "KSCATEGORY_AUDIO"}, {2, "mute"}}},
      // A source the device names but does not describe comes first: the
      // search for the stream's pin passes over it.
      {"1.0 mixer whose first source names no unit", Uac1Mixer({6, 1}), platform::usb::Speed::Full,
       {{2, "KSCATEGORY_AUDIO"}}},
      {"2.0 mixer with sidetone", Uac2Mixer(false), platform::usb::Speed::High,
       {{1, "KSCATEGORY_AUDIO"}, {2, "mute"}}},
      {"2.0 extension unit with sidetone", Uac2Mixer(true), platform::usb::Speed::High,
       {{1, "KSCATEGORY_AUDIO"}, {2, "mute"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    RunningDriver r(c.set, sim::DefaultProfile(), c.speed, AudioHalChoice::ChipIdentifying);
    ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
    const PDEVICE_OBJECT adapter = r.HostSide().AdapterDevice();

    // The render engine holds one input pin: the stream's, not the
    // microphone's.
    IAudioHal* model = GetDeviceExtension(adapter)->Adapter;
    ASSERT_EQ(model->GetStreamEngineCount(), 1u);
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(model->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    std::vector<ULONG> inputPins;
    for (ULONG i = 0; i < engine->GetAttachedNodeCount(); ++i) {
      ITopoNode* node = nullptr;
      ASSERT_EQ(engine->GetAttachedNode(i, &node), STATUS_SUCCESS);
      if (node->GetType() != NODE_TYPE_INPUT_PIN) continue;
      ITerminal* terminal = nullptr;
      ASSERT_EQ(node->QueryInterface(IID_ITerminal, reinterpret_cast<PVOID*>(&terminal)), STATUS_SUCCESS);
      PinCategory category = PIN_CATEGORY_COUNT;
      terminal->GetCategory(&category);
      terminal->Release();
      inputPins.push_back(category);
    }
    EXPECT_EQ(inputPins, std::vector<ULONG>{PIN_CATEGORY_STREAM});

    // Its wave filter connects to the topology's stream pin.
    const TopologyView view = ViewTopology(u"GlobalTopo", r.Topology()->Descriptor());
    const auto connections = platform::portcls::PhysicalConnections(adapter);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].toSubdevice, u"GlobalTopo");
    EXPECT_EQ(view.pins.at(connections[0].toPin).category, "KSCATEGORY_AUDIO");

    // The sum and what feeds it.
    const auto sum = std::find_if(view.nodes.begin(), view.nodes.end(),
                                  [](const TopologyNode& n) { return n.kind == "sum"; });
    ASSERT_NE(sum, view.nodes.end());
    std::map<ULONG, std::string> inputs;
    for (const TopologyLink& l : view.links) {
      if (l.toNode != sum->id) continue;
      if (l.fromNode == PCFILTER_NODE) {
        inputs[l.toPin] = view.pins.at(l.fromPin).category;
      } else {
        for (const TopologyNode& n : view.nodes)
          if (n.id == l.fromNode) inputs[l.toPin] = n.kind;
      }
    }
    EXPECT_EQ(inputs, c.sumInputs);

    // And it plays.
    FilterHandle* wave = nullptr;
    ASSERT_EQ(r.HostSide().OpenFilter(connections[0].fromSubdevice, &wave), STATUS_SUCCESS);
    EXPECT_EQ(r.HostSide().Render(wave, SineWav(48000, 2, 440.0, 0.05, 0.25), false), STATUS_SUCCESS);
    delete wave;
  }
}

}  // namespace
