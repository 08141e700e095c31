// headset-host's `info` on devices whose data endpoints carry only some of
// the rates their formats name: the hardware model's text says which rates
// each alternate setting leaves out and why.
#include <gtest/gtest.h>

#include "driver/hal/ChipString.h"
#include "sim/device/MalformedDescriptors.h"
#include "tests/driver/hal/support/Devices.h"
#include "tests/tools/ToolsTest.h"
#include "tools/driverinfo.h"

namespace {

class DriverInfoTest : public toolstest::ToolsTest {};

TEST_F(DriverInfoTest, ModelTextNamesTheRatesAnEndpointCannotCarry) {
  using haltest::AsGeneral;
  using haltest::FormatType;
  struct Case {
    const char* name;
    sim::DescriptorSet set;
    const char* line;  // empty: no line about rates left out
    AudioHalChoice factory = AudioHalChoice::Product;
  };
  // The generic model offers every rate its descriptor names: none is left
  // out.
  sim::DescriptorSet generic = haltest::RenderDeviceWith({AsGeneral(1), FormatType(1, 2, 2, 16, {48000, 96000})}, 200);
  generic.strings[UAC1_PROBE_STRING_PRIMARY] = u"Generic";
  const Case cases[] = {
      {"96000 Hz on 200-byte packets", haltest::RenderDeviceWith({AsGeneral(1), FormatType(1, 2, 2, 16, {48000, 96000})}, 200),
       "rates left out:\n  interface 1 alternate setting 1: 96000 Hz (endpoint 0x01 carries 200 bytes a packet, 2 ch "
       "16-bit up to 50000 Hz)\n"},
      {"every rate fits", haltest::RenderDeviceWith({AsGeneral(1), FormatType(1, 2, 2, 16, {48000, 96000})}, 384), ""},
      {"a bulk endpoint", sim::malformed::BulkStreamingEndpoint(),
       "rates left out:\n  interface 1 alternate setting 1: every rate (endpoint 0x01 is a bulk endpoint, not "
       "isochronous)\n"},
      {"the generic model on 200-byte packets", generic, "", AudioHalChoice::ChipIdentifying},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::registry::Reset();
    const tools::DriverReport report =
        tools::RunDriver(c.set, haltest::PlainProfile(), platform::usb::Speed::Full, c.factory);
    ASSERT_EQ(report.start, STATUS_SUCCESS);
    if (*c.line) {
      EXPECT_NE(report.model.find(c.line), std::string::npos) << report.model;
    } else {
      EXPECT_EQ(report.model.find("rates left out"), std::string::npos) << report.model;
    }
  }
}

}  // namespace
