// The USBD parsing helpers against well-formed and malformed configuration
// descriptors: every walk stays inside the bytes that exist.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kernel/nt.h"
#include "sim/device/DefaultHeadset.h"
#include "sim/device/MalformedDescriptors.h"
#include "tests/support/KernelTest.h"
#include "usb/usbaudio.h"
#include "usb/usbdlib.h"

namespace {

using sim::Bytes;

class UsbdParseTest : public testsupport::KernelTest {};

// A configuration in pool memory of exactly `bytes.size()` bytes, as a
// driver holds it.
struct PoolConfig {
  explicit PoolConfig(const Bytes& bytes) {
    p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes.size(), MakeTag("Ucfg")));
    std::memcpy(p, bytes.data(), bytes.size());
  }
  ~PoolConfig() { ExFreePool(p); }
  PUSB_CONFIGURATION_DESCRIPTOR get() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(p); }
  PUCHAR p;
};

Bytes Config(std::vector<Bytes> descriptors, int totalLength = -1) {
  Bytes c{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, 1, 0, 0x80, 50};
  for (const Bytes& d : descriptors) c.insert(c.end(), d.begin(), d.end());
  const size_t total = totalLength < 0 ? c.size() : static_cast<size_t>(totalLength);
  c[2] = static_cast<uint8_t>(total);
  c[3] = static_cast<uint8_t>(total >> 8);
  return c;
}

const Bytes kAcInterface{9, 4, 0, 0, 0, 1, 1, 0, 0};
const Bytes kAsInterface{9, 4, 1, 1, 1, 1, 2, 0, 0};
const Bytes kEndpoint{9, 5, 0x01, 0x09, 0xC0, 0x00, 1, 0, 0};
const Bytes kAcHeader{9, 0x24, 1, 0, 1, 9, 0, 1, 1};

struct ParseCase {
  const char* name;
  Bytes config;
  int expectedOffset;  // of the AudioStreaming interface, -1 when none may be found
};

TEST_F(UsbdParseTest, FindsInterfacesOnlyWithinWhatReallyExists) {
  const std::vector<ParseCase> cases = {
      {"well formed", Config({kAcInterface, kAcHeader, kAsInterface, kEndpoint}), 27},
      {"bLength 0 before the interface", Config({kAcInterface, {0, 0x24, 1}, kAsInterface}), -1},
      {"descriptor past wTotalLength", Config({kAcInterface, {40, 0x24, 2, 0, 0}, kAsInterface}), -1},
      {"interface cut off by wTotalLength", Config({kAcInterface, kAsInterface}, 9 + 9 + 5), -1},
      {"wTotalLength below the header", Config({kAcInterface, kAsInterface}, 4), -1},
      {"interface shorter than its fixed part", Config({kAcInterface, {5, 4, 1, 1, 1}, kEndpoint}), -1},
      {"one stray byte at the end", Config({kAcInterface, kAsInterface, {7}}), 18},
      {"standard endpoint too short", Config({kAcInterface, {4, 5, 1, 9}, kAsInterface}), -1},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    PoolConfig config(c.config);
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
        config.get(), config.get(), -1, -1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1);
    if (c.expectedOffset < 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(reinterpret_cast<PUCHAR>(found) - config.p, c.expectedOffset);
    }
  }
}

TEST_F(UsbdParseTest, MatchesEveryCriterionAndResumesFromAStartPosition) {
  const Bytes alt0{9, 4, 1, 0, 0, 1, 2, 0, 0};
  PoolConfig config(Config({kAcInterface, kAcHeader, alt0, kAsInterface, kEndpoint}));
  auto find = [&](PVOID start, LONG number, LONG alt, LONG cls, LONG sub, LONG proto) -> long {
    auto* d = USBD_ParseConfigurationDescriptorEx(config.get(), start, number, alt, cls, sub, proto);
    return d ? reinterpret_cast<PUCHAR>(d) - config.p : -1;
  };
  EXPECT_EQ(find(config.p, 0, -1, -1, -1, -1), 9);
  EXPECT_EQ(find(config.p, 1, 0, -1, -1, -1), 27);
  EXPECT_EQ(find(config.p, 1, 1, -1, -1, -1), 36);
  EXPECT_EQ(find(config.p, -1, -1, 1, 1, 0), 9);
  EXPECT_EQ(find(config.p, -1, -1, 1, 1, 0x20), -1);
  EXPECT_EQ(find(config.p + 28, 1, -1, -1, -1, -1), -1);  // inside a descriptor: no valid walk
  EXPECT_EQ(find(config.p + 36, 1, -1, -1, -1, -1), 36);  // the start itself counts
  EXPECT_EQ(find(config.p + 45, -1, -1, -1, -1, -1), -1);
  EXPECT_EQ(find(config.p + 1000, -1, -1, -1, -1, -1), -1);
  EXPECT_EQ(find(config.p - 1, -1, -1, -1, -1, -1), -1);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, config.p, -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdParseTest, ParseDescriptorsIsBoundedByTheGivenLength) {
  const Bytes c = Config({kAcInterface, kAcHeader, kAsInterface, kEndpoint});
  PoolConfig config(c);
  auto offset = [&](PUSB_COMMON_DESCRIPTOR d) { return d ? reinterpret_cast<PUCHAR>(d) - config.p : -1; };
  const ULONG size = static_cast<ULONG>(c.size());
  EXPECT_EQ(offset(USBD_ParseDescriptors(config.p, size, config.p, USB_ENDPOINT_DESCRIPTOR_TYPE)), 36);
  EXPECT_EQ(offset(USBD_ParseDescriptors(config.p, size, config.p + 18, 0x24)), 18);
  // The endpoint lies outside a shorter length: not found, not read.
  EXPECT_EQ(offset(USBD_ParseDescriptors(config.p, 40, config.p, USB_ENDPOINT_DESCRIPTOR_TYPE)), -1);
  EXPECT_EQ(offset(USBD_ParseDescriptors(config.p, 0, config.p, USB_CONFIGURATION_DESCRIPTOR_TYPE)), -1);
  EXPECT_EQ(offset(USBD_ParseDescriptors(config.p, size, config.p + size, USB_ENDPOINT_DESCRIPTOR_TYPE)), -1);
}

// Every helper, over every case of the fault catalogue: whatever comes back
// lies wholly inside the configuration the device sent.
TEST_F(UsbdParseTest, SurvivesTheMalformedDescriptorCatalogue) {
  for (const auto& entry : sim::malformed::Catalogue()) {
    SCOPED_TRACE(entry.name);
    const Bytes bytes = entry.build().Configuration();
    PoolConfig config(bytes);
    const size_t bound = std::min<size_t>(bytes.size(), config.get()->wTotalLength);
    auto inside = [&](const void* d) {
      const auto* p = static_cast<const UCHAR*>(d);
      return p >= config.p && p + 2 <= config.p + bound && p + p[0] <= config.p + bound;
    };
    for (PUCHAR start = config.p;;) {
      PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config.get(), start, -1, -1, -1, -1, -1);
      if (!d) break;
      ASSERT_TRUE(inside(d));
      start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    for (LONG type : {USB_ENDPOINT_DESCRIPTOR_TYPE, USB_AUDIO_CS_INTERFACE, USB_AUDIO_CS_ENDPOINT}) {
      for (PUCHAR start = config.p;;) {
        PUSB_COMMON_DESCRIPTOR d = USBD_ParseDescriptors(config.p, static_cast<ULONG>(bound), start, type);
        if (!d) break;
        ASSERT_TRUE(inside(d));
        start = reinterpret_cast<PUCHAR>(d) + d->bLength;
      }
    }
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (PUCHAR start = config.p;;) {
      PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(config.get(), start, -1, 0, -1, -1, -1);
      if (!d) break;
      list.push_back({d, nullptr});
      start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(config.get(), list.data());
    if (urb) ExFreePool(urb);
  }
}

// The device reported a larger wTotalLength on the second read than the
// buffer was sized for: the walk ends at the buffer's end.
TEST_F(UsbdParseTest, ConfigurationGrownAfterTheBufferWasSizedIsReadOnlyToTheBufferEnd) {
  Bytes truthful = Config({kAcInterface, kAcHeader, kAsInterface});
  Bytes grown = truthful;
  grown[2] = 0xFF;  // the header now claims 255 bytes
  PoolConfig config(grown);
  EXPECT_EQ(platform::usb::ConfigurationExtent(config.get()), truthful.size());
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config.get(), config.p, -1, -1, -1, 3, -1), nullptr);
}

TEST_F(UsbdParseTest, CreateConfigurationRequestLaysOutOneRecordPerInterface) {
  const Bytes bytes = sim::headset::Descriptors().Configuration();
  PoolConfig config(bytes);
  USBD_INTERFACE_LIST_ENTRY list[4] = {};
  for (LONG i = 0; i < 3; ++i)
    list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config.get(), config.p, i, 0, -1, -1, -1);
  ASSERT_NE(list[2].InterfaceDescriptor, nullptr);

  PURB urb = USBD_CreateConfigurationRequestEx(config.get(), list);
  ASSERT_NE(urb, nullptr);
  // 40 bytes of head, then 48 (one pipe), 24 and 24 (no pipes).
  EXPECT_EQ(urb->UrbHeader.Length, 136);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config.get());
  const PUCHAR base = reinterpret_cast<PUCHAR>(urb);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[0].Interface) - base, 40);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface) - base, 88);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(list[2].Interface) - base, 112);
  EXPECT_EQ(list[0].Interface->Length, 48);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
  EXPECT_EQ(list[0].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_EQ(list[1].Interface->Length, 24);
  EXPECT_EQ(list[2].Interface->InterfaceNumber, 2);
  ExFreePool(urb);

  platform::pool::FailAllocationsWithTag(USBD_CONFIGURATION_REQUEST_TAG);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config.get(), list), nullptr);
  platform::pool::ClearFailures();

  // A listed descriptor that is not an interface of this configuration.
  USB_INTERFACE_DESCRIPTOR foreign{9, USB_INTERFACE_DESCRIPTOR_TYPE, 7, 0, 0, 1, 1, 0, 0};
  USBD_INTERFACE_LIST_ENTRY outside[2] = {{&foreign, nullptr}, {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config.get(), outside), nullptr);
  USBD_INTERFACE_LIST_ENTRY endpoint[2] = {
      {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
           USBD_ParseDescriptors(config.p, static_cast<ULONG>(bytes.size()), config.p, USB_ENDPOINT_DESCRIPTOR_TYPE)),
       nullptr},
      {nullptr, nullptr}};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config.get(), endpoint), nullptr);
}

}  // namespace
