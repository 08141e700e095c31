// How many channels a node shows while a given terminal type is in use
// downstream: speakers, line outputs, digital displays and streams carry
// every channel; headphones, headsets and the like carry a stereo pair.
#pragma once

#include "driver/common/PrivateInterfaces.h"

constexpr ULONG ReportedChannelCount(ULONG channels, ULONG outputType) {
  switch (outputType) {
    case PIN_CATEGORY_STREAM:
    case PIN_CATEGORY_SPK:
    case PIN_CATEGORY_HDMI:
    case PIN_CATEGORY_LINE:
      return channels;
    default:
      return channels < 2 ? channels : 2;
  }
}
