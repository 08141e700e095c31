#include "ks/ksguid.h"

#include <cctype>
#include <cstdio>

#include "ks/ksmedia.h"

namespace platform::ks {

std::string GuidToString(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

bool ParseGuid(const std::string& text, GUID* guid) {
  std::string s = text;
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36) return false;
  std::string hex;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (s[i] == '-')) return false;
    if (!dash) {
      if (!std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
      hex += s[i];
    }
  }
  auto field = [&](size_t at, size_t digits) { return std::stoull(hex.substr(at, digits), nullptr, 16); };
  GUID g{};
  g.Data1 = static_cast<ULONG>(field(0, 8));
  g.Data2 = static_cast<USHORT>(field(8, 4));
  g.Data3 = static_cast<USHORT>(field(12, 4));
  for (size_t i = 0; i < 8; ++i) g.Data4[i] = static_cast<UCHAR>(field(16 + 2 * i, 2));
  *guid = g;
  return true;
}

std::string GuidName(const GUID& guid) {
  struct Known {
    const GUID* guid;
    const char* name;
  };
#define KNOWN(g) {&g, #g}
  static const Known known[] = {
      KNOWN(KSCATEGORY_AUDIO),
      KNOWN(KSCATEGORY_RENDER),
      KNOWN(KSCATEGORY_CAPTURE),
      KNOWN(KSCATEGORY_TOPOLOGY),
      KNOWN(KSDATAFORMAT_TYPE_AUDIO),
      KNOWN(KSDATAFORMAT_SUBTYPE_PCM),
      KNOWN(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT),
      KNOWN(KSDATAFORMAT_SUBTYPE_ANALOG),
      KNOWN(KSDATAFORMAT_SPECIFIER_NONE),
      KNOWN(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX),
      KNOWN(KSDATAFORMAT_SPECIFIER_DSOUND),
      KNOWN(KSPROPSETID_Audio),
      KNOWN(KSPROPSETID_Jack),
      KNOWN(KSEVENTSETID_AudioControlChange),
      KNOWN(KSNODETYPE_DAC),
      KNOWN(KSNODETYPE_ADC),
      KNOWN(KSNODETYPE_SUM),
      KNOWN(KSNODETYPE_MUX),
      KNOWN(KSNODETYPE_MUTE),
      KNOWN(KSNODETYPE_VOLUME),
      KNOWN(KSNODETYPE_TONE),
      KNOWN(KSNODETYPE_AGC),
      KNOWN(KSNODETYPE_LOUDNESS),
      KNOWN(KSNODETYPE_DEV_SPECIFIC),
      KNOWN(KSNODETYPE_MICROPHONE),
      KNOWN(KSNODETYPE_DESKTOP_MICROPHONE),
      KNOWN(KSNODETYPE_SPEAKER),
      KNOWN(KSNODETYPE_HEADPHONES),
      KNOWN(KSNODETYPE_HANDSET),
      KNOWN(KSNODETYPE_HEADSET),
      KNOWN(KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION),
      KNOWN(KSNODETYPE_TELEPHONE),
      KNOWN(KSNODETYPE_ANALOG_CONNECTOR),
      KNOWN(KSNODETYPE_LINE_CONNECTOR),
      KNOWN(KSNODETYPE_SPDIF_INTERFACE),
      KNOWN(KSNODETYPE_CD_PLAYER),
      KNOWN(KSNODETYPE_VIDEO_DISC_AUDIO),
      KNOWN(KSNODETYPE_HDMI_INTERFACE),
      KNOWN(KSNODETYPE_DISPLAYPORT_INTERFACE),
      KNOWN(KSAUDFNAME_BASS),
      KNOWN(KSAUDFNAME_TREBLE),
      KNOWN(KSAUDFNAME_MIDRANGE),
      KNOWN(KSAUDFNAME_MICROPHONE_BOOST),
      KNOWN(KSCOMPONENTID_USBAUDIO),
  };
#undef KNOWN
  for (const Known& k : known)
    if (*k.guid == guid) return k.name;
  return GuidToString(guid);
}

}  // namespace platform::ks
