#include <string>
#include <vector>

#include "driver/AsioIoctlTable.h"
#include "tests/driver/DriverHarness.h"

namespace {

using drivertest::DriverHarness;
using testsupport::CaptureEngine;
using testsupport::RenderEngine;
using testsupport::TestAudioHal;
using testsupport::TestHalConfig;

using Names = std::vector<std::u16string>;

TestHalConfig Engines(std::vector<testsupport::TestEngineSpec> engines) {
  TestHalConfig config;
  config.engines = std::move(engines);
  return config;
}

class DriverEntryTest : public DriverHarness {};

TEST_F(DriverEntryTest, StartRegistersTheTopologyAndOneNamedWaveFilterPerEngine) {
  UseModel(Engines({RenderEngine(PIN_CATEGORY_HEADSET), RenderEngine(PIN_CATEGORY_HEADSET),
                    CaptureEngine(PIN_CATEGORY_HEADSET), CaptureEngine(PIN_CATEGORY_MIC)}));
  ASSERT_EQ(Start(), STATUS_SUCCESS);

  EXPECT_EQ(SubdeviceNames(),
            (Names{u"GlobalTopo", u"HeadSetOut00Wave", u"HeadSetOut01Wave", u"HeadSetIn00Wave", u"MicIn00Wave"}));
  EXPECT_EQ(platform::portcls::PhysicalConnections(Fdo()).size(), 4u);
  EXPECT_TRUE(platform::portcls::HasAdapterPowerManagement(Fdo()));
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 1u);
  EXPECT_EQ(InterfaceCount(GUID_ASIO_PRIVATE_INTERFACE, false), 1u);
  EXPECT_EQ(InterfaceCount(GUID_ASIO_PRIVATE_INTERFACE, true), 0u);
  ASSERT_NE(DeviceObject(), nullptr);
  ASSERT_NE(Model(), nullptr);
  EXPECT_EQ(Model()->startCount, 1);
  EXPECT_EQ(Extension()->OutputNameCounters[PIN_CATEGORY_HEADSET], 2);
  EXPECT_EQ(Extension()->InputNameCounters[PIN_CATEGORY_HEADSET], 1);

  // Removal takes everything with it; the fixture's teardown proves that no
  // pool block, named object, timer or resolution request is left.
  TestAudioHal* model = Model();
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_FALSE(TestAudioHal::IsAlive(model));
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 0u);
}

TEST_F(DriverEntryTest, DeviceWithoutEnginesStartsWithTheTopologyOnly) {
  UseModel(Engines({}));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(SubdeviceNames(), (Names{u"GlobalTopo"}));
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 1u);
}

class AsioCapabilityTest : public DriverHarness, public ::testing::WithParamInterface<bool> {};

TEST_P(AsioCapabilityTest, AsioInterfaceIsEnabledOnlyWhenAnEngineIsAsioCapable) {
  const bool asio = GetParam();
  TestHalConfig config = Engines({RenderEngine(PIN_CATEGORY_HEADSET), CaptureEngine(PIN_CATEGORY_MIC)});
  config.engines[1].asio = asio;
  UseModel(config);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(InterfaceCount(GUID_ASIO_PRIVATE_INTERFACE, true), asio ? 1u : 0u);
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 1u);
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(InterfaceCount(GUID_ASIO_PRIVATE_INTERFACE, true), 0u);
}
INSTANTIATE_TEST_SUITE_P(Capability, AsioCapabilityTest, ::testing::Bool());

TEST_F(DriverEntryTest, OldPortClassFailsTheStartBeforeAnyDeviceObjectExists) {
  platform::portcls::SetPortClsVersion(kVersionWinXPSP1);
  EXPECT_EQ(Start(), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(TestAudioHal::Models().empty());
  for (const auto& usage : platform::pool::Outstanding()) EXPECT_NE(usage.tag, USB_AUDIO_DEVICE_TAG);
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
}

TEST_F(DriverEntryTest, AddDeviceThatFailsAnywhereLeavesNothingAttachedAndTheNextAttemptWorks) {
  Plug();
  bool failedOnce = false;
  for (size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_EQ(Host().LoadDriver(DriverEntry, u"headset"), STATUS_SUCCESS);
    platform::pool::FailNthAllocation(n);
    const NTSTATUS status = Host().AddDevice(Pdo());
    platform::pool::ClearFailures();
    if (NT_SUCCESS(status)) {
      EXPECT_NE(Pdo()->AttachedDevice, nullptr);
      break;
    }
    failedOnce = true;
    // Nothing of the attempt is left: no device on the PDO, none of the
    // driver's, no interface links; the driver unloads.
    EXPECT_EQ(Pdo()->AttachedDevice, nullptr);
    EXPECT_EQ(Host().Driver()->DeviceObject, nullptr);
    EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, false), 0u);
    Host().Unload();
    ASSERT_LT(n, 50u);
  }
  EXPECT_TRUE(failedOnce);
  // The device the last attempt added starts and streams its filters.
  ASSERT_EQ(Host().Start(), STATUS_SUCCESS);
  EXPECT_FALSE(SubdeviceNames().empty());
}

TEST_F(DriverEntryTest, FailedTopologyInstallFailsTheStartBeforeAnyEngineIsNamed) {
  SetMiniportFactories({nullptr, testsupport::CreateTestWaveMiniport});
  EXPECT_EQ(Start(), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(SubdeviceNames().empty());
  ASSERT_NE(Model(), nullptr);
  WCHAR name[STREAM_ENGINE_NAME_CHARS] = {u'x'};
  ASSERT_EQ(Model()->Engine(0)->GetName(name), STATUS_SUCCESS);
  EXPECT_EQ(name[0], 0);
  for (UCHAR counter : Extension()->OutputNameCounters) EXPECT_EQ(counter, 0);
  EXPECT_EQ(Extension()->Adapter, nullptr);
  // Removal after a failed start neither stops the model nor walks the
  // engines, and still leaves nothing behind.
  TestAudioHal* model = Model();
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_FALSE(TestAudioHal::IsAlive(model));
}

TEST_F(DriverEntryTest, FailureToEnableTheAsioInterfaceLeavesTheStartAlone) {
  // The ASIO interface is enabled first.
  TestHalConfig config = Engines({RenderEngine(PIN_CATEGORY_HEADSET)});
  config.engines[0].asio = true;
  UseModel(config);
  ASSERT_EQ(LoadAndAdd(), STATUS_SUCCESS);
  platform::io::FailNextInterfaceStateChange(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(InterfaceCount(GUID_ASIO_PRIVATE_INTERFACE, true), 0u);
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 1u);
}

TEST_F(DriverEntryTest, FailureToEnableTheEnumerationInterfaceFailsTheStart) {
  ASSERT_EQ(LoadAndAdd(), STATUS_SUCCESS);
  platform::io::FailNextInterfaceStateChange(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Extension()->Adapter, nullptr);
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 0u);
}

TEST_F(DriverEntryTest, SurpriseRemovalThenRemovalStopsAndRemovesTwice) {
  UseModel(Engines({RenderEngine(PIN_CATEGORY_HEADSET), CaptureEngine(PIN_CATEGORY_MIC)}));
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  // Kept past the removal to see what it was asked.
  TestAudioHal* model = Model();
  model->GetInnerUnknown()->AddRef();

  EXPECT_EQ(SurpriseRemove(), STATUS_SUCCESS);
  EXPECT_EQ(model->stopCount, 1);
  EXPECT_EQ(SubdeviceNames(), (Names{u"GlobalTopo"}));
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, true), 0u);
  EXPECT_EQ(InterfaceCount(GUID_ENUM_PRIVATE_INTERFACE, false), 1u);
  EXPECT_NE(Extension()->Adapter, nullptr);

  // The engines no longer have filters; removing them again succeeds.
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_EQ(model->stopCount, 2);
  EXPECT_FALSE(platform::debug::Contains("Remove Miniport Failed"));
  model->GetInnerUnknown()->Release();
  EXPECT_FALSE(TestAudioHal::IsAlive(model));
}

// An engine whose filter cannot be taken down.
class StuckEngine : public CStreamEngine {
 public:
  using CStreamEngine::CStreamEngine;
  NTSTATUS STDMETHODCALLTYPE RemoveSubdevice(PDEVICE_OBJECT) override { return STATUS_UNSUCCESSFUL; }
};

TEST_F(DriverEntryTest, RemovalStopsAtTheFirstEngineThatCannotBeRemovedAndSaysWhich) {
  TestHalConfig config = Engines({RenderEngine(PIN_CATEGORY_HEADSET)});
  config.build = [](TestAudioHal& model) {
    auto* engine = new (NonPagedPool, testsupport::TEST_AUDIO_HAL_TAG) StuckEngine(nullptr, 1);
    engine->NonDelegatingAddRef();
    NTSTATUS status = engine->Init(STREAM_DIRECTION_RENDER);
    if (NT_SUCCESS(status)) status = model.AddStreamEngine(engine);
    engine->Release();
    return status;
  };
  UseModel(config);
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  EXPECT_EQ(Remove(), STATUS_SUCCESS);
  EXPECT_TRUE(platform::debug::Contains("Remove Miniport Failed StreamEngine ulIdx = 1\n"));
}

TEST_F(DriverEntryTest, FailedRemovalInTheFrameworkStillReleasesTheDeviceObject) {
  Plug();
  const LONG pdoReferences = platform::ob::ReferenceCount(Pdo());
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  TestAudioHal* model = Model();
  platform::io::SetPhysicalDeviceDispatch(Pdo(), IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_UNSUCCESSFUL;
  });
  EXPECT_EQ(Remove(), STATUS_UNSUCCESSFUL);
  // The lower-device and adapter references went all the same: no device
  // object, model or lower-device reference outlives the device.
  EXPECT_FALSE(TestAudioHal::IsAlive(model));
  EXPECT_EQ(platform::ob::ReferenceCount(Pdo()), pdoReferences);
}

TEST_F(DriverEntryTest, AsioRequestsBeforeASuccessfulStartFailCleanly) {
  // Added, not started: no device object yet.
  ASSERT_EQ(LoadAndAdd(), STATUS_SUCCESS);
  PFILE_OBJECT asio = OpenFile(ASIO_FILE_NAME);
  EXPECT_EQ(SendCreate(asio), STATUS_UNSUCCESSFUL);
  ULONG value = 0;
  EXPECT_EQ(SendIoctl(asio, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &value, sizeof(value)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendIoctl(asio, 0x1D6FFC, nullptr, 0, nullptr, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendClose(asio), STATUS_UNSUCCESSFUL);

  // After a failed start the same.
  SetMiniportFactories({nullptr, nullptr});
  EXPECT_NE(Start(), STATUS_SUCCESS);
  EXPECT_EQ(SendCreate(asio), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SendIoctl(asio, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &value, sizeof(value)), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendClose(asio), STATUS_UNSUCCESSFUL);
}

TEST_F(DriverEntryTest, RequestsReachTheAsioInterfaceByFileNameInAnyCase) {
  ASSERT_EQ(Start(), STATUS_SUCCESS);
  for (const char16_t* name : {u"\\VZASIOPrivateInterface", u"\\vzasioprivateinterface"}) {
    PFILE_OBJECT asio = OpenFile(name);
    EXPECT_EQ(SendCreate(asio), STATUS_SUCCESS);
    ULONG_PTR information = 99;
    ULONG value = 0;
    EXPECT_EQ(SendIoctl(asio, IOCTL_ASIO_GET_SAMPLE_RATE, nullptr, 0, &value, sizeof(value), false, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 48000u);
    EXPECT_EQ(information, sizeof(value));
    EXPECT_EQ(SendIoctl(asio, 0x1D6FFC, nullptr, 0, nullptr, 0), STATUS_NOT_SUPPORTED);
    // A 32-bit host passes 4-byte handles; 8 bytes from it are refused.
    ULONGLONG handle = 0x1234;
    information = 99;
    EXPECT_EQ(SendIoctl(asio, IOCTL_ASIO_SET_NOTIFY_EVENT, &handle, 8, nullptr, 0, true, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    // 4 bytes reach the operation, which finds no event behind the handle.
    EXPECT_EQ(SendIoctl(asio, IOCTL_ASIO_SET_NOTIFY_EVENT, &handle, 4, nullptr, 0, true), STATUS_INVALID_HANDLE);
    EXPECT_EQ(SendClose(asio), STATUS_SUCCESS);
  }
  // Any other name is a filter of the framework's.
  PFILE_OBJECT topology = OpenFile(u"\\GlobalTopo");
  EXPECT_EQ(SendCreate(topology), STATUS_SUCCESS);
  EXPECT_NE(topology->FsContext, nullptr);
  EXPECT_EQ(SendClose(topology), STATUS_SUCCESS);
}

TEST_F(DriverEntryTest, EntryRequiresWindowsXpOrLater) {
  struct Case {
    ULONG system;
    NTSTATUS status;
  };
  for (const Case& c :
       {Case{NTDDI_WIN2K, STATUS_UNSUCCESSFUL}, Case{NTDDI_WINXP, STATUS_SUCCESS}, Case{NTDDI_WIN7, STATUS_SUCCESS}}) {
    SCOPED_TRACE(c.system);
    platform::version::SetSystem(c.system);
    PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\headset");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\headset");
    EXPECT_EQ(DriverEntry(driver, &path), c.status);
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(driver->MajorFunction[IRP_MJ_PNP], DispatchPnp);
      EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], DispatchDeviceControl);
      EXPECT_EQ(driver->DriverExtension->AddDevice, AddDevice);
    } else {
      EXPECT_EQ(driver->DriverExtension->AddDevice, nullptr);
    }
    platform::io::DeleteDriverObject(driver);
  }
}

TEST_F(DriverEntryTest, EngineNamesCountPerDirectionAndCategory) {
  DeviceExtension extension{};
  WCHAR name[STREAM_ENGINE_NAME_CHARS];
  auto next = [&](ULONG capture, ULONG category) {
    EXPECT_EQ(FormatEngineName(&extension, capture, category, name), STATUS_SUCCESS);
    return std::u16string(name);
  };
  EXPECT_EQ(next(0, PIN_CATEGORY_HEADSET), u"HeadSetOut00");
  EXPECT_EQ(next(0, PIN_CATEGORY_HEADSET), u"HeadSetOut01");
  EXPECT_EQ(next(1, PIN_CATEGORY_HEADSET), u"HeadSetIn00");
  EXPECT_EQ(next(0, PIN_CATEGORY_SPK), u"SPKOut00");
  EXPECT_EQ(next(1, PIN_CATEGORY_REC), u"RecIn00");
  // A category outside the prefix table (a failure status returned in its
  // place, for one) is named and counted as Stream.
  EXPECT_EQ(next(0, static_cast<ULONG>(STATUS_UNSUCCESSFUL)), u"StreamOut00");
  EXPECT_EQ(next(1, PIN_CATEGORY_COUNT), u"StreamIn00");
  EXPECT_EQ(extension.OutputNameCounters[PIN_CATEGORY_STREAM], 1);
  EXPECT_EQ(extension.InputNameCounters[PIN_CATEGORY_STREAM], 1);
  // The counters are bytes: the 257th engine of a category is 00 again.
  extension.OutputNameCounters[PIN_CATEGORY_LINE] = 255;
  EXPECT_EQ(next(0, PIN_CATEGORY_LINE), u"LineOut255");
  EXPECT_EQ(next(0, PIN_CATEGORY_LINE), u"LineOut00");
}

}  // namespace
