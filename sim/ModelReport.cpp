#include "sim/ModelReport.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <typeinfo>

#include "driver/CHeadsetUsbDevice.h"
#include "driver/hal/CK784AudioHal.h"
#include "sim/Model7753Report.h"
#include "variants/7753/C7753AudioHal.h"
#include "kernel/format.h"
#include "streaming/CUsbStreamEngine.h"
#include "topology/CProductRoomEffectNodes.h"
#include "topology/CRoomEffectNode.h"
#include "topology/CClockNode.h"
#include "topology/CUac1Terminal.h"
#include "topology/TopologyInterfaces.h"
#include "sim/Printf.h"
#include "usb/usbdlib.h"
#include "variants/uac2/CUac2AudioHal.h"

namespace sim {
namespace {

const char* NodeTypeName(ULONG type) {
  switch (type) {
    case NODE_TYPE_INPUT_PIN: return "input pin";
    case NODE_TYPE_OUTPUT_PIN: return "output pin";
    case NODE_TYPE_MUTE: return "mute";
    case NODE_TYPE_VOLUME: return "volume";
    case NODE_TYPE_SELECTOR: return "selector";
    case NODE_TYPE_SUM: return "sum";
    case NODE_TYPE_AGC: return "agc";
    case NODE_TYPE_LOUDNESS: return "loudness";
    case NODE_TYPE_INPUT_GAIN_PAD: return "gain pad";
    case NODE_TYPE_BASS: return "bass";
    case NODE_TYPE_MID: return "mid";
    case NODE_TYPE_TREBLE: return "treble";
    case NODE_TYPE_CLOCK: return "clock";
    case NODE_TYPE_OUTPUT_TYPE: return "output type";
    case NODE_TYPE_DEVICE_SWITCH: return "device switch";
    case NODE_TYPE_BOARD_SWITCH: return "board switch";
    case NODE_TYPE_PROCESSING: return "processing";
    default: return "node";
  }
}

const char* UnitTypeName(ULONG type) {
  switch (type) {
    case UAC_SUBTYPE_INPUT_TERMINAL: return "input terminal";
    case UAC_SUBTYPE_OUTPUT_TERMINAL: return "output terminal";
    case UAC_SUBTYPE_MIXER_UNIT: return "mixer unit";
    case UAC_SUBTYPE_SELECTOR_UNIT: return "selector unit";
    case UAC_SUBTYPE_FEATURE_UNIT: return "feature unit";
    case UAC2_SUBTYPE_EXTENSION_UNIT: return "extension unit";
    case UAC2_SUBTYPE_CLOCK_SOURCE: return "clock source";
    default: return "unit";
  }
}

std::string Category(ULONG category) {
  return Printf("%s (%lu)", platform::Narrow(PinCategoryPrefix(category)).c_str(), static_cast<unsigned long>(category));
}

std::string Level(LONG level) {
  if (level == LEVEL_MINUS_INFINITY) return "-inf dB";
  return Printf("%.2f dB", level / 65536.0);
}

std::string Ids(ITopoNode* node) {
  ULONG ids[256];
  ULONG count = 256;
  if (node->GetSourceCount() == 0 || !NT_SUCCESS(node->GetSourceIds(&count, ids))) return "none";
  std::string out;
  for (ULONG i = 0; i < count; ++i) {
    if (i) out += ' ';
    out += ids[i] == MISSING_SOURCE_ID ? "missing" : std::to_string(ids[i]);
  }
  return out;
}

template <typename T>
T* Query(IUnknown* node, REFIID iid) {
  PVOID object = nullptr;
  if (!NT_SUCCESS(node->QueryInterface(iid, &object)) || !object) return nullptr;
  static_cast<T*>(object)->Release();  // the model keeps the node
  return static_cast<T*>(object);
}

// What the node holds now, and its range where it has one.
std::string NodeState(ITopoNode* node) {
  std::string out;
  if (auto* level = Query<ILevelNode>(node, IID_ILevelNode)) {
    LONG maximum = 0, minimum = 0, step = 0;
    if (NT_SUCCESS(level->GetRange(&maximum, &minimum, &step)))
      out += "range " + Level(minimum) + " .. " + Level(maximum) + " step " + Level(step) + ", ";
    ULONG channels = 0;
    level->GetChannelCount(&channels);
    out += "levels";
    for (ULONG c = 0; c < channels; ++c) {
      LONG value = 0;
      out += ' ';
      out += NT_SUCCESS(level->GetLevel(c, &value)) ? Level(value) : "?";
    }
  } else if (auto* sw = Query<ISwitchNode>(node, IID_ISwitchNode)) {
    ULONG channels = 0;
    sw->GetChannelCount(&channels);
    out += "values";
    for (ULONG c = 0; c < channels; ++c) {
      UCHAR value = 0;
      out += NT_SUCCESS(sw->GetValue(c, &value)) ? (value ? " on" : " off") : " ?";
    }
  } else if (auto* type = Query<IOutputTypeNode>(node, IID_IOutputTypeNode)) {
    PinCategory current = 0;
    ULONG count = 0;
    type->GetCategory(&current);
    out += "type " + Category(current);
    if (NT_SUCCESS(type->GetTypeCount(&count)) && count > 0 && count <= 16) {
      PinCategory list[16] = {};
      if (NT_SUCCESS(type->GetTypeList(list))) {
        out += " of";
        for (ULONG i = 0; i < count; ++i) {
          out += ' ';
          out += Category(list[i]);
        }
      }
    }
  } else if (auto* selector = Query<ISelector>(node, IID_ISelector)) {
    ULONG input = 0, count = 0;
    selector->GetInput(&input);
    selector->GetInputCount(&count);
    out += Printf("input %lu of %lu", static_cast<unsigned long>(input), static_cast<unsigned long>(count));
  } else if (auto* terminal = Query<ITerminal>(node, IID_ITerminal)) {
    PinCategory category = 0;
    terminal->GetCategory(&category);
    out += "category " + Category(category);
    ULONG jacks = 0;
    if (NT_SUCCESS(terminal->GetJackCount(&jacks, 0)) && jacks) out += Printf(", %lu jack(s)", static_cast<unsigned long>(jacks));
  } else if (auto* clock = Query<IClockSource>(node, IID_IClockSource)) {
    ULONG rates[MAX_CLOCK_RATES] = {};
    ULONG count = MAX_CLOCK_RATES;
    ULONG current = 0;
    UCHAR valid = 0;
    out += "rates";
    if (NT_SUCCESS(clock->GetRateList(&count, rates)))
      for (ULONG i = 0; i < count; ++i) out += Printf(" %lu", static_cast<unsigned long>(rates[i]));
    if (NT_SUCCESS(clock->GetRate(&current)) && current) out += Printf(", current %lu Hz", static_cast<unsigned long>(current));
    if (NT_SUCCESS(clock->IsClockValid(&valid))) out += valid ? ", valid" : ", not valid";
  } else if (auto* processing = Query<IProcessingNode>(node, IID_IProcessingNode)) {
    UCHAR value = 0;
    GUID name{};
    const bool room = NT_SUCCESS(processing->GetNameGuid(&name)) && IsEqualGUIDAligned(name, NODE_NAME_ROOM_EFFECT);
    if (NT_SUCCESS(processing->GetValue(&value)))
      out += room ? Printf("room effect %s", value ? "on" : "off") : Printf("value %u", value);
    ULONG count = 0;
    ULONG settings[8] = {};
    if (NT_SUCCESS(processing->GetParameterCount(&count)) && count > 0 && count <= 8 &&
        NT_SUCCESS(processing->GetParameters(0, count, settings))) {
      out += ", settings";
      for (ULONG i = 0; i < count; ++i) out += Printf(" %ld", static_cast<long>(static_cast<LONG>(settings[i])));
    }
  }
  if (Query<IDspProcessor>(node, IID_IDspProcessor)) out += out.empty() ? "in software" : ", in software";
  return out;
}

std::string Format(const WAVEFORMATEXTENSIBLE& f) {
  const char* kind = "PCM";
  if (IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_UAC2_RAW_DATA))
    kind = "raw data";
  else if (!IsEqualGUIDAligned(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
    kind = (f.SubFormat.Data1 & 0xFFFF) == WAVE_FORMAT_DOLBY_AC3_SPDIF ? "IEC 61937 AC-3" : "IEC 61937 WMA Pro";
  return Printf("%u ch %lu Hz %u bit (%u valid) mask 0x%lX %s", f.Format.nChannels,
                static_cast<unsigned long>(f.Format.nSamplesPerSec), f.Format.wBitsPerSample,
                f.Samples.wValidBitsPerSample, static_cast<unsigned long>(f.dwChannelMask), kind);
}

// The class of an object, as its source names it.
std::string ClassName(const std::type_info& type) {
  int status = 0;
  char* name = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string out = status == 0 && name ? name : type.name();
  std::free(name);
  return out;
}

}  // namespace

CUacAudioHal* AudioClassModelOf(PDEVICE_OBJECT adapterDevice) {
  if (!adapterDevice || !adapterDevice->DeviceExtension) return nullptr;
  IAudioHal* adapter = GetDeviceExtension(adapterDevice)->Adapter;
  if (!adapter) return nullptr;
  auto* device = static_cast<CUsbAudioDevice*>(adapter);
  PUNKNOWN inner = device->GetModelUnknown();
  PVOID object = nullptr;
  // Every model answers IAudioHal on its inner unknown; not every one
  // answers IUsbAudioHal.
  if (!inner || !NT_SUCCESS(inner->QueryInterface(IID_IAudioHal, &object))) return nullptr;
  static_cast<IAudioHal*>(object)->Release();
  return dynamic_cast<CUacAudioHal*>(static_cast<IAudioHal*>(object));
}

namespace {

PKTHREAD StatusThreadOf(CUacAudioHal* model) {
  if (auto* uac1 = dynamic_cast<CUac1AudioHal*>(model)) return uac1->GetStatusThread();
  if (auto* uac2 = dynamic_cast<CUac2AudioHal*>(model)) return uac2->GetStatusThread();
  return nullptr;
}

}  // namespace

C7753AudioHal* ChipModel7753(PDEVICE_OBJECT adapterDevice) {
  return dynamic_cast<C7753AudioHal*>(AudioClassModelOf(adapterDevice));
}

bool LeavesOutUncarriedRates(PDEVICE_OBJECT adapterDevice) {
  return dynamic_cast<C7719AudioHal*>(AudioClassModelOf(adapterDevice)) != nullptr;
}

bool RunsStatusThread(PDEVICE_OBJECT adapterDevice) {
  CUacAudioHal* model = AudioClassModelOf(adapterDevice);
  return model && StatusThreadOf(model);
}

bool RoomEffectPlaysPrompt(PDEVICE_OBJECT adapterDevice) {
  CUacAudioHal* model = AudioClassModelOf(adapterDevice);
  for (ULONG i = 0; model && i < model->GetNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(model->GetNode(i, &node)) || !node) continue;
    auto* processing = Query<IProcessingNode>(node, IID_IProcessingNode);
    if (processing && dynamic_cast<C7719RoomEffectNode*>(processing)) return true;
  }
  return false;
}

std::string DescribeHardwareModel(PDEVICE_OBJECT adapterDevice) {
  CUacAudioHal* model = AudioClassModelOf(adapterDevice);
  if (!model) return {};
  C7753AudioHal* chip = dynamic_cast<C7753AudioHal*>(model);
  std::string out = Printf("hardware model: %s for %04x:%04x, AudioControl interface %u, %s\n",
                           ClassName(typeid(*model)).c_str(), model->GetVendorId(), model->GetProductId(),
                           model->GetControlInterfaceNumber(),
                           StatusThreadOf(model) ? "status thread running" : "no status thread");

  out += "units:\n";
  for (ULONG i = 0; i < model->GetUnitCount(); ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(model->GetUnit(i, &node))) continue;
    CUacUnit* unit = CUacUnit::FromUnitNode(node);
    out += Printf("  unit %lu %s", static_cast<unsigned long>(node->GetId()), UnitTypeName(node->GetType()));
    if ((node->GetType() == UAC_SUBTYPE_INPUT_TERMINAL || node->GetType() == UAC_SUBTYPE_OUTPUT_TERMINAL) &&
        unit->GetDescriptorLength() >= 6)
      out += Printf(" (type 0x%04x)", platform::usb::ReadLe16(unit->GetDescriptor() + 4));
    ITerminalClock* terminalClock = Query<ITerminalClock>(node, IID_ITerminalClock);
    ULONG clockId = 0;
    if (terminalClock && NT_SUCCESS(terminalClock->GetClockSourceId(&clockId)))
      out += Printf(", clock %lu", static_cast<unsigned long>(clockId));
    out += ", sources " + Ids(node) + ", nodes";
    ULONG count = 0;
    unit->GetNodeCount(&count);
    for (ULONG n = 0; n < count; ++n) {
      ITopoNode* member = nullptr;
      if (NT_SUCCESS(unit->GetNode(n, &member))) out += Printf(" %lu", static_cast<unsigned long>(member->GetId()));
    }
    if (count == 0) out += " none";
    out += "\n";
  }

  out += "nodes:\n";
  for (ULONG i = 0; i < model->GetNodeCount(); ++i) {
    ITopoNode* node = nullptr;
    if (!NT_SUCCESS(model->GetNode(i, &node))) continue;
    std::string state = NodeState(node);
    out += Printf("  node %lu %s, sources %s%s%s\n", static_cast<unsigned long>(node->GetId()),
                  NodeTypeName(node->GetType()), Ids(node).c_str(), state.empty() ? "" : ": ", state.c_str());
  }

  out += "stream engines:\n";
  for (ULONG i = 0; i < model->GetStreamEngineCount(); ++i) {
    IStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(model->GetStreamEngine(i, &engine))) continue;
    auto* usb = static_cast<CUsbStreamEngine*>(engine);
    WCHAR name[STREAM_ENGINE_NAME_CHARS] = {};
    engine->GetName(name);
    const std::string engineName = platform::Narrow(name);
    const std::string subdevice = usb->GetWavePort() ? engineName + "Wave registered" : "not registered";
    out += Printf("  engine %lu \"%s\": %s, interface %lu, terminal node %lu, category %s, wave subdevice %s\n",
                  static_cast<unsigned long>(i), engineName.c_str(), engine->IsCapture() ? "capture" : "render",
                  static_cast<unsigned long>(usb->GetEngineId()), static_cast<unsigned long>(usb->GetTerminalNodeId()),
                  Category(engine->GetPinCategory()).c_str(), subdevice.c_str());
    out += "    nodes:";
    for (ULONG n = 0; n < engine->GetAttachedNodeCount(); ++n) {
      ITopoNode* node = nullptr;
      if (NT_SUCCESS(engine->GetAttachedNode(n, &node))) out += Printf(" %lu", static_cast<unsigned long>(node->GetId()));
    }
    out += "\n";
    const ULONG offered = engine->GetFormatCount();
    out += Printf("    formats (%lu offered):\n", static_cast<unsigned long>(offered));
    for (ULONG f = 0; f < offered; ++f) {
      WAVEFORMATEXTENSIBLE format{};
      if (!NT_SUCCESS(engine->GetFormat(f, &format))) continue;
      UCHAR alternate = 0;
      usb->FindAlternateSetting(&format, &alternate);
      out += "      " + Format(format) + Printf(", alternate setting %u\n", alternate);
    }
  }
  if (chip) out += Describe7753Model(*chip);
  return out;
}

std::string DescribeModelRefusal(NTSTATUS startStatus, const DescriptorSet& descriptors, PDEVICE_OBJECT adapterDevice,
                                 AudioHalChoice factory) {
  if (NT_SUCCESS(startStatus)) return {};
  const bool chip = factory == AudioHalChoice::ChipIdentifying;
  // The device object's own checks come before any model is made.
  static const Bytes none;
  const Bytes& configuration = descriptors.configurations.empty() ? none : descriptors.Configuration();
  const auto* control = platform::usb::FindInterface(configuration.data(), configuration.size(), configuration.data(),
                                                     -1, -1, 1, 1, -1);
  if (!control)
    return Printf("refused: the configuration has no AudioControl interface (status 0x%08X)\n",
                  static_cast<unsigned>(startStatus));
  if (chip && control->bInterfaceProtocol != 0 && control->bInterfaceProtocol != 0x20)
    return Printf("refused: the AudioControl interface's protocol is 0x%02X, neither Audio Class 1.0 nor 2.0 "
                  "(status 0x%08X)\n",
                  control->bInterfaceProtocol, static_cast<unsigned>(startStatus));
  if (!chip && control->bInterfaceProtocol != 0)
    return Printf("refused: the AudioControl interface's protocol is 0x%02X, not Audio Class 1.0 (status 0x%08X)\n",
                  control->bInterfaceProtocol, static_cast<unsigned>(startStatus));
  const ModelRefusal refusal =
      adapterDevice && adapterDevice->DeviceExtension ? GetDeviceExtension(adapterDevice)->StartRefusal : ModelRefusal{};
  if (refusal.step)
    return Printf("refused: %s failed with status 0x%08X%s%s\n", refusal.step, static_cast<unsigned>(refusal.status),
                  refusal.reason ? ": " : "", RefusalReason(refusal).c_str());
  return Printf("refused: the start failed with status 0x%08X, and the driver kept no reason\n",
                static_cast<unsigned>(startStatus));
}

std::string RefusalReason(const ModelRefusal& refusal) {
  if (!refusal.reason) return {};
  // Filled in here rather than by a printf of the driver's text: the text
  // holds "%u" only, each for the next value.
  std::string out;
  size_t next = 0;
  for (const char* p = refusal.reason; *p; ++p) {
    if (p[0] == '%' && p[1] == 'u' && next < std::size(refusal.values)) {
      out += std::to_string(refusal.values[next++]);
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace sim
