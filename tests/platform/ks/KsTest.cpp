// Kernel-streaming definitions: GUID text forms and the USB audio component
// ids formed from vendor and product ids.
#include <gtest/gtest.h>

#include "ks/ksguid.h"
#include "ks/ksmedia.h"

namespace {

TEST(KsTest, GuidTextRoundTripsAndRejectsMalformedText) {
  EXPECT_EQ("{45FFAAA0-6E1B-11D0-BCF2-444553540000}", platform::ks::GuidToString(KSPROPSETID_Audio));
  GUID g{};
  ASSERT_TRUE(platform::ks::ParseGuid("{e85e9698-fa2f-11d1-95bd-00c04fb925d3}", &g));
  EXPECT_TRUE(g == KSEVENTSETID_AudioControlChange);
  EXPECT_EQ("KSEVENTSETID_AudioControlChange", platform::ks::GuidName(g));
  for (const char* bad : {"", "{E85E9698-FA2F-11D1-95BD-00C04FB925D}", "E85E9698-FA2F-11D1-95BD_00C04FB925D3",
                          "{G85E9698-FA2F-11D1-95BD-00C04FB925D3}"})
    EXPECT_FALSE(platform::ks::ParseGuid(bad, &g)) << bad;
}

TEST(KsTest, UsbAudioComponentIdsCarryTheDeviceIds) {
  GUID mid, pid;
  INIT_USBAUDIO_MID(&mid, 0x1209);
  INIT_USBAUDIO_PID(&pid, 0x0002);
  EXPECT_EQ("{4E1CFEDB-1679-463B-A72F-A5BF64C86EBA}", platform::ks::GuidToString(mid));
  EXPECT_EQ("{ABCC5A60-C263-463B-A72F-A5BF64C86EBA}", platform::ks::GuidToString(pid));
}

}  // namespace
