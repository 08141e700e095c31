#include "driver/common/PrivateInterfaces.h"

const WCHAR* const PinCategoryPrefixes[PIN_CATEGORY_COUNT] = {
    u"Stream", u"SPK",   u"HP",   u"SPDIF",     u"HDMI",    u"DisplayPort", u"Line",
    u"Mic",    u"Aux",   u"CD",   u"Video",     u"FMic",    u"Telephone",   u"HandSet",
    u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP", u"Rec",
};
