// The port-class stand-in driven the way the system drives a driver: a
// loaded adapter driver (the stand-in miniport pair), plug and play through
// IRPs, filters opened and queried through kernel-streaming requests, and a
// wave pin streaming on the manual clock.
#include <gtest/gtest.h>

#include "portcls/framework.h"
#include "sim/host/Host.h"
#include "sim/standin/StandinDriver.h"
#include "sim/standin/StandinMiniports.h"
#include "tests/support/KernelTest.h"

namespace {

using platform::portcls::Filter;
using platform::portcls::Pin;
using sim::host::FilterHandle;
using sim::host::Host;
using namespace sim::standin;

class PortClsTest : public testsupport::KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    platform::portcls::ResetForTest();
    platform::io::PhysicalDeviceConfig config;
    config.hardwareIds = {u"USB\\VID_1209&PID_0002&REV_0100", u"USB\\VID_1209&PID_0002"};
    config.deviceDescription = u"USB Headset";
    m_Pdo = platform::io::CreatePhysicalDevice(config);
    ASSERT_EQ(STATUS_SUCCESS, m_Host.LoadDriver(StandinDriverEntry, u"standin"));
    ASSERT_EQ(STATUS_SUCCESS, m_Host.AddDevice(m_Pdo));
    ASSERT_EQ(STATUS_SUCCESS, m_Host.Start());
  }
  void TearDown() override {
    delete m_Topology;
    delete m_Wave;
    if (m_Host.AdapterDevice()) {
      EXPECT_EQ(STATUS_SUCCESS, m_Host.Remove());
    }
    m_Host.Unload();
    platform::io::DeletePhysicalDevice(m_Pdo);
    platform::portcls::ResetForTest();
    KernelTest::TearDown();
  }
  FilterHandle* Topology() {
    if (!m_Topology) {
      EXPECT_EQ(STATUS_SUCCESS, m_Host.OpenFilter(u"GlobalTopo", &m_Topology));
    }
    return m_Topology;
  }
  FilterHandle* Wave() {
    if (!m_Wave) {
      EXPECT_EQ(STATUS_SUCCESS, m_Host.OpenFilter(u"HeadSetOut00Wave", &m_Wave));
    }
    return m_Wave;
  }
  PDEVICE_OBJECT Adapter() { return m_Host.AdapterDevice(); }

  Host m_Host;
  PDEVICE_OBJECT m_Pdo = nullptr;
  FilterHandle* m_Topology = nullptr;
  FilterHandle* m_Wave = nullptr;
};

TEST_F(PortClsTest, StartRegistersTheFiltersByTheMiniportsNamesWithInterfacesAndConnection) {
  auto filters = m_Host.Filters();
  ASSERT_EQ(2u, filters.size());
  EXPECT_EQ(u"GlobalTopo", filters[0].name);
  EXPECT_FALSE(filters[0].waveCyclic);
  EXPECT_EQ(u"HeadSetOut00Wave", filters[1].name);
  EXPECT_TRUE(filters[1].waveCyclic);

  // The audio stack finds filters by interface: one per category, the
  // subdevice name as reference string, enabled while the device runs.
  auto audio = platform::io::DeviceInterfaces(&KSCATEGORY_AUDIO);
  ASSERT_EQ(2u, audio.size());
  EXPECT_TRUE(audio[0].enabled && audio[1].enabled);
  EXPECT_EQ(1u, platform::io::DeviceInterfaces(&KSCATEGORY_RENDER).size());
  EXPECT_EQ(1u, platform::io::DeviceInterfaces(&KSCATEGORY_TOPOLOGY).size());

  auto connections = platform::portcls::PhysicalConnections(Adapter());
  ASSERT_EQ(1u, connections.size());
  EXPECT_EQ(u"HeadSetOut00Wave", connections[0].fromSubdevice);
  EXPECT_EQ(1u, connections[0].fromPin);
  EXPECT_EQ(u"GlobalTopo", connections[0].toSubdevice);
  EXPECT_EQ(kStreamPin, connections[0].toPin);
  EXPECT_EQ(PowerDeviceD0, platform::portcls::AdapterPowerState(Adapter()));

  EXPECT_EQ(STATUS_SUCCESS, m_Host.Remove());
  EXPECT_TRUE(platform::io::DeviceInterfaces(&KSCATEGORY_AUDIO).empty() ||
              !platform::io::DeviceInterfaces(&KSCATEGORY_AUDIO)[0].enabled);
}

TEST_F(PortClsTest, RegistrationRefusesDuplicatesOverflowAndDanglingConnections) {
  auto filters = m_Host.Filters();
  IPort* topology = filters[0].port;
  IPort* wave = filters[1].port;
  WCHAR name[] = u"globaltopo";
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, PcRegisterSubdevice(Adapter(), name, topology));
  EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, PcRegisterPhysicalConnection(Adapter(), wave, 1, topology, kStreamPin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, PcRegisterPhysicalConnection(Adapter(), wave, 5, topology, kStreamPin));

  PVOID object = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, wave->QueryInterface(IID_IUnregisterSubdevice, &object));
  auto* unregisterSubdevice = static_cast<IUnregisterSubdevice*>(object);
  ASSERT_EQ(STATUS_SUCCESS, wave->QueryInterface(IID_IUnregisterPhysicalConnection, &object));
  auto* unregisterConnection = static_cast<IUnregisterPhysicalConnection*>(object);

  // A filter cannot go while a connection still names it.
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, unregisterSubdevice->UnregisterSubdevice(Adapter(), wave));
  EXPECT_EQ(STATUS_NOT_FOUND, unregisterConnection->UnregisterPhysicalConnection(Adapter(), wave, 0, topology, 0));
  EXPECT_EQ(STATUS_SUCCESS,
            unregisterConnection->UnregisterPhysicalConnection(Adapter(), wave, 1, topology, kStreamPin));
  EXPECT_EQ(STATUS_SUCCESS, unregisterSubdevice->UnregisterSubdevice(Adapter(), wave));
  EXPECT_EQ(STATUS_NOT_FOUND, unregisterSubdevice->UnregisterSubdevice(Adapter(), wave));
  EXPECT_EQ(1u, m_Host.Filters().size());
  EXPECT_EQ(1u, platform::io::DeviceInterfaces(&KSCATEGORY_RENDER).size());
  EXPECT_FALSE(platform::io::DeviceInterfaces(&KSCATEGORY_RENDER)[0].enabled);
  unregisterConnection->Release();
  unregisterSubdevice->Release();

  // A port that never bound a miniport has no filter to register.
  PPORT fresh = nullptr;
  ASSERT_EQ(STATUS_SUCCESS, PcNewPort(&fresh, CLSID_PortWaveCyclic));
  WCHAR other[] = u"Other";
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, PcRegisterSubdevice(Adapter(), other, fresh));
  fresh->Release();
  EXPECT_EQ(STATUS_INVALID_PARAMETER, PcNewPort(&fresh, IID_IPort));
}

TEST_F(PortClsTest, PortReportsItsVersionAndOnlyItsOwnClassInterface) {
  IPort* topology = m_Host.Filters()[0].port;
  PVOID object = nullptr;
  EXPECT_EQ(STATUS_INVALID_PARAMETER, topology->QueryInterface(IID_IPortWaveCyclic, &object));
  EXPECT_EQ(nullptr, object);
  ASSERT_EQ(STATUS_SUCCESS, topology->QueryInterface(IID_IPortClsVersion, &object));
  auto* version = static_cast<IPortClsVersion*>(object);
  EXPECT_GE(version->GetVersion(), kVersionWinServer2003);
  platform::portcls::SetPortClsVersion(kVersionWinXPSP1);
  EXPECT_EQ(kVersionWinXPSP1, version->GetVersion());
  version->Release();
}

TEST_F(PortClsTest, PropertyPathReachesNodeHandlersWithGetSetAndGradedBasicSupport) {
  FilterHandle* f = Topology();
  LONG level = 0;
  EXPECT_EQ(STATUS_SUCCESS, f->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 0, &level));
  EXPECT_EQ(-12 * 65536, level);
  EXPECT_EQ(STATUS_SUCCESS, f->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 1, -20 * 65536));
  EXPECT_EQ(STATUS_SUCCESS, f->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 1, &level));
  EXPECT_EQ(-20 * 65536, level);
  EXPECT_EQ(STATUS_SUCCESS, f->SetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kMuteNode, 0, 5));
  EXPECT_EQ(STATUS_SUCCESS, f->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kMuteNode, 0, &level));
  EXPECT_EQ(1, level);

  // Basic support answers by the size offered; the byte count comes back
  // through the request's Information.
  ULONG channel[2] = {0, 0};
  UCHAR buffer[128] = {};
  struct Case {
    ULONG offered;
    NTSTATUS status;
    ULONG answered;
  } cases[] = {{2, STATUS_BUFFER_TOO_SMALL, 88}, {8, STATUS_SUCCESS, 4}, {40, STATUS_SUCCESS, 40},
               {87, STATUS_SUCCESS, 40}, {128, STATUS_SUCCESS, 88}};
  for (const Case& c : cases) {
    ULONG size = c.offered;
    EXPECT_EQ(c.status, f->Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT,
                                     kVolumeNode, channel, sizeof(channel), buffer, &size))
        << c.offered;
    EXPECT_EQ(c.answered, size) << c.offered;
  }
  auto* description = reinterpret_cast<KSPROPERTY_DESCRIPTION*>(buffer);
  EXPECT_EQ(88u, description->DescriptionSize);
  auto* ranges = reinterpret_cast<KSPROPERTY_STEPPING_LONG*>(buffer + 56);
  EXPECT_EQ(kVolumeMinimum, ranges[1].Bounds.SignedMinimum);
  EXPECT_EQ(kVolumeStep, ranges[1].SteppingDelta);

  // What the tables do not name, and verbs an item does not serve.
  ULONG size = sizeof(LONG);
  EXPECT_EQ(STATUS_NOT_FOUND, f->Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, KSPROPERTY_TYPE_GET, kVolumeNode,
                                          channel, sizeof(channel), &level, &size));
  size = sizeof(LONG);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, f->Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                                  KSPROPERTY_TYPE_GET, 7, channel, sizeof(channel), &level, &size));
  ULONG pin = kHeadphonePin;
  size = sizeof(buffer);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, f->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
                                                       KSPROPERTY_TYPE_SET, ULONG(-1), &pin, sizeof(pin), buffer, &size));
  // A filter property with a size query, then the answer.
  size = 0;
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, f->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET,
                                                ULONG(-1), &pin, sizeof(pin), nullptr, &size));
  EXPECT_EQ(36u, size);
  size = sizeof(buffer);
  EXPECT_EQ(STATUS_SUCCESS, f->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_GET, ULONG(-1),
                                        &pin, sizeof(pin), buffer, &size));
  EXPECT_EQ(1u, reinterpret_cast<KSMULTIPLE_ITEM*>(buffer)->Count);
  // The framework answers basic support for an item that does not.
  size = sizeof(ULONG);
  EXPECT_EQ(STATUS_SUCCESS, f->Property(KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, KSPROPERTY_TYPE_BASICSUPPORT,
                                        ULONG(-1), &pin, sizeof(pin), buffer, &size));
  EXPECT_EQ(KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT, *reinterpret_cast<ULONG*>(buffer));
}

TEST_F(PortClsTest, ControlChangeReachesTheSubscribersOfThatNodeOnly) {
  FilterHandle* f = Topology();
  KEVENT volumeEvent, muteEvent;
  KeInitializeEvent(&volumeEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&muteEvent, NotificationEvent, FALSE);
  KSEVENTDATA volumeData, muteData, filterData;
  ASSERT_EQ(STATUS_SUCCESS, f->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, kVolumeNode,
                                           &volumeData, &volumeEvent));
  ASSERT_EQ(STATUS_SUCCESS, f->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, kMuteNode,
                                           &muteData, &muteEvent));
  EXPECT_EQ(STATUS_NOT_FOUND, f->EnableEvent(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, ULONG(-1),
                                             &filterData, &muteEvent));

  PUNKNOWN miniport = StandinTopologyMiniport(Adapter());
  ASSERT_EQ(STATUS_SUCCESS, StandinDeviceVolumeChange(miniport, 0, -30 * 65536));
  EXPECT_EQ(1, KeReadStateEvent(&volumeEvent));
  EXPECT_EQ(0, KeReadStateEvent(&muteEvent));
  EXPECT_EQ(1u, f->Filter()->EventDeliveries(&volumeData));
  LONG level = 0;
  EXPECT_EQ(STATUS_SUCCESS, f->GetChannelValue(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kVolumeNode, 0, &level));
  EXPECT_EQ(-30 * 65536, level);

  EXPECT_EQ(STATUS_SUCCESS, f->DisableEvent(&volumeData));
  EXPECT_EQ(STATUS_NOT_FOUND, f->DisableEvent(&volumeData));
  KeClearEvent(&volumeEvent);
  ASSERT_EQ(STATUS_SUCCESS, StandinDeviceVolumeChange(miniport, 1, -31 * 65536));
  EXPECT_EQ(0, KeReadStateEvent(&volumeEvent));
  // The mute subscription goes with the filter's close (TearDown).
}

TEST_F(PortClsTest, PinPathNegotiatesOpensOnceAndStreamsOnTheManualClock) {
  FilterHandle* f = Wave();
  KSDATARANGE wildcard{};
  wildcard.FormatSize = sizeof(wildcard);
  wildcard.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE chosen{};
  ULONG size = sizeof(chosen);
  ASSERT_EQ(STATUS_SUCCESS, f->Filter()->DataIntersection(0, &wildcard, sizeof(wildcard), &chosen, &size));
  EXPECT_EQ(104u, size);
  EXPECT_EQ(48000u, chosen.WaveFormatExt.Format.nSamplesPerSec);
  EXPECT_EQ(2u, chosen.WaveFormatExt.Format.nChannels);

  sim::host::WavData hiRate;
  hiRate.sampleRate = 96000;
  auto refused = sim::host::FormatFor(hiRate);
  Pin* pin = nullptr;
  EXPECT_EQ(STATUS_NO_MATCH, f->Filter()->CreatePin(0, &refused.DataFormat, &pin));
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, f->Filter()->CreatePin(1, &chosen.DataFormat, &pin));

  ASSERT_EQ(STATUS_SUCCESS, f->Filter()->CreatePin(0, &chosen.DataFormat, &pin));
  Pin* second = nullptr;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, f->Filter()->CreatePin(0, &chosen.DataFormat, &second));
  EXPECT_EQ(9600u, pin->BufferSize());  // 50 ms of 48 kHz stereo 16-bit
  EXPECT_EQ(1920u, pin->FramingSize());

  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_RUN));
  ULONG position = 0;
  platform::clock::AdvanceMs(35);
  EXPECT_EQ(STATUS_SUCCESS, pin->GetPosition(&position));
  EXPECT_EQ(3u * 1920, position);
  EXPECT_EQ(3u, pin->Notifications());
  platform::clock::AdvanceMs(20);
  EXPECT_EQ(STATUS_SUCCESS, pin->GetPosition(&position));
  EXPECT_EQ((5u * 1920) % 9600, position);  // wrapped
  ASSERT_EQ(STATUS_SUCCESS, pin->SetState(KSSTATE_PAUSE));
  platform::clock::AdvanceMs(20);
  EXPECT_EQ(5u, pin->Notifications());
  EXPECT_EQ(KSSTATE_PAUSE, pin->State());

  DRMRIGHTS rights{};
  EXPECT_EQ(STATUS_SUCCESS, pin->SetContentId(7, rights));
  Pin::Close(pin);
  ASSERT_EQ(STATUS_SUCCESS, f->Filter()->CreatePin(0, &chosen.DataFormat, &second));
  Pin::Close(second);
}

TEST_F(PortClsTest, RenderedAudioReachesTheDeviceInOrder) {
  sim::host::WavData tone = sim::host::SineWav(48000, 2, 1000.0, 0.2, 0.5);
  ULONG lastDone = 0;
  ASSERT_EQ(STATUS_SUCCESS, m_Host.Render(Wave(), tone, false, [&](const sim::host::StreamProgress& p) {
    EXPECT_GE(p.bytesDone, lastDone);
    lastDone = p.bytesDone;
  }));
  EXPECT_EQ(tone.samples.size(), lastDone);
  std::vector<UCHAR> played = StandinRenderedBytes(StandinWaveMiniport(Adapter()));
  ASSERT_GE(played.size(), tone.samples.size());
  EXPECT_TRUE(std::equal(tone.samples.begin(), tone.samples.end(), played.begin()));
}

TEST_F(PortClsTest, PowerIrpsReachTheAdapterAndCapabilitiesItsAnswer) {
  EXPECT_EQ(STATUS_SUCCESS, m_Host.SetDevicePower(PowerDeviceD3));
  EXPECT_EQ(PowerDeviceD3, platform::portcls::AdapterPowerState(Adapter()));
  EXPECT_EQ(STATUS_SUCCESS, m_Host.SetDevicePower(PowerDeviceD0));
  EXPECT_EQ(PowerDeviceD0, platform::portcls::AdapterPowerState(Adapter()));
  DEVICE_CAPABILITIES caps;
  EXPECT_EQ(STATUS_SUCCESS, m_Host.QueryCapabilities(&caps));
  EXPECT_EQ(1u, caps.SurpriseRemovalOK);

  DRMFORWARD forward{0, Adapter(), nullptr, nullptr};
  EXPECT_EQ(STATUS_SUCCESS, PcForwardContentToDeviceObject(9, nullptr, &forward));
  ASSERT_EQ(1u, platform::portcls::ForwardedContent().size());
  EXPECT_EQ(9u, platform::portcls::ForwardedContent()[0].contentId);
}

}  // namespace
