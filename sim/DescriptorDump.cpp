#include "sim/DescriptorDump.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "usb/usbaudio2.h"

namespace sim {

namespace {

using platform::usb::ReadLe16;
using platform::usb::ReadLe24;

class Printer {
 public:
  explicit Printer(const DescriptorSet& set) : m_Set(set) {}

  std::string Take() { return std::move(m_Out); }

  void Line(int indent, const char* format, ...) __attribute__((format(printf, 3, 4))) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    m_Out.append(static_cast<size_t>(indent), ' ');
    m_Out += buffer;
    m_Out += '\n';
  }

  // "name     value comment", the value right-aligned as lsusb does.
  void Field(int indent, const char* name, const std::string& value, const std::string& comment = "") {
    Line(indent, "%-19s%6s%s%s", name, value.c_str(), comment.empty() ? "" : " ", comment.c_str());
  }
  void Number(int indent, const char* name, unsigned value, const std::string& comment = "") {
    Field(indent, name, std::to_string(value), comment);
  }
  void Hex8(int indent, const char* name, unsigned value, const std::string& comment = "") {
    Field(indent, name, Format("0x%02x", value), comment);
  }
  void Hex16(int indent, const char* name, unsigned value, const std::string& comment = "") {
    Field(indent, name, Format("0x%04x", value), comment);
  }
  void Bcd(int indent, const char* name, unsigned value) {
    Field(indent, name, Format("%x.%02x", value >> 8, value & 0xFF));
  }
  void StringIndex(int indent, const char* name, unsigned index) { Number(indent, name, index, String(index)); }

  std::string String(unsigned index) const {
    auto it = m_Set.strings.find(static_cast<uint8_t>(index));
    return index == 0 || it == m_Set.strings.end() ? std::string() : Utf16ToUtf8(it->second);
  }

  static std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2))) {
    char buffer[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
  }

  void HexDump(int indent, const uint8_t* d, size_t length) {
    std::string line;
    for (size_t i = 0; i < length; ++i) {
      line += Format("%02x ", d[i]);
      if (i % 16 == 15 || i + 1 == length) {
        Line(indent, "%s", line.c_str());
        line.clear();
      }
    }
  }

  void Device();
  void Configuration(const Bytes& config);

 private:
  void Interface(const uint8_t* d);
  void Endpoint(const uint8_t* d, size_t length);
  void AudioControl(const uint8_t* d, size_t length);
  void AudioStreaming(const uint8_t* d, size_t length);
  void AudioEndpoint(const uint8_t* d, size_t length);
  // Audio Class 2.0 (the interface's protocol 0x20).
  void AudioControl2(const uint8_t* d, size_t length);
  void AudioStreaming2(const uint8_t* d, size_t length);
  void AudioEndpoint2(const uint8_t* d, size_t length);
  // A 32-bit bmChannelConfig, its spatial positions one a line.
  void ChannelConfig32(int indent, const char* name, uint32_t config);
  // bmControls bit pairs: `names[k]` is the control of pair k + 1.
  void ControlPairs(int indent, const char* name, uint32_t controls, unsigned width, const char* const* names,
                    size_t count);
  void ChannelConfig(int indent, unsigned config);
  void Controls(int indent, const char* name, const uint8_t* d, size_t size, size_t at);

  const DescriptorSet& m_Set;
  std::string m_Out;
  uint8_t m_Class = 0;
  uint8_t m_SubClass = 0;
  uint8_t m_Protocol = 0;
};

const char* TerminalTypeName(unsigned type) {
  switch (type) {
    case USB_AUDIO_TERMINAL_USB_UNDEFINED:
      return "USB Undefined";
    case USB_AUDIO_TERMINAL_USB_STREAMING:
      return "USB Streaming";
    case USB_AUDIO_TERMINAL_USB_VENDOR:
      return "USB Vendor Specific";
    case USB_AUDIO_TERMINAL_MICROPHONE:
      return "Microphone";
    case USB_AUDIO_TERMINAL_DESKTOP_MICROPHONE:
      return "Desktop Microphone";
    case USB_AUDIO_TERMINAL_PERSONAL_MICROPHONE:
      return "Personal Microphone";
    case USB_AUDIO_TERMINAL_OMNI_MICROPHONE:
      return "Omni-directional Microphone";
    case USB_AUDIO_TERMINAL_MICROPHONE_ARRAY:
      return "Microphone Array";
    case USB_AUDIO_TERMINAL_SPEAKER:
      return "Speaker";
    case USB_AUDIO_TERMINAL_HEADPHONES:
      return "Headphones";
    case USB_AUDIO_TERMINAL_DESKTOP_SPEAKER:
      return "Desktop Speaker";
    case USB_AUDIO_TERMINAL_ROOM_SPEAKER:
      return "Room Speaker";
    case USB_AUDIO_TERMINAL_COMMUNICATION_SPEAKER:
      return "Communication Speaker";
    case USB_AUDIO_TERMINAL_LFE_SPEAKER:
      return "Low Frequency Effects Speaker";
    case USB_AUDIO_TERMINAL_HANDSET:
      return "Handset";
    case USB_AUDIO_TERMINAL_HEADSET:
      return "Headset";
    case USB_AUDIO_TERMINAL_SPEAKERPHONE:
      return "Speakerphone";
    case USB_AUDIO_TERMINAL_ECHO_SUPPRESSING_SPEAKERPHONE:
      return "Echo-suppressing speakerphone";
    case USB_AUDIO_TERMINAL_ECHO_CANCELING_SPEAKERPHONE:
      return "Echo-canceling speakerphone";
    case USB_AUDIO_TERMINAL_ANALOG_CONNECTOR:
      return "Analog Connector";
    case USB_AUDIO_TERMINAL_DIGITAL_INTERFACE:
      return "Digital Audio Interface";
    case USB_AUDIO_TERMINAL_LINE_CONNECTOR:
      return "Line Connector";
    case USB_AUDIO_TERMINAL_SPDIF:
      return "SPDIF interface";
    default:
      return "";
  }
}

const char* FeatureControlName(unsigned cs) {
  static const char* const names[] = {
      "Mute",           "Volume", "Bass",       "Mid",     "Treble", "Graphic Equalizer",
      "Automatic Gain", "Delay",  "Bass Boost", "Loudness"};
  return cs >= 1 && cs <= 10 ? names[cs - 1] : nullptr;
}

void Printer::Device() {
  const Bytes& d = m_Set.device;
  Line(0, "Device Descriptor:");
  if (d.size() < sizeof(USB_DEVICE_DESCRIPTOR)) {
    Line(2, "** device descriptor truncated (%zu bytes)", d.size());
    HexDump(4, d.data(), d.size());
    return;
  }
  Number(2, "bLength", d[0]);
  Number(2, "bDescriptorType", d[1]);
  Bcd(2, "bcdUSB", ReadLe16(&d[2]));
  Number(2, "bDeviceClass", d[4], d[4] == 0 ? "(Defined at Interface level)" : "");
  Number(2, "bDeviceSubClass", d[5]);
  Number(2, "bDeviceProtocol", d[6]);
  Number(2, "bMaxPacketSize0", d[7]);
  Hex16(2, "idVendor", ReadLe16(&d[8]));
  Hex16(2, "idProduct", ReadLe16(&d[10]));
  Bcd(2, "bcdDevice", ReadLe16(&d[12]));
  StringIndex(2, "iManufacturer", d[14]);
  StringIndex(2, "iProduct", d[15]);
  StringIndex(2, "iSerial", d[16]);
  Number(2, "bNumConfigurations", d[17]);
}

void Printer::Configuration(const Bytes& c) {
  Line(2, "Configuration Descriptor:");
  if (c.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    Line(4, "** configuration descriptor truncated (%zu bytes)", c.size());
    return;
  }
  const unsigned total = ReadLe16(&c[2]);
  Number(4, "bLength", c[0]);
  Number(4, "bDescriptorType", c[1]);
  Hex16(4, "wTotalLength", total);
  Number(4, "bNumInterfaces", c[4]);
  Number(4, "bConfigurationValue", c[5]);
  StringIndex(4, "iConfiguration", c[6]);
  Hex8(4, "bmAttributes", c[7]);
  if (c[7] & USB_CONFIG_SELF_POWERED)
    Line(6, "Self Powered");
  else
    Line(6, "(Bus Powered)");
  if (c[7] & USB_CONFIG_REMOTE_WAKEUP) Line(6, "Remote Wakeup");
  Field(4, "MaxPower", Format("%umA", 2u * c[8]));
  if (total != c.size()) Line(4, "** wTotalLength %u differs from the %zu bytes read", total, c.size());

  const size_t end = c.size();
  size_t offset = c[0] >= 2 ? c[0] : sizeof(USB_CONFIGURATION_DESCRIPTOR);
  m_Class = m_SubClass = m_Protocol = 0;
  while (offset < end) {
    const size_t left = end - offset;
    const uint8_t* d = c.data() + offset;
    if (left < 2) {
      Line(4, "** %zu stray byte(s) at offset %zu", left, offset);
      return;
    }
    const size_t length = d[0];
    if (length == 0) {
      Line(4, "** descriptor with bLength 0 at offset %zu; the rest is not read", offset);
      return;
    }
    if (length > left) {
      Line(4, "** descriptor at offset %zu (bLength %zu) runs past the end (%zu bytes left)", offset, length, left);
      HexDump(6, d, left);
      return;
    }
    switch (d[1]) {
      case USB_INTERFACE_DESCRIPTOR_TYPE:
        if (length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
          Interface(d);
          break;
        }
        [[fallthrough]];
      default:
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
          Endpoint(d, length);
        } else if (d[1] == USB_AUDIO_CS_INTERFACE && m_Class == USB_DEVICE_CLASS_AUDIO && length >= 3 &&
                   m_SubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL) {
          if (m_Protocol == USB_AUDIO_PROTOCOL_UAC2)
            AudioControl2(d, length);
          else
            AudioControl(d, length);
        } else if (d[1] == USB_AUDIO_CS_INTERFACE && m_Class == USB_DEVICE_CLASS_AUDIO && length >= 3 &&
                   m_SubClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING) {
          if (m_Protocol == USB_AUDIO_PROTOCOL_UAC2)
            AudioStreaming2(d, length);
          else
            AudioStreaming(d, length);
        } else if (d[1] == USB_AUDIO_CS_ENDPOINT && m_Class == USB_DEVICE_CLASS_AUDIO && length >= 3) {
          if (m_Protocol == USB_AUDIO_PROTOCOL_UAC2)
            AudioEndpoint2(d, length);
          else
            AudioEndpoint(d, length);
        } else {
          Line(6, "** UNRECOGNIZED: ");
          HexDump(8, d, length);
        }
        break;
    }
    offset += length;
  }
}

void Printer::Interface(const uint8_t* d) {
  m_Class = d[5];
  m_SubClass = d[6];
  m_Protocol = d[7];
  Line(4, "Interface Descriptor:");
  Number(6, "bLength", d[0]);
  Number(6, "bDescriptorType", d[1]);
  Number(6, "bInterfaceNumber", d[2]);
  Number(6, "bAlternateSetting", d[3]);
  Number(6, "bNumEndpoints", d[4]);
  Number(6, "bInterfaceClass", d[5], d[5] == USB_DEVICE_CLASS_AUDIO ? "Audio" : "");
  const char* sub = d[5] != USB_DEVICE_CLASS_AUDIO              ? ""
                    : d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL   ? "Control Device"
                    : d[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING ? "Streaming"
                    : d[6] == USB_AUDIO_SUBCLASS_MIDISTREAMING  ? "MIDI Streaming"
                                                                : "";
  Number(6, "bInterfaceSubClass", d[6], sub);
  Number(6, "bInterfaceProtocol", d[7],
         d[5] == USB_DEVICE_CLASS_AUDIO && d[7] == USB_AUDIO_PROTOCOL_UAC2 ? "Audio Class 2.0" : "");
  StringIndex(6, "iInterface", d[8]);
}

void Printer::Endpoint(const uint8_t* d, size_t length) {
  static const char* const types[] = {"Control", "Isochronous", "Bulk", "Interrupt"};
  static const char* const syncs[] = {"None", "Asynchronous", "Adaptive", "Synchronous"};
  static const char* const usages[] = {"Data", "Feedback", "Implicit feedback Data", "Reserved"};
  Line(6, "Endpoint Descriptor:");
  Number(8, "bLength", d[0]);
  Number(8, "bDescriptorType", d[1]);
  Hex8(8, "bEndpointAddress", d[2], Format(" EP %u %s", d[2] & 0x0F, (d[2] & 0x80) ? "IN" : "OUT"));
  Number(8, "bmAttributes", d[3]);
  Line(10, "Transfer Type            %s", types[d[3] & 3]);
  Line(10, "Synch Type               %s", syncs[(d[3] >> 2) & 3]);
  Line(10, "Usage Type               %s", usages[(d[3] >> 4) & 3]);
  const unsigned packet = ReadLe16(d + 4);
  Hex16(8, "wMaxPacketSize", packet, Format(" %ux %u bytes", 1 + ((packet >> 11) & 3), packet & 0x7FF));
  Number(8, "bInterval", d[6]);
  if (length >= 9) {
    Number(8, "bRefresh", d[7]);
    Number(8, "bSynchAddress", d[8]);
  }
}

void Printer::ChannelConfig(int indent, unsigned config) {
  static const char* const names[] = {
      "Left Front (L)",     "Right Front (R)",     "Center Front (C)",    "Low Frequency Enhancement (LFE)",
      "Left Surround (LS)", "Right Surround (RS)", "Left of Center (LC)", "Right of Center (RC)",
      "Surround (S)",       "Side Left (SL)",      "Side Right (SR)",     "Top (T)"};
  for (unsigned bit = 0; bit < 12; ++bit)
    if (config & (1u << bit)) Line(indent, "%s", names[bit]);
}

void Printer::Controls(int indent, const char* name, const uint8_t* d, size_t size, size_t at) {
  unsigned bitmap = 0;
  for (size_t b = 0; b < size && b < 4; ++b) bitmap |= static_cast<unsigned>(d[at + b]) << (8 * b);
  Field(indent, name, Format("0x%0*x", static_cast<int>(2 * std::min<size_t>(size, 4)), bitmap));
  for (unsigned cs = 1; cs <= 32; ++cs)
    if (bitmap & (1u << (cs - 1))) {
      const char* control = FeatureControlName(cs);
      if (control)
        Line(indent + 2, "%s Control", control);
      else
        Line(indent + 2, "Control %u", cs);
    }
}

void Printer::AudioControl(const uint8_t* d, size_t length) {
  static const char* const subtypes[] = {"UNDEFINED",       "HEADER",          "INPUT_TERMINAL",
                                         "OUTPUT_TERMINAL", "MIXER_UNIT",      "SELECTOR_UNIT",
                                         "FEATURE_UNIT",    "PROCESSING_UNIT", "EXTENSION_UNIT"};
  const uint8_t subtype = d[2];
  Line(6, "AudioControl Interface Descriptor:");
  Number(8, "bLength", d[0]);
  Number(8, "bDescriptorType", d[1]);
  Number(8, "bDescriptorSubtype", subtype, Format("(%s)", subtype <= 8 ? subtypes[subtype] : "unknown"));
  auto truncated = [&] { Line(8, "** descriptor too short for its kind (bLength %zu)", length); };
  switch (subtype) {
    case USB_AUDIO_AC_HEADER: {
      if (length < 8) return truncated();
      Bcd(8, "bcdADC", ReadLe16(d + 3));
      Hex16(8, "wTotalLength", ReadLe16(d + 5));
      Number(8, "bInCollection", d[7]);
      for (size_t i = 0; i < d[7]; ++i) {
        if (8 + i >= length) {
          Line(8, "** baInterfaceNr(%zu) lies past bLength", i);
          break;
        }
        Number(8, Format("baInterfaceNr(%zu)", i).c_str(), d[8 + i]);
      }
      break;
    }
    case USB_AUDIO_AC_INPUT_TERMINAL:
      if (length < 12) return truncated();
      Number(8, "bTerminalID", d[3]);
      Hex16(8, "wTerminalType", ReadLe16(d + 4), TerminalTypeName(ReadLe16(d + 4)));
      Number(8, "bAssocTerminal", d[6]);
      Number(8, "bNrChannels", d[7]);
      Hex16(8, "wChannelConfig", ReadLe16(d + 8));
      ChannelConfig(10, ReadLe16(d + 8));
      Number(8, "iChannelNames", d[10], String(d[10]));
      StringIndex(8, "iTerminal", d[11]);
      break;
    case USB_AUDIO_AC_OUTPUT_TERMINAL:
      if (length < 9) return truncated();
      Number(8, "bTerminalID", d[3]);
      Hex16(8, "wTerminalType", ReadLe16(d + 4), TerminalTypeName(ReadLe16(d + 4)));
      Number(8, "bAssocTerminal", d[6]);
      Number(8, "bSourceID", d[7]);
      StringIndex(8, "iTerminal", d[8]);
      break;
    case USB_AUDIO_AC_MIXER_UNIT:
    case USB_AUDIO_AC_SELECTOR_UNIT: {
      if (length < 5) return truncated();
      Number(8, "bUnitID", d[3]);
      Number(8, "bNrInPins", d[4]);
      size_t at = 5;
      for (size_t i = 0; i < d[4]; ++i, ++at) {
        if (at >= length) {
          Line(8, "** baSourceID(%zu) and later lie past bLength", i);
          return;
        }
        Number(8, Format("baSourceID(%zu)", i).c_str(), d[at]);
      }
      if (subtype == USB_AUDIO_AC_SELECTOR_UNIT) {
        if (at < length) StringIndex(8, "iSelector", d[at]);
        break;
      }
      if (at + 4 > length) return truncated();
      Number(8, "bNrChannels", d[at]);
      Hex16(8, "wChannelConfig", ReadLe16(d + at + 1));
      ChannelConfig(10, ReadLe16(d + at + 1));
      Number(8, "iChannelNames", d[at + 3]);
      for (size_t i = at + 4; i + 1 < length; ++i) Hex8(8, Format("bmControls(%zu)", i - at - 4).c_str(), d[i]);
      StringIndex(8, "iMixer", d[length - 1]);
      break;
    }
    case USB_AUDIO_AC_FEATURE_UNIT: {
      if (length < 6) return truncated();
      Number(8, "bUnitID", d[3]);
      Number(8, "bSourceID", d[4]);
      Number(8, "bControlSize", d[5]);
      const size_t size = d[5];
      if (size == 0) {
        Line(8, "** bControlSize 0: no control bitmaps can be read");
        break;
      }
      const size_t entries = length >= 7 ? (length - 7) / size : 0;
      for (size_t i = 0; i < entries; ++i) Controls(8, Format("bmaControls(%2zu)", i).c_str(), d, size, 6 + i * size);
      if (length >= 7) StringIndex(8, "iFeature", d[length - 1]);
      break;
    }
    case USB_AUDIO_AC_PROCESSING_UNIT:
    case USB_AUDIO_AC_EXTENSION_UNIT: {
      if (length < 7) return truncated();
      Number(8, "bUnitID", d[3]);
      Hex16(8, subtype == USB_AUDIO_AC_PROCESSING_UNIT ? "wProcessType" : "wExtensionCode", ReadLe16(d + 4));
      Number(8, "bNrInPins", d[6]);
      for (size_t i = 0; i < d[6]; ++i) {
        if (7 + i >= length) {
          Line(8, "** baSourceID(%zu) and later lie past bLength", i);
          return;
        }
        Number(8, Format("baSourceID(%zu)", i).c_str(), d[7 + i]);
      }
      HexDump(8, d + 7 + d[6], length - 7 - d[6]);
      break;
    }
    default:
      HexDump(8, d + 3, length - 3);
      break;
  }
}

void Printer::AudioStreaming(const uint8_t* d, size_t length) {
  Line(6, "AudioStreaming Interface Descriptor:");
  Number(8, "bLength", d[0]);
  Number(8, "bDescriptorType", d[1]);
  const uint8_t subtype = d[2];
  const char* name = subtype == USB_AUDIO_AS_GENERAL       ? "(AS_GENERAL)"
                     : subtype == USB_AUDIO_AS_FORMAT_TYPE ? "(FORMAT_TYPE)"
                                                           : "";
  Number(8, "bDescriptorSubtype", subtype, name);
  if (subtype == USB_AUDIO_AS_GENERAL && length >= 7) {
    Number(8, "bTerminalLink", d[3]);
    Number(8, "bDelay", d[4], "frames");
    const unsigned tag = ReadLe16(d + 5);
    Hex16(8, "wFormatTag", tag,
          tag == USB_AUDIO_FORMAT_PCM          ? "PCM"
          : tag == USB_AUDIO_FORMAT_IEEE_FLOAT ? "IEEE_FLOAT"
                                               : "");
    return;
  }
  if (subtype == USB_AUDIO_AS_FORMAT_TYPE && length >= 8) {
    const uint8_t type = d[3];
    Number(8, "bFormatType", type, Format("(Type %s)", type == 1 ? "I" : type == 2 ? "II" : type == 3 ? "III" : "?"));
    size_t countAt = 7;
    if (type == USB_AUDIO_FORMAT_TYPE_II) {
      if (length < 9) return;
      Number(8, "wMaxBitRate", ReadLe16(d + 4));
      Number(8, "wSamplesPerFrame", ReadLe16(d + 6));
      countAt = 8;
    } else {
      Number(8, "bNrChannels", d[4]);
      Number(8, "bSubframeSize", d[5]);
      Number(8, "bBitResolution", d[6]);
    }
    const uint8_t count = d[countAt];
    Number(8, "bSamFreqType", count, count ? "Discrete" : "Continuous");
    if (count == 0) {
      if (countAt + 7 > length) return Line(8, "** range lies past bLength");
      Number(8, "tLowerSamFreq", ReadLe24(d + countAt + 1));
      Number(8, "tUpperSamFreq", ReadLe24(d + countAt + 4));
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      const size_t at = countAt + 1 + 3 * i;
      if (at + 3 > length) return Line(8, "** tSamFreq[%2zu] and later lie past bLength", i);
      Number(8, Format("tSamFreq[%2zu]", i).c_str(), ReadLe24(d + at));
    }
    return;
  }
  HexDump(8, d + 3, length - 3);
}

void Printer::AudioEndpoint(const uint8_t* d, size_t length) {
  Line(8, "AudioStreaming Endpoint Descriptor:");
  Number(10, "bLength", d[0]);
  Number(10, "bDescriptorType", d[1]);
  Number(10, "bDescriptorSubtype", d[2], d[2] == USB_AUDIO_EP_GENERAL ? "(EP_GENERAL)" : "");
  if (length < 7) return;
  Hex8(10, "bmAttributes", d[3]);
  if (d[3] & USB_AUDIO_EP_ATTR_SAMPLING_FREQ) Line(12, "Sampling Frequency");
  if (d[3] & USB_AUDIO_EP_ATTR_PITCH) Line(12, "Pitch");
  if (d[3] & USB_AUDIO_EP_ATTR_MAX_PACKETS_ONLY) Line(12, "MaxPacketsOnly");
  Number(10, "bLockDelayUnits", d[4], d[4] == 1 ? "Milliseconds" : d[4] == 2 ? "Decoded PCM samples" : "Undefined");
  Hex16(10, "wLockDelay", ReadLe16(d + 5));
}


// ---- Audio Class 2.0 ---------------------------------------------------------------------

namespace {

const char* PairAccess(unsigned pair) {
  switch (pair) {
    case 1: return "read-only";
    case 3: return "read/write";
    default: return "invalid";
  }
}

const char* const kFeatureControls2[] = {"Mute",       "Volume",         "Bass",           "Mid",
                                         "Treble",     "Graphic Equalizer", "Automatic Gain", "Delay",
                                         "Bass Boost", "Loudness",       "Input Gain",     "Input Gain Pad",
                                         "Phase Inverter", "Underflow",  "Overflow"};
const char* const kInputTerminalControls2[] = {"Copy Protect", "Connector", "Overload",
                                               "Cluster",      "Underflow", "Overflow"};
const char* const kOutputTerminalControls2[] = {"Copy Protect", "Connector", "Overload", "Underflow", "Overflow"};
const char* const kClockControls2[] = {"Clock Frequency", "Clock Validity"};
const char* const kClockKinds[] = {"External clock", "Internal fixed clock", "Internal variable clock",
                                   "Internal programmable clock"};

}  // namespace

void Printer::ChannelConfig32(int indent, const char* name, uint32_t config) {
  static const char* const positions[] = {
      "Front Left (FL)",         "Front Right (FR)",         "Front Center (FC)",      "Low Frequency Effects (LFE)",
      "Back Left (BL)",          "Back Right (BR)",          "Front Left of Center (FLC)", "Front Right of Center (FRC)",
      "Back Center (BC)",        "Side Left (SL)",           "Side Right (SR)",        "Top Center (TC)",
      "Top Front Left (TFL)",    "Top Front Center (TFC)",   "Top Front Right (TFR)",  "Top Back Left (TBL)",
      "Top Back Center (TBC)",   "Top Back Right (TBR)",     "Top Front Left of Center (TFLC)",
      "Top Front Right of Center (TFRC)", "Left Low Frequency Effects (LLFE)", "Right Low Frequency Effects (RLFE)",
      "Top Side Left (TSL)",     "Top Side Right (TSR)",     "Bottom Center (BC)",     "Back Left of Center (BLC)",
      "Back Right of Center (BRC)"};
  Field(8, name, Format("0x%08x", config));
  for (unsigned bit = 0; bit < 27; ++bit)
    if (config & (1u << bit)) Line(indent, "%s", positions[bit]);
  if (config & 0x80000000u) Line(indent, "Raw Data (RD)");
}

void Printer::ControlPairs(int indent, const char* name, uint32_t controls, unsigned width, const char* const* names,
                           size_t count) {
  Field(indent, name, Format("0x%0*x", static_cast<int>(width * 2), controls));
  for (unsigned k = 0; k < 16 && k < 4u * width; ++k) {
    const unsigned pair = (controls >> (2 * k)) & 3;
    if (!pair) continue;
    if (k < count)
      Line(indent + 2, "%s Control (%s)", names[k], PairAccess(pair));
    else
      Line(indent + 2, "Control %u (%s)", k + 1, PairAccess(pair));
  }
}

void Printer::AudioControl2(const uint8_t* d, size_t length) {
  static const char* const subtypes[] = {"UNDEFINED",      "HEADER",         "INPUT_TERMINAL",  "OUTPUT_TERMINAL",
                                         "MIXER_UNIT",     "SELECTOR_UNIT",  "FEATURE_UNIT",    "EFFECT_UNIT",
                                         "PROCESSING_UNIT", "EXTENSION_UNIT", "CLOCK_SOURCE",   "CLOCK_SELECTOR",
                                         "CLOCK_MULTIPLIER", "SAMPLE_RATE_CONVERTER"};
  const uint8_t subtype = d[2];
  Line(6, "AudioControl Interface Descriptor:");
  Number(8, "bLength", d[0]);
  Number(8, "bDescriptorType", d[1]);
  Number(8, "bDescriptorSubtype", subtype, Format("(%s)", subtype <= 13 ? subtypes[subtype] : "unknown"));
  auto truncated = [&] { Line(8, "** descriptor too short for its kind (bLength %zu)", length); };
  // A counted source list at `at`, each entry within bLength.
  auto sources = [&](size_t countAt) -> size_t {
    const size_t count = d[countAt];
    Number(8, "bNrInPins", d[countAt]);
    for (size_t i = 0; i < count; ++i) {
      if (countAt + 1 + i >= length) {
        Line(8, "** baSourceID(%zu) and later lie past bLength", i);
        return 0;
      }
      Number(8, Format("baSourceID(%zu)", i).c_str(), d[countAt + 1 + i]);
    }
    return countAt + 1 + count;
  };
  switch (subtype) {
    case USB_AUDIO2_AC_HEADER:
      if (length < 9) return truncated();
      Bcd(8, "bcdADC", ReadLe16(d + 3));
      Number(8, "bCategory", d[5]);
      Hex16(8, "wTotalLength", ReadLe16(d + 6));
      Hex8(8, "bmControls", d[8]);
      break;
    case USB_AUDIO2_AC_CLOCK_SOURCE:
      if (length < 8) return truncated();
      Number(8, "bClockID", d[3]);
      Number(8, "bmAttributes", d[4], Format("%s%s", kClockKinds[d[4] & 3], (d[4] & 4) ? ", synced to SOF" : ""));
      ControlPairs(8, "bmControls", d[5], 1, kClockControls2, 2);
      Number(8, "bAssocTerminal", d[6]);
      StringIndex(8, "iClockSource", d[7]);
      break;
    case USB_AUDIO2_AC_CLOCK_SELECTOR: {
      if (length < 5) return truncated();
      Number(8, "bClockID", d[3]);
      const size_t at = sources(4);
      if (at && at + 2 <= length) {
        Hex8(8, "bmControls", d[at]);
        StringIndex(8, "iClockSelector", d[at + 1]);
      }
      break;
    }
    case USB_AUDIO2_AC_CLOCK_MULTIPLIER:
      if (length < 7) return truncated();
      Number(8, "bClockID", d[3]);
      Number(8, "bCSourceID", d[4]);
      Hex8(8, "bmControls", d[5]);
      StringIndex(8, "iClockMultiplier", d[6]);
      break;
    case USB_AUDIO2_AC_INPUT_TERMINAL:
      if (length < 17) return truncated();
      Number(8, "bTerminalID", d[3]);
      Hex16(8, "wTerminalType", ReadLe16(d + 4), TerminalTypeName(ReadLe16(d + 4)));
      Number(8, "bAssocTerminal", d[6]);
      Number(8, "bCSourceID", d[7]);
      Number(8, "bNrChannels", d[8]);
      ChannelConfig32(10, "bmChannelConfig", platform::usb::ReadLe32(d + 9));
      Number(8, "iChannelNames", d[13], String(d[13]));
      ControlPairs(8, "bmControls", ReadLe16(d + 14), 2, kInputTerminalControls2, 6);
      StringIndex(8, "iTerminal", d[16]);
      break;
    case USB_AUDIO2_AC_OUTPUT_TERMINAL:
      if (length < 12) return truncated();
      Number(8, "bTerminalID", d[3]);
      Hex16(8, "wTerminalType", ReadLe16(d + 4), TerminalTypeName(ReadLe16(d + 4)));
      Number(8, "bAssocTerminal", d[6]);
      Number(8, "bSourceID", d[7]);
      Number(8, "bCSourceID", d[8]);
      ControlPairs(8, "bmControls", ReadLe16(d + 9), 2, kOutputTerminalControls2, 5);
      StringIndex(8, "iTerminal", d[11]);
      break;
    case USB_AUDIO2_AC_FEATURE_UNIT: {
      if (length < 6) return truncated();
      Number(8, "bUnitID", d[3]);
      Number(8, "bSourceID", d[4]);
      const size_t entries = (length - 6) / 4;
      for (size_t i = 0; i < entries; ++i)
        ControlPairs(8, Format("bmaControls(%2zu)", i).c_str(), platform::usb::ReadLe32(d + 5 + 4 * i), 4,
                     kFeatureControls2, ARRAYSIZE(kFeatureControls2));
      StringIndex(8, "iFeature", d[length - 1]);
      break;
    }
    case USB_AUDIO2_AC_MIXER_UNIT:
    case USB_AUDIO2_AC_SELECTOR_UNIT: {
      if (length < 5) return truncated();
      Number(8, "bUnitID", d[3]);
      const size_t at = sources(4);
      if (!at) return;
      if (subtype == USB_AUDIO2_AC_SELECTOR_UNIT) {
        if (at + 2 <= length) {
          ControlPairs(8, "bmControls", d[at], 1, kFeatureControls2, 0);
          StringIndex(8, "iSelector", d[at + 1]);
        }
        break;
      }
      if (at + 6 > length) return truncated();
      Number(8, "bNrChannels", d[at]);
      ChannelConfig32(10, "bmChannelConfig", platform::usb::ReadLe32(d + at + 1));
      HexDump(8, d + at + 5, length - at - 5);
      break;
    }
    case USB_AUDIO2_AC_EXTENSION_UNIT: {
      if (length < 7) return truncated();
      Number(8, "bUnitID", d[3]);
      Hex16(8, "wExtensionCode", ReadLe16(d + 4));
      const size_t at = sources(6);
      if (at && at < length) HexDump(8, d + at, length - at);
      break;
    }
    default:
      HexDump(8, d + 3, length - 3);
      break;
  }
}

void Printer::AudioStreaming2(const uint8_t* d, size_t length) {
  Line(6, "AudioStreaming Interface Descriptor:");
  Number(8, "bLength", d[0]);
  Number(8, "bDescriptorType", d[1]);
  const uint8_t subtype = d[2];
  const char* name = subtype == USB_AUDIO2_AS_GENERAL       ? "(AS_GENERAL)"
                     : subtype == USB_AUDIO2_AS_FORMAT_TYPE ? "(FORMAT_TYPE)"
                                                            : "";
  Number(8, "bDescriptorSubtype", subtype, name);
  if (subtype == USB_AUDIO2_AS_GENERAL && length >= 15) {
    Number(8, "bTerminalLink", d[3]);
    Hex8(8, "bmControls", d[4]);
    Number(8, "bFormatType", d[5]);
    const uint32_t formats = platform::usb::ReadLe32(d + 6);
    Field(8, "bmFormats", Format("0x%08x", formats));
    if (d[5] == USB_AUDIO_FORMAT_TYPE_I) {
      static const char* const kinds[] = {"PCM", "PCM8", "IEEE_FLOAT", "ALAW", "MULAW"};
      for (unsigned bit = 0; bit < 5; ++bit)
        if (formats & (1u << bit)) Line(10, "%s", kinds[bit]);
    }
    if (formats & USB_AUDIO2_FORMAT_RAW_DATA) Line(10, "TYPE_I_RAW_DATA");
    Number(8, "bNrChannels", d[10]);
    ChannelConfig32(10, "bmChannelConfig", platform::usb::ReadLe32(d + 11));
    if (length >= 16) Number(8, "iChannelNames", d[15], String(d[15]));
    return;
  }
  if (subtype == USB_AUDIO2_AS_FORMAT_TYPE && length >= 6) {
    const uint8_t type = d[3];
    Number(8, "bFormatType", type, Format("(FORMAT_TYPE_%s)", type == 1 ? "I" : type == 2 ? "II" : type == 3 ? "III" : "?"));
    Number(8, "bSubslotSize", d[4]);
    Number(8, "bBitResolution", d[5]);
    return;
  }
  HexDump(8, d + 3, length - 3);
}

void Printer::AudioEndpoint2(const uint8_t* d, size_t length) {
  Line(8, "AudioStreaming Endpoint Descriptor:");
  Number(10, "bLength", d[0]);
  Number(10, "bDescriptorType", d[1]);
  Number(10, "bDescriptorSubtype", d[2], d[2] == USB_AUDIO_EP_GENERAL ? "(EP_GENERAL)" : "");
  if (length < 8) return;
  Hex8(10, "bmAttributes", d[3]);
  if (d[3] & USB_AUDIO_EP_ATTR_MAX_PACKETS_ONLY) Line(12, "MaxPacketsOnly");
  Hex8(10, "bmControls", d[4]);
  Number(10, "bLockDelayUnits", d[5], d[5] == 1 ? "Milliseconds" : d[5] == 2 ? "Decoded PCM samples" : "Undefined");
  Hex16(10, "wLockDelay", ReadLe16(d + 6));
}

}  // namespace

std::string DumpDescriptors(const DescriptorSet& set) {
  Printer p(set);
  p.Device();
  for (const Bytes& config : set.configurations) p.Configuration(config);
  return p.Take();
}

}  // namespace sim
