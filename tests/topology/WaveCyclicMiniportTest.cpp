// The wave miniport: its filter description and data ranges from the
// engine's formats, format intersection and checks, one stream at a time,
// the engine capability property, and the filters a started driver
// registers with it.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/device/DefaultHeadset.h"
#include "sim/host/RunningDriver.h"
#include "tests/topology/support/WaveTestbed.h"
#include "topology/CMiniportTopology.h"
#include "topology/CTerminalNode.h"
#include "topology/PrivatePropertySets.h"

namespace {

using namespace wavetest;

class WaveCyclicMiniportTest : public WaveTest {};

const KSDATARANGE_AUDIO& Range(const PCFILTER_DESCRIPTOR& d, ULONG i) {
  return *reinterpret_cast<const KSDATARANGE_AUDIO*>(d.Pins[0].KsPinDescriptor.DataRanges[i]);
}

TEST_F(WaveCyclicMiniportTest, DescribesTwoPinFilterForEachDirection) {
  for (ULONG direction : {STREAM_DIRECTION_RENDER, STREAM_DIRECTION_CAPTURE}) {
    SCOPED_TRACE(direction);
    ASSERT_EQ(Build(direction, {Pcm(2, 48000, 16)}), STATUS_SUCCESS);
    const bool capture = direction == STREAM_DIRECTION_CAPTURE;
    PPCFILTER_DESCRIPTOR d = nullptr;
    ASSERT_EQ(miniport->GetDescription(&d), STATUS_SUCCESS);
    ASSERT_EQ(d->PinCount, 2u);
    const KSPIN_DESCRIPTOR& streaming = d->Pins[0].KsPinDescriptor;
    const KSPIN_DESCRIPTOR& bridge = d->Pins[1].KsPinDescriptor;
    EXPECT_EQ(d->Pins[0].MaxFilterInstanceCount, 1u);
    EXPECT_EQ(streaming.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(streaming.DataFlow, capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
    EXPECT_EQ(streaming.InterfacesCount, 1u);
    EXPECT_EQ(d->Pins[1].MaxFilterInstanceCount, 0u);
    EXPECT_EQ(bridge.Communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(bridge.DataFlow, capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(bridge.DataRanges[0]->SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
    ASSERT_EQ(d->NodeCount, 1u);
    EXPECT_EQ(*d->Nodes[0].Type, capture ? KSNODETYPE_ADC : KSNODETYPE_DAC);
    // Data enters the node at pin 1 and leaves the filter at the other pin.
    ASSERT_EQ(d->ConnectionCount, 2u);
    const ULONG in = capture ? 1 : 0, out = capture ? 0 : 1;
    EXPECT_EQ(d->Connections[0].FromNode, PCFILTER_NODE);
    EXPECT_EQ(d->Connections[0].FromNodePin, in);
    EXPECT_EQ(d->Connections[0].ToNode, 0u);
    EXPECT_EQ(d->Connections[0].ToNodePin, 1u);
    EXPECT_EQ(d->Connections[1].ToNode, PCFILTER_NODE);
    EXPECT_EQ(d->Connections[1].ToNodePin, out);
    ASSERT_EQ(d->CategoryCount, 3u);
    EXPECT_EQ(d->Categories[1], capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER);
    EXPECT_EQ(d->Categories[2], EnumPrivateInterfaceClass);

    PWSTR name = nullptr;
    ASSERT_EQ(miniport->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), capture ? u"MicIn01Wave" : u"HeadSetOut01Wave");
    ReleaseAll();
  }
}

TEST_F(WaveCyclicMiniportTest, RangesMergePerSubFormatWithPcmFirst) {
  const auto pcm16 = Pcm(2, 48000, 16), flt = Float(2, 48000), pcm24 = Pcm(2, 44100, 24), pcm24x8 = Pcm(8, 96000, 24);
  const auto skipped = Format(
      DEFINE_GUID_VALUE(0x00006B3E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71), 2, 192000, 16);
  // Capture engines offer every format whatever their terminals.
  ASSERT_EQ(Build(STREAM_DIRECTION_CAPTURE, {flt, pcm16, skipped, pcm24, pcm24x8}), STATUS_SUCCESS);
  PPCFILTER_DESCRIPTOR d = nullptr;
  ASSERT_EQ(miniport->GetDescription(&d), STATUS_SUCCESS);
  ASSERT_EQ(d->Pins[0].KsPinDescriptor.DataRangesCount, 2u);
  const KSDATARANGE_AUDIO& p = Range(*d, 0);
  EXPECT_EQ(p.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
  EXPECT_EQ(p.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
  EXPECT_EQ(p.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
  EXPECT_EQ(p.MaximumChannels, 8u);
  EXPECT_EQ(p.MinimumBitsPerSample, 16u);
  EXPECT_EQ(p.MaximumBitsPerSample, 24u);
  EXPECT_EQ(p.MinimumSampleFrequency, 44100u);
  EXPECT_EQ(p.MaximumSampleFrequency, 96000u);
  const KSDATARANGE_AUDIO& f = Range(*d, 1);
  EXPECT_EQ(f.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  EXPECT_EQ(f.MaximumChannels, 2u);
  EXPECT_EQ(f.MinimumBitsPerSample, 32u);
  EXPECT_EQ(f.MaximumSampleFrequency, 48000u);
}

TEST_F(WaveCyclicMiniportTest, InitWithoutPcmFailsAndKeepsNothing) {
  EXPECT_EQ(Build(STREAM_DIRECTION_CAPTURE, {Float(2, 48000), Float(2, 44100)}), STATUS_INSUFFICIENT_RESOURCES);
  PPCFILTER_DESCRIPTOR d = nullptr;
  EXPECT_EQ(miniport->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
  EXPECT_EQ(miniport->Init(nullptr, nullptr, port), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(miniport->Init(model->Hal(), nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(WaveCyclicMiniportTest, InitFailsCleanlyAtEveryAllocation) {
  ASSERT_EQ(Build(STREAM_DIRECTION_CAPTURE, {Pcm(2, 48000, 16)}), STATUS_SUCCESS);
  for (size_t n = 1;; ++n) {
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportWaveCyclic(&unknown, GUID_NULL, nullptr, NonPagedPool, 0), STATUS_SUCCESS);
    PVOID object = nullptr;
    unknown->QueryInterface(IID_IMiniportWaveCyclic, &object);
    unknown->Release();
    auto* fresh = static_cast<CMiniportWaveCyclic*>(static_cast<IMiniportWaveCyclic*>(object));
    platform::pool::FailNthAllocationWithTag(WAVE_MINIPORT_TAG, n);
    const NTSTATUS status = fresh->Init(model->Hal(), nullptr, port);
    platform::pool::ClearFailures();
    fresh->Release();
    if (NT_SUCCESS(status)) {
      EXPECT_GT(n, 6u);
      break;
    }
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  }
}

TEST_F(WaveCyclicMiniportTest, ConnectionIdIsTheLastStreamTerminalOfTheDirection) {
  ASSERT_EQ(Build(STREAM_DIRECTION_RENDER, {Pcm(2, 48000, 16)}), STATUS_SUCCESS);
  const PinCategory stream = PIN_CATEGORY_STREAM, headset = PIN_CATEGORY_HEADSET;
  auto attach = [&](CTerminalNode* node) {
    node->NonDelegatingAddRef();
    engine->AttachNode(node);
    node->NonDelegatingRelease();
  };
  ULONG id = 99;
  EXPECT_EQ(miniport->GetConnectionId(&id), STATUS_SUCCESS);
  EXPECT_EQ(id, 99u);  // no terminal: left as it was
  auto* headsetIn = new (NonPagedPool, MakeTag("WTst")) CInputTerminalNode(nullptr, 3);
  headsetIn->Init(1, &headset, 0, nullptr);
  attach(headsetIn);
  auto* streamIn = new (NonPagedPool, MakeTag("WTst")) CInputTerminalNode(nullptr, 7);
  streamIn->Init(1, &stream, 0, nullptr);
  attach(streamIn);
  auto* streamOut = new (NonPagedPool, MakeTag("WTst")) COutputTerminalNode(nullptr, 9);
  streamOut->Init(7, 1, &stream, 0, nullptr);
  attach(streamOut);
  EXPECT_EQ(miniport->GetConnectionId(&id), STATUS_SUCCESS);
  EXPECT_EQ(id, 7u);
}

struct IntersectionCase {
  const char* name;
  std::vector<WAVEFORMATEXTENSIBLE> formats;
  GUID clientSubFormat;
  GUID clientSpecifier;
  ULONG clientSize;  // 64 for a bare range
  ULONG maxChannels, minBits, maxBits, minRate, maxRate;
  ULONG outputLength;
  NTSTATUS expected;
  WAVEFORMATEXTENSIBLE result;  // when expected is success
  ULONG sampleSize;
};

TEST_F(WaveCyclicMiniportTest, DataRangeIntersection) {
  const auto pcm24 = Pcm(2, 48000, 24), pcm16 = Pcm(2, 48000, 16), pcm16_44 = Pcm(2, 44100, 16);
  const GUID wave = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, wild = KSDATAFORMAT_SPECIFIER_WILDCARD;
  const GUID pcm = KSDATAFORMAT_SUBTYPE_PCM, flt = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
  const IntersectionCase cases[] = {
      {"wildcard takes the range's maxima",
       {pcm16, pcm24},
       pcm,
       wild,
       64,
       0,
       0,
       0,
       0,
       0,
       104,
       STATUS_SUCCESS,
       pcm24,
       0},
      {"wildcard without that exact format",
       {Pcm(2, 44100, 24), pcm16},
       pcm,
       wild,
       64,
       0,
       0,
       0,
       0,
       0,
       104,
       STATUS_NO_MATCH,
       {},
       0},
      {"float client, no float formats", {pcm16}, flt, wave, 88, 2, 32, 32, 48000, 48000, 104, STATUS_NO_MATCH, {}, 0},
      {"DirectSound specifier",
       {pcm16},
       pcm,
       KSDATAFORMAT_SPECIFIER_DSOUND,
       88,
       2,
       16,
       16,
       48000,
       48000,
       104,
       STATUS_NOT_SUPPORTED,
       {},
       0},
      {"size query", {pcm16}, pcm, wave, 88, 2, 16, 16, 48000, 48000, 0, STATUS_BUFFER_OVERFLOW, {}, 0},
      {"small buffer", {pcm16}, pcm, wave, 88, 2, 16, 16, 48000, 48000, 103, STATUS_BUFFER_TOO_SMALL, {}, 0},
      {"short client range", {pcm16}, pcm, wave, 64, 2, 16, 16, 48000, 48000, 104, STATUS_INVALID_PARAMETER, {}, 0},
      {"client rates above the range", {pcm16}, pcm, wave, 88, 2, 16, 16, 96000, 96000, 104, STATUS_NO_MATCH, {}, 0},
      {"client bits below the range", {pcm24}, pcm, wave, 88, 2, 8, 16, 48000, 48000, 104, STATUS_NO_MATCH, {}, 0},
      {"exact client range",
       {pcm16, pcm16_44},
       pcm,
       wave,
       88,
       8,
       16,
       24,
       8000,
       44100,
       104,
       STATUS_SUCCESS,
       pcm16_44,
       4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Build(STREAM_DIRECTION_CAPTURE, c.formats), STATUS_SUCCESS);
    PPCFILTER_DESCRIPTOR d = nullptr;
    miniport->GetDescription(&d);
    KSDATARANGE_AUDIO client{};
    client.DataRange.FormatSize = c.clientSize;
    client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    client.DataRange.SubFormat = c.clientSubFormat;
    client.DataRange.Specifier = c.clientSpecifier;
    client.MaximumChannels = c.maxChannels;
    client.MinimumBitsPerSample = c.minBits;
    client.MaximumBitsPerSample = c.maxBits;
    client.MinimumSampleFrequency = c.minRate;
    client.MaximumSampleFrequency = c.maxRate;
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
    ULONG length = 0;
    const NTSTATUS status = miniport->DataRangeIntersection(
        0, &client.DataRange, d->Pins[0].KsPinDescriptor.DataRanges[0], c.outputLength, &result, &length);
    EXPECT_EQ(status, c.expected);
    if (status == STATUS_BUFFER_OVERFLOW) {
      EXPECT_EQ(length, 104u);
    }
    if (NT_SUCCESS(c.expected)) {
      EXPECT_EQ(length, 104u);
      EXPECT_EQ(result.DataFormat.FormatSize, 104u);
      EXPECT_EQ(result.DataFormat.SampleSize, c.sampleSize);
      EXPECT_EQ(result.DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
      EXPECT_EQ(0, memcmp(&result.WaveFormatExt, &c.result, sizeof(WAVEFORMATEXTENSIBLE)));
    }
    ReleaseAll();
  }

  // The bridge pin's range is a bare one: nothing past its header is read.
  ASSERT_EQ(Build(STREAM_DIRECTION_CAPTURE, {pcm16}), STATUS_SUCCESS);
  PPCFILTER_DESCRIPTOR d = nullptr;
  miniport->GetDescription(&d);
  const KSDATARANGE* bridge = d->Pins[WAVE_FILTER_BRIDGE_PIN].KsPinDescriptor.DataRanges[0];
  ASSERT_LT(bridge->FormatSize, sizeof(KSDATARANGE_AUDIO));
  KSDATARANGE_AUDIO client{};
  client.DataRange.FormatSize = sizeof client;
  client.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  client.DataRange.SubFormat = pcm;
  client.DataRange.Specifier = wild;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
  ULONG length = 0;
  EXPECT_EQ(miniport->DataRangeIntersection(WAVE_FILTER_BRIDGE_PIN, &client.DataRange, const_cast<PKSDATARANGE>(bridge),
                                            sizeof result, &result, &length),
            STATUS_NO_MATCH);
  ReleaseAll();
}

TEST_F(WaveCyclicMiniportTest, ValidateFormatFindsTheWaveFormatBySize) {
  ASSERT_EQ(Build(STREAM_DIRECTION_RENDER, {Pcm(2, 48000, 16)}), STATUS_SUCCESS);
  WAVEFORMATEX plain{WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
  struct Case {
    ULONG size, flags, offset;
    WORD cbSize;
    NTSTATUS expected;
  } cases[] = {
      {82, 0, 64, 0, STATUS_SUCCESS},
      {90, 0, 72, 0, STATUS_SUCCESS},  // after a DirectSound buffer description
      {88, KSDATAFORMAT_ATTRIBUTES, 64, 0, STATUS_SUCCESS},
      {96, KSDATAFORMAT_ATTRIBUTES, 72, 0, STATUS_SUCCESS},
      {100, 0, 64, 0, STATUS_INVALID_PARAMETER},
      {88, 0, 64, 0, STATUS_INVALID_PARAMETER},
      {81, 0, 64, 0, STATUS_INVALID_PARAMETER},
      {82, 0, 64, 22, STATUS_INVALID_PARAMETER},  // claims bytes that are not there
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    UCHAR bytes[128] = {};
    auto* header = reinterpret_cast<PKSDATAFORMAT>(bytes);
    header->FormatSize = c.size;
    header->Flags = c.flags;
    header->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    WAVEFORMATEX w = plain;
    w.cbSize = c.cbSize;
    memcpy(bytes + c.offset, &w, sizeof w);
    PWAVEFORMATEX found = nullptr;
    EXPECT_EQ(miniport->ValidateFormat(header, &found), c.expected);
    if (NT_SUCCESS(c.expected)) {
      EXPECT_EQ(reinterpret_cast<PUCHAR>(found), bytes + c.offset);
    }
  }
  // Formats the engine does not offer, and other major formats.
  DataFormat other = MakeDataFormat(Pcm(2, 44100, 16));
  EXPECT_EQ(miniport->ValidateFormat(&other.header, nullptr), STATUS_INVALID_PARAMETER);
  DataFormat video = MakeDataFormat(Pcm(2, 48000, 16));
  video.header.MajorFormat = KSDATAFORMAT_SUBTYPE_PCM;
  EXPECT_EQ(miniport->ValidateFormat(&video.header, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(WaveCyclicMiniportTest, OneStreamAtATime) {
  ASSERT_EQ(Build(STREAM_DIRECTION_RENDER, {Pcm(2, 48000, 16), Pcm(2, 44100, 16)}), STATUS_SUCCESS);
  ASSERT_EQ(OpenStream(Pcm(2, 48000, 16)), STATUS_SUCCESS);
  ASSERT_TRUE(stream && dma && serviceGroup);
  EXPECT_EQ(miniport->GetStreamCount(), 1u);
  PMINIPORTWAVECYCLICSTREAM second = nullptr;
  PDMACHANNEL secondDma = nullptr;
  PSERVICEGROUP secondGroup = nullptr;
  DataFormat d = MakeDataFormat(Pcm(2, 44100, 16));
  EXPECT_EQ(miniport->NewStream(&second, nullptr, NonPagedPool, 0, FALSE, &d.header, &secondDma, &secondGroup),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(second, nullptr);
  CloseStream();
  EXPECT_EQ(miniport->GetStreamCount(), 0u);
  EXPECT_EQ(OpenStream(Pcm(2, 44100, 16)), STATUS_SUCCESS);
  // A format the engine refuses, once the filter is free again.
  CloseStream();
  EXPECT_EQ(OpenStream(Pcm(2, 96000, 16)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(OpenStream(Pcm(2, 48000, 16)), STATUS_SUCCESS);
}

TEST_F(WaveCyclicMiniportTest, EngineCapsProperty) {
  ASSERT_EQ(Build(STREAM_DIRECTION_RENDER, {Pcm(2, 48000, 16)}), STATUS_SUCCESS);
  PPCFILTER_DESCRIPTOR d = nullptr;
  miniport->GetDescription(&d);
  ASSERT_EQ(d->AutomationTable->PropertyCount, 1u);
  const PCPROPERTY_ITEM& item = d->AutomationTable->Properties[0];
  EXPECT_EQ(*item.Set, PROPSETID_DevicePrivate);
  EXPECT_EQ(item.Id, DEVICEPRIVATE_STREAM_CAPS);
  DeviceCapsRecord caps{};
  PCPROPERTY_REQUEST request{};
  request.MajorTarget = static_cast<IMiniportWaveCyclic*>(miniport);
  request.PropertyItem = &item;
  request.Verb = KSPROPERTY_TYPE_GET;
  request.Value = &caps;
  request.ValueSize = 16;
  EXPECT_EQ(item.Handler(&request), STATUS_INVALID_DEVICE_REQUEST);
  request.ValueSize = sizeof caps;
  ASSERT_EQ(item.Handler(&request), STATUS_SUCCESS);
  EXPECT_EQ(caps.ModelValue, 0x1234u);
  EXPECT_EQ(caps.Flags, DEVICE_CAPS_FLAG_ASIO);
  EXPECT_EQ(request.ValueSize, sizeof caps);
}

// The driver's own miniports on the default headset: every engine's wave
// filter is registered under the engine's name and connected to the
// topology filter's Stream pin of that engine.
class WaveFilterOnDeviceTest : public testsupport::KernelTest {};

TEST_F(WaveFilterOnDeviceTest, DefaultHeadsetRegistersConnectedWaveFilters) {
  sim::host::RunningDriver r(sim::headset::Descriptors(), sim::headset::Profile());
  ASSERT_EQ(r.startStatus, STATUS_SUCCESS);
  EXPECT_EQ(GetMiniportFactories().wave, CreateMiniportWaveCyclic);
  EXPECT_EQ(GetMiniportFactories().topology, CreateMiniportTopology);
  IAudioHal* hal = GetDeviceExtension(r.HostSide().AdapterDevice())->Adapter;
  ASSERT_NE(hal, nullptr);
  const ULONG engines = hal->GetStreamEngineCount();
  ASSERT_EQ(engines, 2u);
  const auto subdevices = platform::portcls::Subdevices(r.HostSide().AdapterDevice());
  const auto connections = platform::portcls::PhysicalConnections(r.HostSide().AdapterDevice());
  EXPECT_EQ(connections.size(), engines);
  for (ULONG i = 0; i < engines; ++i) {
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(hal->GetStreamEngine(i, &engine), STATUS_SUCCESS);
    WCHAR name[STREAM_ENGINE_NAME_CHARS] = {};
    engine->GetName(name);
    const std::u16string wave = std::u16string(name) + u"Wave";
    SCOPED_TRACE(testing::Message() << "engine " << i);
    auto sub = std::find_if(subdevices.begin(), subdevices.end(), [&](const auto& s) { return s.name == wave; });
    ASSERT_NE(sub, subdevices.end());
    EXPECT_TRUE(sub->waveCyclic);
    ASSERT_NE(sub->descriptor, nullptr);
    EXPECT_EQ(sub->descriptor->PinCount, 2u);
    const bool capture = engine->IsCapture() != 0;
    auto c = std::find_if(connections.begin(), connections.end(),
                          [&](const auto& p) { return capture ? p.toSubdevice == wave : p.fromSubdevice == wave; });
    ASSERT_NE(c, connections.end());
    // Render: bridge pin -> topology; capture: topology -> bridge pin.
    EXPECT_EQ(capture ? c->fromSubdevice : c->toSubdevice, u"GlobalTopo");
    EXPECT_EQ(capture ? c->toPin : c->fromPin, 1u);
  }
}

}  // namespace
