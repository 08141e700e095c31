// The ASIO private interface on the device object, driven by the host
// stand-in through the driver's dispatch: the queries and settings, the
// shared blocks mapped into the host's process, the stream clients on the
// engines (test engines that speak the client protocol without a bus), the
// buffer exchange, and the held Stop of a suspended device.
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/host/AsioHost.h"
#include "tests/driver/DriverHarness.h"

namespace {

using drivertest::DriverHarness;
using drivertest::Join;
using drivertest::RunOnSystemThread;
using sim::host::AsioBlockView;
using sim::host::AsioHost;
using sim::host::UserEvent;
using testsupport::TestCyclicEngine;
using testsupport::TestEngineSpec;
using testsupport::TestHalConfig;

const std::u16string kSettings =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\0000"
    u"\\Settings";

WAVEFORMATEXTENSIBLE Pcm(WORD channels, DWORD rate, WORD bits, WORD validBits) {
  WAVEFORMATEXTENSIBLE f = testsupport::PcmFormat(channels, rate, bits);
  f.Samples.wValidBitsPerSample = validBits;
  return f;
}

WAVEFORMATEXTENSIBLE Dsd(WORD channels, DWORD rate) {
  WAVEFORMATEXTENSIBLE f = testsupport::PcmFormat(channels, rate, 64);
  f.SubFormat = KSDATAFORMAT_SUBTYPE_DSD;
  return f;
}

// 16-bit, 24-bit packed and 24-in-32 at 44.1 and 48 kHz, for each channel
// count.
std::vector<WAVEFORMATEXTENSIBLE> Formats(std::vector<WORD> channels) {
  std::vector<WAVEFORMATEXTENSIBLE> formats;
  for (WORD c : channels)
    for (DWORD rate : {44100u, 48000u})
      for (auto [bits, valid] : {std::pair<WORD, WORD>{16, 16}, {24, 24}, {32, 24}})
        formats.push_back(Pcm(c, rate, bits, valid));
  return formats;
}

TestEngineSpec Asio(bool capture, std::vector<WAVEFORMATEXTENSIBLE> formats) {
  TestEngineSpec spec = capture ? testsupport::CaptureEngine(PIN_CATEGORY_MIC) : testsupport::RenderEngine(PIN_CATEGORY_SPK);
  spec.asio = spec.cyclic = true;
  spec.formats = std::move(formats);
  return spec;
}

// Engine 0 renders two channels, engine 1 captures two, engine 2 renders
// up to eight; engine 3 is no ASIO engine.
TestHalConfig AsioModel() {
  TestHalConfig config;
  config.engines = {Asio(false, Formats({2})), Asio(true, Formats({2})), Asio(false, Formats({2, 8})),
                    testsupport::RenderEngine(PIN_CATEGORY_HEADSET)};
  return config;
}

std::vector<AsioBufferRequest> EveryChannel() {
  std::vector<AsioBufferRequest> channels;
  for (ULONG c = 0; c < 10; ++c) channels.push_back({0, c});
  channels.push_back({1, 0});
  channels.push_back({1, 1});
  return channels;
}

class AsioPrivateTest : public DriverHarness {
 protected:
  // The host goes, as its process ends, before the device does.
  void TearDown() override {
    host.Exit();
    switchEvent.reset();
    DriverHarness::TearDown();
  }
  void StartModel(const TestHalConfig& config = AsioModel()) {
    UseModel(config);
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  }
  TestCyclicEngine* Engine(ULONG index) { return Model()->CyclicEngine(index); }
  // The device object's own pool blocks: client records and shared blocks.
  static size_t DeviceBlocks() {
    for (const auto& usage : platform::pool::Outstanding())
      if (usage.tag == USB_DEVICE_DATA_TAG) return usage.allocations;
    return 0;
  }
  const AsioEngineEntry& Entry(ULONG index) { return *DeviceObject()->GetAsioEngineEntry(index); }
  static ULONG Stored(const char16_t* name) {
    std::vector<UCHAR> data;
    ULONG value = 0xDEAD;
    if (platform::registry::GetValue(kSettings, name, nullptr, &data) && data.size() == 4)
      std::memcpy(&value, data.data(), 4);
    return value;
  }
  static void Store(const char16_t* name, ULONG value) {
    platform::registry::CreateKey(kSettings);
    platform::registry::SetValue(kSettings, name, REG_BINARY, &value, sizeof(value));
  }
  // Buffers for every channel, of `frames` each, and a running stream.
  void CreateAndStart(ULONG frames = 480) {
    ASSERT_EQ(host.CreateBuffers(EveryChannel(), frames, &blocks), STATUS_SUCCESS);
    ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  }
  // Streams running, the device suspended, and a Stop sent from another
  // thread of the host held: the thread waits until the request completes.
  PKTHREAD HoldStop(std::atomic<NTSTATUS>* result) {
    CreateAndStart();
    EXPECT_EQ(Host().SetDevicePower(PowerDeviceD2), STATUS_SUCCESS);
    *result = STATUS_PENDING;
    PKTHREAD thread = RunOnSystemThread([this, result] { *result = host.Stop(); });
    for (int i = 0; i < 1000 && !DeviceObject()->IsAsioStopHeld(); ++i) platform::clock::AdvanceMs(1);
    EXPECT_TRUE(DeviceObject()->IsAsioStopHeld());
    EXPECT_EQ(result->load(), STATUS_PENDING);
    return thread;
  }

  AsioHost host;
  std::vector<AsioBlockView> blocks;
  std::unique_ptr<UserEvent> switchEvent = std::make_unique<UserEvent>();
  UserEvent& bufferSwitch = *switchEvent;
};

// ---- Tables -----------------------------------------------------------------------------

TEST(AsioTablesTest, BufferLengthsChooseTheUrbPlan) {
  struct Case {
    ULONG milliseconds, msPerUrb, urbs;
  };
  // Each range of the table at both of its ends, and the lengths the
  // buffer sizes of the latency table give.
  for (const Case& c : {Case{2, 1, 2}, Case{4, 1, 4}, Case{7, 1, 7}, Case{8, 2, 4}, Case{10, 2, 5}, Case{15, 2, 7},
                        Case{16, 4, 4}, Case{19, 4, 4}, Case{20, 5, 4}, Case{25, 5, 5}, Case{30, 5, 5},
                        Case{100, 5, 5}}) {
    SCOPED_TRACE(c.milliseconds);
    const AsioUrbPlan plan = AsioPlanUrbs(c.milliseconds);
    EXPECT_EQ(plan.MsPerUrb, c.msPerUrb);
    EXPECT_EQ(plan.Urbs, c.urbs);
  }
  EXPECT_EQ(AsioBufferMilliseconds(96, 48), 2u);
  EXPECT_EQ(AsioBufferMilliseconds(10, 48), 2u) << "never below two milliseconds";
  EXPECT_EQ(AsioBufferMilliseconds(4800, 48), 100u);
  EXPECT_EQ(AsioBufferMilliseconds(4800, 0), 4800u);
}

// ---- Queries and settings ------------------------------------------------------------------

TEST_F(AsioPrivateTest, ChannelsAreCountedPerDirectionOverTheAsioEngines) {
  StartModel();
  AsioChannelsRecord channels{};
  ASSERT_EQ(host.Channels(&channels), STATUS_SUCCESS);
  EXPECT_EQ(channels.Engines, 3u);
  EXPECT_EQ(channels.OutputChannels, 10u);
  EXPECT_EQ(channels.InputChannels, 2u);

  struct Case {
    ULONG channel;
    bool input;
    NTSTATUS status;
    const char* name;
  };
  // Engine names come from the start: SPKOut00 (engine 0), SPKOut01
  // (engine 2), MicIn00.
  for (const Case& c : {Case{0, false, STATUS_SUCCESS, "SPKOut00_00 ch"}, Case{1, false, STATUS_SUCCESS, "SPKOut00_01 ch"},
                        Case{2, false, STATUS_SUCCESS, "SPKOut01_00 ch"}, Case{9, false, STATUS_SUCCESS, "SPKOut01_07 ch"},
                        Case{10, false, STATUS_INVALID_PARAMETER, ""}, Case{1, true, STATUS_SUCCESS, "MicIn00_01 ch"},
                        Case{2, true, STATUS_INVALID_PARAMETER, ""}, Case{0xFFFFFFFF, true, STATUS_INVALID_PARAMETER, ""}}) {
    SCOPED_TRACE(c.channel);
    AsioChannelInfoRecord info{};
    ASSERT_EQ(host.ChannelInfo(c.channel, c.input, &info), c.status);
    if (c.status != STATUS_SUCCESS) continue;
    EXPECT_STREQ(info.Name, c.name);
    EXPECT_EQ(info.SampleType, 16u);
    EXPECT_EQ(info.IsActive, 0u);
    EXPECT_EQ(info.Group, 0u);
  }
  ASSERT_EQ(host.CreateBuffers({{0, 0}}, 480, &blocks), STATUS_SUCCESS);
  AsioChannelInfoRecord info{};
  ASSERT_EQ(host.ChannelInfo(0, true, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.IsActive, 1u) << "a buffer owner exists";
}

TEST_F(AsioPrivateTest, SampleTypesAreThoseEveryEngineCarries) {
  struct Case {
    const char* name;
    std::vector<WAVEFORMATEXTENSIBLE> first, second;
    std::vector<ULONG> types;
  };
  const auto p16 = Pcm(2, 48000, 16, 16), p24 = Pcm(2, 48000, 24, 24), p3216 = Pcm(2, 48000, 32, 16),
             p3224 = Pcm(2, 48000, 32, 24), p32 = Pcm(2, 48000, 32, 32), p3220 = Pcm(2, 48000, 32, 20),
             p8 = Pcm(2, 48000, 8, 8), dsd = Dsd(2, 44100);
  const Case cases[] = {
      {"16 and 24 bits against 16 bits", {p16, p24}, {p16}, {16}},
      {"listed in the table's order", {p32, p3224, p3216, p24, p16}, {p16, p24, p3216, p3224, p32}, {16, 17, 24, 27, 18}},
      {"20 valid bits count as 32 bits; 8 bits and DSD add nothing", {p3220, p8, dsd}, {p32, p8}, {18}},
      {"nothing in common", {p16}, {p24}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Unplug();
    TestHalConfig config;
    config.engines = {Asio(false, c.first), Asio(true, c.second)};
    StartModel(config);
    ULONG selected = 0;
    std::vector<ULONG> types;
    ASSERT_EQ(host.SampleTypes(&selected, &types), STATUS_SUCCESS);
    EXPECT_EQ(selected, 16u);
    EXPECT_EQ(types, c.types);

    // A size query reports 8 + 4n; a smaller buffer is refused untouched.
    ULONG_PTR information = 0;
    EXPECT_EQ(host.Ioctl(IOCTL_ASIO_GET_SAMPLE_TYPES, nullptr, 0, nullptr, 0, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 8 + 4 * c.types.size());
    std::vector<UCHAR> small(7, 0xEE);
    EXPECT_EQ(host.Ioctl(IOCTL_ASIO_GET_SAMPLE_TYPES, nullptr, 0, small.data(), 7, &information),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(small, std::vector<UCHAR>(7, 0xEE));
    host.Close();
  }
}

TEST_F(AsioPrivateTest, LatenciesAndBufferSizesFollowIndexRateAndMode) {
  TestHalConfig config = AsioModel();
  for (ULONG e : {0u, 1u, 2u})
    for (DWORD rate : {44100u, 88200u, 48000u}) config.engines[e].formats.push_back(Dsd(2, rate));
  StartModel(config);
  struct Case {
    const char* name;
    ULONG dsd, rate, index;
    AsioLatenciesRecord latencies;
    AsioBufferSizeRecord sizes;
    NTSTATUS sizesStatus;
  };
  const Case cases[] = {
      {"PCM 48 kHz, 2 ms", 0, 48000, 0, {96, 192}, {96, 2400, 96, 1}, STATUS_SUCCESS},
      {"PCM 48 kHz, 10 ms", 0, 48000, 4, {480, 960}, {96, 2400, 480, 1}, STATUS_SUCCESS},
      {"PCM 44.1 kHz counts whole milliseconds", 0, 44100, 8, {2200, 4400}, {88, 2200, 2200, 1}, STATUS_SUCCESS},
      {"DSD below the DSD rates", 1, 48000, 4, {10 * 2816, 10 * 5632}, {}, STATUS_INVALID_PARAMETER},
      {"DSD64 of the 44.1 kHz family", 1, 2822400, 0, {64 * 2 * 44, 64 * 2 * 88}, {64 * 4 * 44, 64 * 50 * 44, 64 * 4 * 44, 64},
       STATUS_SUCCESS},
      {"DSD128, 20 ms", 1, 5644800, 5, {128 * 20 * 44, 128 * 20 * 88}, {128 * 4 * 44, 128 * 50 * 44, 128 * 20 * 44, 128},
       STATUS_SUCCESS},
      {"DSD64 of the 48 kHz family", 1, 3072000, 4, {64 * 10 * 48, 64 * 10 * 96}, {64 * 4 * 48, 64 * 50 * 48, 64 * 10 * 48, 64},
       STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ULONG mode = c.dsd;
    ASSERT_EQ(host.Ioctl(IOCTL_ASIO_SET_IO_FORMAT, &mode, 4, nullptr, 0), STATUS_SUCCESS);
    if (c.rate != 48000 || !c.dsd) {
      ASSERT_EQ(host.SetSampleRate(c.rate), STATUS_SUCCESS);
    }
    ASSERT_EQ(host.SetLatencyIndex(c.index), STATUS_SUCCESS);
    AsioLatenciesRecord latencies{};
    ASSERT_EQ(host.Latencies(&latencies), STATUS_SUCCESS);
    EXPECT_EQ(latencies.Input, c.latencies.Input);
    EXPECT_EQ(latencies.Output, c.latencies.Output);
    AsioBufferSizeRecord sizes{};
    ASSERT_EQ(host.BufferSize(&sizes), c.sizesStatus);
    if (c.sizesStatus != STATUS_SUCCESS) continue;
    EXPECT_EQ(sizes.Minimum, c.sizes.Minimum);
    EXPECT_EQ(sizes.Maximum, c.sizes.Maximum);
    EXPECT_EQ(sizes.Preferred, c.sizes.Preferred);
    EXPECT_EQ(sizes.Granularity, c.sizes.Granularity);
    // A rate reaches a client again only through a new one.
    host.Close();
    ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  }
  AsioLatencyTableRecord table{};
  ASSERT_EQ(host.LatencyTable(&table), STATUS_SUCCESS);
  EXPECT_EQ(table.Count, 9u);
  EXPECT_EQ(table.Milliseconds[8], 50u);
}

TEST_F(AsioPrivateTest, SettingsOutsideWhatTheDriverServesAreRefusedAndNotStored) {
  StartModel();
  AsioHost other;
  ASSERT_EQ(other.Open(), STATUS_SUCCESS);
  UserEvent changed;
  ASSERT_EQ(other.SetNotifyEvent(changed), STATUS_SUCCESS);
  EXPECT_EQ(other.SetNotifyEvent(changed), STATUS_INVALID_PARAMETER) << "one notification event per client";

  for (ULONG index : {9u, 0xFFFFFFFFu}) EXPECT_EQ(host.SetLatencyIndex(index), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Stored(u"ASIOMLDataLatency"), 0xDEADu);
  EXPECT_EQ(DeviceObject()->GetAsioLatencyIndex(), 4u);
  EXPECT_FALSE(changed.IsSet());
  for (ULONG type : {33u, 19u, 0u, 28u, 0xFFFFFFFFu}) EXPECT_EQ(host.SetSampleType(type), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host.SetSampleRate(22050), STATUS_UNSUCCESSFUL) << "no engine carries it";
  EXPECT_EQ(host.SetSampleRate(2822400), STATUS_INVALID_PARAMETER) << "a DSD rate in PCM mode";
  EXPECT_EQ(host.CanSampleRate(96000), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Stored(u"ASIOMLSampleRate"), 0xDEADu);
  EXPECT_FALSE(changed.IsSet());

  ASSERT_EQ(host.SetLatencyIndex(0), STATUS_SUCCESS);
  EXPECT_EQ(Stored(u"ASIOMLDataLatency"), 0u);
  EXPECT_TRUE(changed.Wait(0));
  ASSERT_EQ(host.SetSampleRate(44100), STATUS_SUCCESS);
  EXPECT_EQ(Stored(u"ASIOMLSampleRate"), 44100u);
  ASSERT_EQ(host.SetSampleType(27), STATUS_SUCCESS);
  EXPECT_TRUE(changed.Wait(0));
  ASSERT_EQ(other.ReleaseNotifyEvent(), STATUS_SUCCESS);
  EXPECT_EQ(other.ReleaseNotifyEvent(), STATUS_INVALID_PARAMETER);
}

TEST_F(AsioPrivateTest, ChosenSampleTypeBecomesActiveWhenAClientClosesWithoutBuffers) {
  StartModel();
  ASSERT_EQ(host.SetSampleType(17), STATUS_SUCCESS);
  ULONG selected = 0;
  std::vector<ULONG> types;
  ASSERT_EQ(host.SampleTypes(&selected, &types), STATUS_SUCCESS);
  EXPECT_EQ(selected, 17u);
  // Until then the rings, the stream format and what a channel reports
  // keep to the active type.
  AsioChannelInfoRecord info{};
  ASSERT_EQ(host.ChannelInfo(0, false, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.SampleType, 16u);
  ASSERT_EQ(host.CreateBuffers({{0, 0}}, 480, &blocks), STATUS_SUCCESS);
  EXPECT_EQ(blocks[0].header->Size, 2u * 2 * 48000 * 40 / 1000);
  EXPECT_EQ(Engine(0)->registrations.back().format.Format.wBitsPerSample, 16);
  ASSERT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);
  EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), 0xDEADu);

  ASSERT_EQ(host.Close(), STATUS_SUCCESS);
  EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), 17u);
  ASSERT_EQ(host.Open(), STATUS_SUCCESS);
  ASSERT_EQ(host.ChannelInfo(0, false, &info), STATUS_SUCCESS);
  EXPECT_EQ(info.SampleType, 17u);
  ASSERT_EQ(host.CreateBuffers({{0, 0}}, 480, &blocks), STATUS_SUCCESS);
  EXPECT_EQ(blocks[0].header->Size, 2u * 3 * 48000 * 40 / 1000);
  EXPECT_EQ(Engine(0)->registrations.back().format.Format.wBitsPerSample, 24);
}

TEST_F(AsioPrivateTest, DriverNameComesFromTheProductStringOrTheDefault) {
  struct Case {
    const char* name;
    std::u16string product;  // empty: the device names no product string
    const char* expected;
  };
  for (const Case& c : {Case{"the product string without its trailing blanks", u"Studio Box 2   ", "Studio Box 2"},
                        Case{"the default", u"", "Veltra USB ASIO Device"}}) {
    SCOPED_TRACE(c.name);
    sim::DescriptorSet set = sim::headset::Descriptors();
    if (c.product.empty())
      set.device[15] = 0;
    else
      set.strings[2] = c.product;
    Plug(set, sim::headset::Profile());
    StartModel();
    const ULONG needed = static_cast<ULONG>(std::strlen(c.expected)) + 1;
    ULONG_PTR information = 0;
    EXPECT_EQ(host.Ioctl(IOCTL_ASIO_GET_DRIVER_NAME, nullptr, 0, nullptr, 0, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, needed);
    std::string name;
    ASSERT_EQ(host.DriverName(&name), STATUS_SUCCESS);
    EXPECT_EQ(name, c.expected);
    // Too small: the product string is refused, the default cut to fit;
    // either way nothing is claimed beyond the caller's buffer.
    std::vector<char> text(6, 'x');
    const NTSTATUS status = host.Ioctl(IOCTL_ASIO_GET_DRIVER_NAME, nullptr, 0, text.data(), 6, &information);
    if (c.product.empty()) {
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_EQ(information, 6u);
      EXPECT_STREQ(text.data(), "Veltr");
    } else {
      EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
      EXPECT_EQ(information, 0u);
    }
    host.Close();
    Unplug();
  }
}

TEST_F(AsioPrivateTest, ClientsOnlyExistBetweenCreateAndClose) {
  StartModel();
  PFILE_OBJECT stranger = OpenFile(ASIO_FILE_NAME);  // never created
  ULONG value = 0;
  EXPECT_EQ(SendIoctl(stranger, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &value, 4), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendIoctl(stranger, IOCTL_ASIO_DISPOSE_BUFFERS, nullptr, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendClose(stranger), STATUS_UNSUCCESSFUL);
  ULONG_PTR information = 0;
  EXPECT_EQ(host.Ioctl(IOCTL_ASIO_GET_BUFFERS_CREATED, nullptr, 0, nullptr, 0, &information), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(information, 4u);
  EXPECT_EQ(host.Ioctl(IOCTL_ASIO_GET_BUFFERS_CREATED, nullptr, 0, &value, 3), STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(host.BuffersCreated(&value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0u);
}

// ---- Buffers ------------------------------------------------------------------------------

TEST_F(AsioPrivateTest, CreateBuffersMapsOneBlockPerAsioEngineIntoTheCallersProcess) {
  UseModel(AsioModel());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (bool is32bit : {false, true}) {
    SCOPED_TRACE(is32bit ? "32-bit host" : "64-bit host");
    AsioHost caller(is32bit);
    ASSERT_EQ(caller.Open(), STATUS_SUCCESS);
    // Output 5 is the fourth channel of engine 2.
    ASSERT_EQ(caller.CreateBuffers({{0, 0}, {0, 5}, {1, 1}}, 480, &blocks), STATUS_SUCCESS);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(caller.Mappings(), 3u);
    struct Expected {
      ULONG isInput, channels, firstChannel, size, switchSource;
    };
    const Expected expected[] = {{0, 2, 0, 7680, 0}, {1, 2, 0, 7680, 1}, {0, 8, 2, 30720, 0}};
    for (size_t i = 0; i < blocks.size(); ++i) {
      SCOPED_TRACE(i);
      const AsioBlockView& b = blocks[i];
      ASSERT_NE(b.header, nullptr);
      ASSERT_NE(b.ring, nullptr) << "the whole ring is mapped";
      EXPECT_EQ(b.userAddress % PAGE_SIZE, 0u);
      if (is32bit) {
        EXPECT_LT(b.userAddress, 0x100000000ull);
      }
      EXPECT_EQ(b.header->Selected, 1u);
      EXPECT_EQ(b.header->IsInput, expected[i].isInput);
      EXPECT_EQ(b.header->Channels, expected[i].channels);
      EXPECT_EQ(b.header->FirstChannel, expected[i].firstChannel);
      EXPECT_EQ(b.header->Size, expected[i].size);
      EXPECT_EQ(b.header->Position, 0u);
      EXPECT_EQ(b.header->SwitchSource, expected[i].switchSource);
      // 480 frames are 10 ms: 2 ms URBs, five of them less one.
      const auto& r = Engine(static_cast<ULONG>(i))->registrations.back();
      EXPECT_EQ(r.kind, CYCLIC_CLIENT_ASIO);
      EXPECT_EQ(r.msPerUrb, 2u);
      EXPECT_EQ(r.urbCount, 4u);
      EXPECT_EQ(r.format.Format.nChannels, expected[i].channels);
      EXPECT_EQ(r.format.Format.nSamplesPerSec, 48000u);
      EXPECT_EQ(r.format.Format.wBitsPerSample, 16);
    }
    ASSERT_EQ(caller.Close(), STATUS_SUCCESS);
    EXPECT_EQ(caller.Mappings(), 0u);
  }
}

TEST_F(AsioPrivateTest, SwitchSourceIsTheLastSelectedInputElseTheLastSelectedEngine) {
  StartModel();
  struct Case {
    std::vector<AsioBufferRequest> channels;
    std::vector<ULONG> source;  // per block
  };
  for (const Case& c : {Case{{{0, 0}, {1, 0}, {0, 9}}, {0, 1, 0}}, Case{{{0, 0}, {0, 9}}, {0, 0, 1}},
                        Case{{{0, 1}}, {1, 0, 0}}, Case{{}, {0, 0, 0}}}) {
    ASSERT_EQ(host.CreateBuffers(c.channels, 480, &blocks), STATUS_SUCCESS);
    for (size_t i = 0; i < blocks.size(); ++i) EXPECT_EQ(blocks[i].header->SwitchSource, c.source[i]) << i;
    ASSERT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);
  }
}

TEST_F(AsioPrivateTest, BufferLengthsSetTheStreamClientsTransfers) {
  StartModel();
  struct Case {
    ULONG frames, msPerUrb, urbs;
  };
  for (const Case& c : {Case{192, 1, 3}, Case{512, 2, 4}, Case{4800, 5, 4}, Case{96, 1, 2}, Case{0, 1, 2}}) {
    SCOPED_TRACE(c.frames);
    ASSERT_EQ(host.CreateBuffers({{0, 0}}, c.frames, &blocks), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->registrations.back().msPerUrb, c.msPerUrb);
    EXPECT_EQ(Engine(0)->registrations.back().urbCount, c.urbs);
    ASSERT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);
  }
}

TEST_F(AsioPrivateTest, RefusedBuffersLeaveNothingBehind) {
  StartModel();
  ASSERT_EQ(host.CreateBuffers(EveryChannel(), 480, &blocks), STATUS_SUCCESS);
  const size_t pool = DeviceBlocks();

  // The owner again, and a second client: the blocks stay the only ones.
  std::vector<AsioBlockView> more;
  EXPECT_EQ(host.CreateBuffers(EveryChannel(), 480, &more), STATUS_INVALID_PARAMETER);
  AsioHost other;
  ASSERT_EQ(other.Open(), STATUS_SUCCESS);
  EXPECT_EQ(other.CreateBuffers(EveryChannel(), 480, &more), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other.DisposeBuffers(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host.Mappings(), 3u);
  EXPECT_EQ(other.Mappings(), 0u);
  EXPECT_EQ(Engine(0)->Registered(), 1u);
  EXPECT_EQ(DeviceBlocks(), pool + 1) << "only the second client's record";
  ASSERT_EQ(other.Close(), STATUS_SUCCESS);
  ASSERT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);

  // Room for one address less than there are engines: everything made for
  // the request goes again.
  const size_t before = DeviceBlocks();
  std::vector<UCHAR> request(12 + 8, 0);
  const ULONG header[3] = {0, 1, 480};
  std::memcpy(request.data(), header, sizeof(header));
  ULONGLONG addresses[2] = {};
  EXPECT_EQ(host.Ioctl(IOCTL_ASIO_CREATE_BUFFERS, request.data(), 20, addresses, sizeof(addresses)),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(host.Mappings(), 0u);
  EXPECT_EQ(Engine(0)->Registered(), 0u);
  EXPECT_EQ(DeviceBlocks(), before);
  ULONG created = 1;
  ASSERT_EQ(host.BuffersCreated(&created), STATUS_SUCCESS);
  EXPECT_EQ(created, 0u);
  // A count that overflows the request's length.
  const ULONG huge[3] = {0, 0x20000000, 480};
  EXPECT_EQ(host.Ioctl(IOCTL_ASIO_CREATE_BUFFERS, huge, 12, addresses, 24), STATUS_INVALID_PARAMETER);
}

TEST_F(AsioPrivateTest, StoredRateTheEnginesCannotCarryIsIgnored) {
  // Below a frame per millisecond, one the engines lack, and one past every
  // PCM and DSD rate.
  for (ULONG rate : {500u, 22050u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(rate);
    platform::registry::Reset();
    platform::debug::Clear();
    Store(u"ASIOMLSampleRate", rate);
    StartModel();
    EXPECT_TRUE(platform::debug::Contains("ASIOMLSampleRate " + std::to_string(rate) + " ignored"));
    ULONG read = 0;
    ASSERT_EQ(host.SampleRate(&read), STATUS_SUCCESS);
    EXPECT_EQ(read, ASIO_DEFAULT_SAMPLE_RATE);
    EXPECT_EQ(host.CreateBuffers(EveryChannel(), 480, &blocks), STATUS_SUCCESS);
    host.Close();
    EXPECT_EQ(host.Mappings(), 0u);
    Unplug();
  }
  // A rate the engines carry stays.
  platform::registry::Reset();
  Store(u"ASIOMLSampleRate", 44100);
  StartModel();
  ULONG read = 0;
  ASSERT_EQ(host.SampleRate(&read), STATUS_SUCCESS);
  EXPECT_EQ(read, 44100u);
}

// ---- Start and Stop ---------------------------------------------------------------------------

TEST_F(AsioPrivateTest, StartAndStopRunTheSelectedEnginesAndKeepTheEventOnlyMeanwhile) {
  StartModel();
  EXPECT_EQ(host.Start(bufferSwitch), STATUS_INVALID_PARAMETER) << "no buffers";
  ASSERT_EQ(host.CreateBuffers({{0, 0}, {1, 0}}, 480, &blocks), STATUS_SUCCESS);
  const LONG handleOnly = platform::ob::ReferenceCount(bufferSwitch.Event());
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  EXPECT_EQ(platform::ob::ReferenceCount(bufferSwitch.Event()), handleOnly + 1);
  EXPECT_TRUE(DeviceObject()->AreAsioStreamsRunning());
  for (ULONG e : {0u, 1u}) EXPECT_EQ(Engine(e)->startFrames, std::vector<ULONG>{7005}) << e;
  EXPECT_EQ(Engine(2)->starts, 0) << "nothing selected there";
  EXPECT_EQ(host.Start(bufferSwitch), STATUS_INVALID_PARAMETER) << "already running";

  std::memset(blocks[0].ring, 0x5A, blocks[0].header->Size);
  ASSERT_EQ(host.Stop(), STATUS_SUCCESS);
  EXPECT_EQ(platform::ob::ReferenceCount(bufferSwitch.Event()), handleOnly);
  EXPECT_FALSE(DeviceObject()->AreAsioStreamsRunning());
  EXPECT_EQ(Engine(0)->stops, 1);
  EXPECT_EQ(Engine(0)->unprepares, 1);
  for (ULONG i = 0; i < blocks[0].header->Size; ++i) ASSERT_EQ(blocks[0].ring[i], 0) << "silent after a stop";
  EXPECT_EQ(host.Stop(), STATUS_INVALID_PARAMETER) << "not running";
  // Another client can neither start nor stop the owner's streams.
  AsioHost other;
  ASSERT_EQ(other.Open(), STATUS_SUCCESS);
  EXPECT_EQ(other.Start(bufferSwitch), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  EXPECT_EQ(other.Stop(), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(host.Stop(), STATUS_SUCCESS);
}

TEST_F(AsioPrivateTest, FailedStartKeepsNoEventAndLeavesNothingPrepared) {
  struct Case {
    const char* name;
    bool failPrepare;
  };
  for (const Case& c : {Case{"a prepare fails", true}, Case{"a start fails", false}}) {
    SCOPED_TRACE(c.name);
    StartModel();
    ASSERT_EQ(host.CreateBuffers({{0, 0}, {1, 0}}, 480, &blocks), STATUS_SUCCESS);
    (c.failPrepare ? Engine(0)->prepareStatus : Engine(0)->startStatus) = STATUS_DEVICE_NOT_READY;
    const LONG handleOnly = platform::ob::ReferenceCount(bufferSwitch.Event());
    EXPECT_EQ(host.Start(bufferSwitch), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(platform::ob::ReferenceCount(bufferSwitch.Event()), handleOnly);
    EXPECT_FALSE(DeviceObject()->AreAsioStreamsRunning());
    for (ULONG e : {0u, 1u}) EXPECT_EQ(Engine(e)->Prepared(), 0u) << e;
    EXPECT_EQ(host.Stop(), STATUS_INVALID_PARAMETER);
    // Once the engine behaves, the same buffers start.
    Engine(0)->prepareStatus = Engine(0)->startStatus = STATUS_SUCCESS;
    EXPECT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
    host.Close();
    Unplug();
  }
}

TEST_F(AsioPrivateTest, StreamingDevicesAreToldWhenStreamsStartAndStop) {
  struct Case {
    uint16_t vendor, product;
    bool told;
  };
  for (const Case& c : {Case{0x0B05, 0x17A8, true}, Case{0x1043, 0x8593, true}, Case{0x0B05, 0x17B0, false},
                        Case{0x1209, 0x0001, false}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.vendor << ":" << c.product);
    sim::DescriptorSet set = sim::headset::Descriptors();
    set.device[8] = c.vendor & 0xFF;
    set.device[9] = c.vendor >> 8;
    set.device[10] = c.product & 0xFF;
    set.device[11] = c.product >> 8;
    Plug(set, sim::headset::Profile());
    StartModel();
    CreateAndStart();
    EXPECT_EQ(Device().VendorDeviceValue(7), c.told ? std::optional<uint16_t>(1) : std::nullopt);
    ASSERT_EQ(host.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Device().VendorDeviceValue(7), c.told ? std::optional<uint16_t>(0) : std::nullopt);
    host.Close();
    Unplug();
  }
}

TEST_F(AsioPrivateTest, DisposeOrCloseWhileRunningStopsTheStreamsFirst) {
  for (bool close : {false, true}) {
    SCOPED_TRACE(close ? "close" : "dispose");
    StartModel();
    ASSERT_EQ(host.SetSampleType(24), STATUS_SUCCESS);
    CreateAndStart();
    const LONG handleOnly = platform::ob::ReferenceCount(bufferSwitch.Event()) - 1;
    ASSERT_EQ(close ? host.Close() : host.DisposeBuffers(), STATUS_SUCCESS);
    for (ULONG e : {0u, 1u, 2u}) {
      EXPECT_EQ(Engine(e)->stops, 1) << e;
      EXPECT_EQ(Engine(e)->unprepares, 1) << e;
      EXPECT_EQ(Engine(e)->Registered(), 0u) << "no notification reaches the freed rings";
    }
    EXPECT_EQ(host.Mappings(), 0u);
    EXPECT_EQ(platform::ob::ReferenceCount(bufferSwitch.Event()), handleOnly);
    EXPECT_EQ(DeviceObject()->GetAsioBuffersCreated(), 0u);
    // Only a close without buffers makes the chosen type the active one.
    EXPECT_EQ(Stored(u"ASIOMLDataBitDepth"), close ? 24u : 0xDEADu);
    host.Close();
    Unplug();
    platform::registry::Reset();
  }
}

// ---- The buffer exchange --------------------------------------------------------------------------

TEST_F(AsioPrivateTest, RenderFillsReadTheRingAtItsPositionAndWrap) {
  StartModel();
  CreateAndStart();
  const AsioBlockView& ring = blocks[0];
  const ULONG size = ring.header->Size;
  for (ULONG i = 0; i < size; ++i) ring.ring[i] = static_cast<UCHAR>(i * 7);
  TestCyclicEngine* engine = Engine(0);

  std::vector<UCHAR> fill(size - 160);
  engine->Notify(CYCLIC_COMMAND_RENDER_FILL, fill.data(), size - 160);
  EXPECT_EQ(0, std::memcmp(fill.data(), ring.ring, size - 160));
  EXPECT_EQ(ring.header->Position, size - 160);
  // 160 bytes from the end, then 320 from the start.
  std::vector<UCHAR> wrapped(480);
  engine->Notify(CYCLIC_COMMAND_RENDER_FILL, wrapped.data(), 480);
  EXPECT_EQ(0, std::memcmp(wrapped.data(), ring.ring + size - 160, 160));
  EXPECT_EQ(0, std::memcmp(wrapped.data() + 160, ring.ring, 320));
  EXPECT_EQ(ring.header->Position, 320u);
  // A transfer as long as the ring is left as the engine made it.
  std::vector<UCHAR> whole(size, 0xEE);
  engine->Notify(CYCLIC_COMMAND_RENDER_FILL, whole.data(), size);
  EXPECT_EQ(whole, std::vector<UCHAR>(size, 0xEE));
  EXPECT_EQ(ring.header->Position, 320u);
}

TEST_F(AsioPrivateTest, CapturedDataIsWrittenAtThePositionAndNeverPastTheRing) {
  StartModel();
  CreateAndStart();
  const AsioBlockView& ring = blocks[1];
  const ULONG size = ring.header->Size;
  TestCyclicEngine* engine = Engine(1);
  std::vector<UCHAR> first(size - 100, 0x11), second(300, 0x22);
  engine->Notify(CYCLIC_COMMAND_CAPTURE_DATA, first.data(), size - 100);
  engine->Notify(CYCLIC_COMMAND_CAPTURE_DATA, second.data(), 300);
  EXPECT_EQ(ring.header->Position, 200u);
  EXPECT_EQ(ring.ring[size - 101], 0x11);
  EXPECT_EQ(ring.ring[size - 100], 0x22);
  EXPECT_EQ(ring.ring[199], 0x22);
  EXPECT_EQ(ring.ring[200], 0x11);
  // A delivery longer than the ring would run past its end: it is dropped.
  std::vector<UCHAR> flood(size + 2000, 0x33);
  engine->Notify(CYCLIC_COMMAND_CAPTURE_DATA, flood.data(), static_cast<ULONG>(flood.size()));
  EXPECT_EQ(ring.header->Position, 200u);
  for (ULONG i = 0; i < size; ++i) ASSERT_NE(ring.ring[i], 0x33) << i;
  const PUCHAR beyond = static_cast<PUCHAR>(host.View(ring.userAddress, PAGE_SIZE * 2)) + ASIO_BLOCK_HEADER_BYTES + size;
  for (ULONG i = 0; i + ASIO_BLOCK_HEADER_BYTES + size < 2 * PAGE_SIZE; ++i) ASSERT_EQ(beyond[i], 0) << i;
}

TEST_F(AsioPrivateTest, StartPlacesTheRenderLeadByTheBufferLength) {
  struct Case {
    ULONG frames;
    ULONG urbBytes;      // one URB of the two-channel render engine, 16 bits
    ULONG leadUrbs;      // pre-roll in URBs
    bool fromTheEnd;     // the first URB reads the ring's last one
  };
  // 2 ms: 1 ms URBs, two of them; 10 ms: 2 ms URBs, four.
  for (const Case& c : {Case{96, 192, 2, true}, Case{480, 384, 4, false}, Case{4800, 960, 4, false}}) {
    SCOPED_TRACE(c.frames);
    StartModel();
    CreateAndStart(c.frames);
    const ULONG size = blocks[0].header->Size;
    EXPECT_EQ(blocks[0].header->PreRoll, c.leadUrbs * c.urbBytes);
    EXPECT_EQ(blocks[0].header->Position, c.fromTheEnd ? size - c.urbBytes : 0);
    EXPECT_EQ(blocks[0].header->StartPosition, blocks[0].header->Position);
    EXPECT_EQ(blocks[1].header->Position, 0u) << "capture starts at the ring's start";
    EXPECT_EQ(blocks[1].header->PreRoll, 0u);
    host.Close();
    Unplug();
  }
}

TEST_F(AsioPrivateTest, RateChosenWhileBuffersExistWaitsForTheNextBuffers) {
  StartModel();
  ASSERT_EQ(host.CreateBuffers(EveryChannel(), 480, &blocks), STATUS_SUCCESS);
  UserEvent changed;
  ASSERT_EQ(host.SetNotifyEvent(changed), STATUS_SUCCESS);
  ASSERT_EQ(host.SetSampleRate(44100), STATUS_SUCCESS);
  EXPECT_TRUE(changed.Wait(0)) << "clients hear of a rate that waits";
  ULONG rate = 0;
  ASSERT_EQ(host.SampleRate(&rate), STATUS_SUCCESS);
  EXPECT_EQ(rate, 44100u);
  // The streams and the render lead keep to the rate the rings were made
  // for: 2 ms URBs of 48 frames, four of them.
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  EXPECT_EQ(blocks[0].header->PreRoll, 4u * 2 * 2 * 2 * 48);
  ASSERT_EQ(host.Stop(), STATUS_SUCCESS);
  ASSERT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);
  AsioLatenciesRecord latencies{};
  ASSERT_EQ(host.Latencies(&latencies), STATUS_SUCCESS);
  EXPECT_EQ(latencies.Input, 48u * 10) << "the client's rate stays until it opens again";
}

TEST_F(AsioPrivateTest, OnlyTheSwitchSourceSignalsAndOnlyStartedClientsAreServed) {
  StartModel();
  ASSERT_EQ(host.CreateBuffers(EveryChannel(), 480, &blocks), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(64, 0xEE);
  // Registered but not started: nothing happens.
  Engine(1)->Notify(CYCLIC_COMMAND_POSITION, nullptr, 64);
  Engine(0)->Notify(CYCLIC_COMMAND_RENDER_FILL, buffer.data(), 64);
  EXPECT_EQ(blocks[1].header->Transfers, 0u);
  EXPECT_EQ(blocks[0].header->Position, 0u);
  EXPECT_EQ(buffer, std::vector<UCHAR>(64, 0xEE));

  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  Engine(0)->Notify(CYCLIC_COMMAND_POSITION, nullptr, 384);
  EXPECT_EQ(blocks[0].header->Transfers, 1u);
  EXPECT_FALSE(bufferSwitch.IsSet()) << "render engine 0 is not the switch source";
  Engine(1)->Notify(CYCLIC_COMMAND_POSITION, nullptr, 384);
  EXPECT_EQ(blocks[1].header->Transfers, 1u);
  EXPECT_TRUE(bufferSwitch.Wait(0));
  // Another client of the engine, and commands the exchange has no use for.
  StreamClientRecord* stranger = nullptr;
  const WAVEFORMATEXTENSIBLE format = Pcm(2, 48000, 16, 16);
  ASSERT_EQ(Engine(1)->RegisterClient(CYCLIC_CLIENT_WAVE, &format, 10, 3,
                                      [](PVOID, PVOID, PVOID) {}, nullptr, &stranger),
            STATUS_SUCCESS);
  stranger->Started = 1;
  Engine(1)->Notify(CYCLIC_COMMAND_POSITION, nullptr, 384, stranger);
  Engine(1)->Notify(CYCLIC_COMMAND_FORMAT, nullptr, 0);
  EXPECT_EQ(blocks[1].header->Transfers, 1u);
  EXPECT_FALSE(bufferSwitch.IsSet());
  stranger->Started = 0;
  EXPECT_EQ(Engine(1)->UnregisterClient(stranger), STATUS_SUCCESS);
  // After the stop the counter still counts, but nobody is woken.
  ASSERT_EQ(host.Stop(), STATUS_SUCCESS);
  ASSERT_EQ(host.Start(bufferSwitch), STATUS_SUCCESS);
  EXPECT_EQ(blocks[1].header->Transfers, 0u) << "counted from every start";
}

TEST_F(AsioPrivateTest, WhatTheHostWritesIntoTheHeaderNeverReachesTheDriver) {
  StartModel();
  CreateAndStart();
  const AsioBlockView render = blocks[0], capture = blocks[1];
  const ULONG size = render.header->Size;
  for (const AsioBlockView& b : blocks) {
    auto* words = reinterpret_cast<volatile ULONG*>(b.header);
    for (ULONG i = 0; i < ASIO_BLOCK_HEADER_BYTES / 4; ++i) words[i] = 0xFFFFFF00u + i;
  }
  for (ULONG i = 0; i < size; ++i) render.ring[i] = static_cast<UCHAR>(i);
  std::vector<UCHAR> fill(480);
  Engine(0)->Notify(CYCLIC_COMMAND_RENDER_FILL, fill.data(), 480);
  EXPECT_EQ(0, std::memcmp(fill.data(), render.ring, 480)) << "read at the driver's position, not the host's";
  EXPECT_EQ(render.header->Position, 480u);
  std::vector<UCHAR> captured(size - 1, 0x44);
  Engine(1)->Notify(CYCLIC_COMMAND_CAPTURE_DATA, captured.data(), size - 1);
  EXPECT_EQ(capture.header->Position, size - 1) << "bounded by the driver's size, not the host's";
  // The render engine is no switch source whatever its header now says.
  Engine(0)->Notify(CYCLIC_COMMAND_POSITION, nullptr, 480);
  EXPECT_FALSE(bufferSwitch.IsSet());
  EXPECT_EQ(render.header->Transfers, 1u);
  const AsioEngineEntry& e = Entry(0);
  EXPECT_EQ(e.State.Size, size);
  EXPECT_EQ(e.State.SwitchSource, 0u);
  EXPECT_EQ(e.State.Channels, 2u);
  Engine(1)->Notify(CYCLIC_COMMAND_POSITION, nullptr, 480);
  EXPECT_TRUE(bufferSwitch.Wait(0));
  ASSERT_EQ(host.Stop(), STATUS_SUCCESS);
  ASSERT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);
}

// ---- Power and removal ----------------------------------------------------------------------------

TEST_F(AsioPrivateTest, StopWhileSuspendedWaitsForPowerUpAndStopsTheRestartedStreams) {
  StartModel();
  std::atomic<NTSTATUS> held;
  PKTHREAD thread = HoldStop(&held);
  EXPECT_EQ(Engine(0)->stops, 1) << "the power-down stopped the streams";
  EXPECT_FALSE(DeviceObject()->AreAsioStreamsRunning());
  EXPECT_EQ(host.Stop(), STATUS_INVALID_PARAMETER) << "one held Stop at a time";

  ASSERT_EQ(Host().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  Join(thread);
  EXPECT_EQ(held.load(), STATUS_SUCCESS);
  // Restarted on power-up (prepared and started again), then stopped.
  EXPECT_EQ(Engine(0)->prepares, 2);
  EXPECT_EQ(Engine(0)->startFrames.size(), 2u);
  EXPECT_EQ(Engine(0)->stops, 2);
  EXPECT_FALSE(DeviceObject()->AreAsioStreamsRunning());
  EXPECT_FALSE(DeviceObject()->IsAsioStopHeld());
}

TEST_F(AsioPrivateTest, HeldStopOfAHostThatExitsIsCancelled) {
  StartModel();
  std::atomic<NTSTATUS> held;
  PKTHREAD thread = HoldStop(&held);
  host.Exit();
  Join(thread);
  EXPECT_EQ(held.load(), STATUS_CANCELLED);
  EXPECT_FALSE(DeviceObject()->IsAsioStopHeld());
  EXPECT_EQ(host.Mappings(), 0u);
  // Back in D0 nothing is left to restart or to stop.
  ASSERT_EQ(Host().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(Engine(0)->prepares, 1);
  EXPECT_EQ(Engine(0)->Registered(), 0u);
}

TEST_F(AsioPrivateTest, SurpriseRemovalEndsTheStreamAndAHeldStop) {
  StartModel();
  std::atomic<NTSTATUS> held;
  PKTHREAD thread = HoldStop(&held);
  const LONG handleOnly = platform::ob::ReferenceCount(bufferSwitch.Event()) - 1;

  ASSERT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  Join(thread);
  EXPECT_EQ(held.load(), STATUS_DELETE_PENDING);
  EXPECT_EQ(platform::ob::ReferenceCount(bufferSwitch.Event()), handleOnly);
  for (ULONG e : {0u, 1u, 2u}) EXPECT_EQ(Engine(e)->Registered(), 0u) << e;
  // The blocks stay the host's until it lets them go, in its own process.
  EXPECT_EQ(host.Mappings(), 3u);
  EXPECT_EQ(host.Stop(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(host.Start(bufferSwitch), STATUS_DEVICE_NOT_CONNECTED);
  std::vector<AsioBlockView> more;
  EXPECT_EQ(host.CreateBuffers(EveryChannel(), 480, &more), STATUS_INVALID_PARAMETER) << "buffers exist";
  EXPECT_EQ(host.DisposeBuffers(), STATUS_SUCCESS);
  EXPECT_EQ(host.Mappings(), 0u);
  EXPECT_NE(host.CreateBuffers(EveryChannel(), 480, &more), STATUS_SUCCESS);
  EXPECT_EQ(host.Mappings(), 0u);
  EXPECT_EQ(host.Close(), STATUS_SUCCESS);
}

}  // namespace
