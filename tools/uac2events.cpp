#include "tools/uac2events.h"

#include <cstdio>
#include <mutex>

#include "sim/ModelReport.h"
#include "tools/session.h"
#include "usb/usbaudio2.h"
#include "variants/uac2/CUac2AudioHal.h"

namespace tools {
namespace {

using sim::host::ControlReading;
using sim::host::FilterHandle;
using sim::host::TopologyView;

constexpr uint8_t CS_MUTE = USB_AUDIO_FU_MUTE_CONTROL;
constexpr uint8_t CS_VOLUME = USB_AUDIO_FU_VOLUME_CONTROL;
constexpr uint8_t CS_VALIDITY = USB_AUDIO2_CS_CLOCK_VALID_CONTROL;
constexpr uint8_t CS_CONNECTOR = USB_AUDIO2_TE_CONNECTOR_CONTROL;
constexpr uint8_t CS_TERMINAL_TYPE = USB_AUDIO2_TERMINAL_TYPE_VALUE >> 8;

bool IsTerminal(const sim::Uac2Entity& e) {
  return e.subtype == USB_AUDIO2_AC_INPUT_TERMINAL || e.subtype == USB_AUDIO2_AC_OUTPUT_TERMINAL;
}

sim::Bytes Le(long long value, size_t size) {
  sim::Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(static_cast<unsigned long long>(value) >> (8 * i));
  return b;
}

std::string Hex(long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// The change as it is told: what it is and the value the device takes.
DeviceChange MakeUac2Change(const sim::Uac2Device& device, const sim::Uac2Entity& entity, uint8_t cs, uint8_t channel,
                            long long value) {
  DeviceChange c;
  c.unit = entity.id;
  c.controlSelector = cs;
  c.channel = channel;
  const std::string id = std::to_string(entity.id);
  if (entity.subtype == USB_AUDIO2_AC_CLOCK_SOURCE) {
    c.value = {static_cast<uint8_t>(value != 0)};
    c.text = "clock " + id + " " + (value ? "valid" : "not valid");
  } else if (IsTerminal(entity) && cs == CS_CONNECTOR) {
    c.value = Le(value, 4);
    c.text = "terminal " + id + " connector: channels " + Hex(value) + " connected";
  } else if (IsTerminal(entity)) {
    c.value = Le(value, 2);
    c.text = "terminal " + id + " type " + Hex(value);
  } else {
    static const char* const names[] = {"control 0", "mute", "volume", "bass", "mid", "treble", "equalizer", "agc",
                                        "delay",     "bass boost", "loudness"};
    const bool feature = entity.subtype == USB_AUDIO2_AC_FEATURE_UNIT;
    c.value = Le(value, feature ? sim::Uac2Device::ControlValueSize(cs, device.Profile()) : 1);
    c.text = "unit " + id + " " +
             (feature && cs < sizeof names / sizeof names[0] ? std::string(names[cs]) : "control " + std::to_string(cs)) +
             " " + (channel ? "channel " + std::to_string(channel) : std::string("master")) + " = " +
             std::to_string(value);
  }
  return c;
}

// Applies a change on the device, with its interrupt data message.
void Apply(sim::Uac2Device& device, const DeviceChange& c) {
  const sim::Uac2Entity* entity = device.Entities().Find(c.unit);
  const long long value = LittleEndianSigned(c.value);
  if (entity && entity->subtype == USB_AUDIO2_AC_CLOCK_SOURCE)
    device.SetClockValid(c.unit, value != 0, true);
  else if (entity && IsTerminal(*entity) && c.controlSelector == CS_CONNECTOR)
    device.SetConnectorMask(static_cast<uint32_t>(value), c.unit, true);
  else if (entity && IsTerminal(*entity))
    device.SetTerminalType(c.unit, static_cast<uint16_t>(value), true);
  else
    device.SetEntityControl(c.unit, c.controlSelector, c.channel, c.value, true);
}

// The model's AudioHalNotify messages, as the topology filter gets them.
class NotifyWatch {
 public:
  explicit NotifyWatch(IAudioHal* adapter) : m_Adapter(adapter) {
    if (m_Adapter) m_Adapter->RegisterCallback(OnNotify, this, &m_Registration);
  }
  ~NotifyWatch() {
    if (m_Adapter && m_Registration) m_Adapter->UnregisterCallback(m_Registration);
  }
  std::vector<ULONG> Take() {
    std::lock_guard<std::mutex> guard(m_Lock);
    std::vector<ULONG> out;
    out.swap(m_Nodes);
    return out;
  }

 private:
  static void OnNotify(PVOID context, PVOID argument1, PVOID) {
    auto* self = static_cast<NotifyWatch*>(context);
    const auto* notify = static_cast<const AudioHalNotify*>(argument1);
    if (!notify || notify->Kind != AUDIOHAL_NOTIFY_CONTROL_CHANGE) return;
    std::lock_guard<std::mutex> guard(self->m_Lock);
    self->m_Nodes.push_back(notify->NodeId);
  }
  IAudioHal* m_Adapter;
  PVOID m_Registration = nullptr;
  std::mutex m_Lock;
  std::vector<ULONG> m_Nodes;
};

const char* ModelNodeKind(CUacAudioHal* model, ULONG id) {
  ITopoNode* node = nullptr;
  if (!model || !NT_SUCCESS(model->FindNodeById(id, &node))) return "node";
  switch (node->GetType()) {
    case NODE_TYPE_CLOCK: return "clock";
    case NODE_TYPE_MUTE: return "mute";
    case NODE_TYPE_VOLUME: return "volume";
    case NODE_TYPE_INPUT_PIN: return "input pin";
    case NODE_TYPE_OUTPUT_PIN: return "output pin";
    case NODE_TYPE_SELECTOR: return "selector";
    case NODE_TYPE_SUM: return "sum";
    default: return "node";
  }
}

std::string FilterNames(sim::host::Host& host) {
  std::string out;
  for (const auto& f : host.Filters()) {
    if (!out.empty()) out += ' ';
    out += sim::host::Narrow(f.name);
  }
  return out;
}

}  // namespace

bool ParseUac2Change(const std::string& text, const sim::Uac2Device& device, DeviceChange* change,
                     std::string* error) {
  uint8_t id = 0, cs = 0, channel = 0;
  long long value = 0;
  if (!ParseChangeFields(text, &id, &cs, &channel, &value, error)) return false;
  const sim::Uac2Entity* entity = device.Entities().Find(id);
  if (!entity) {
    *error = "the device has no entity " + std::to_string(id);
    return false;
  }
  bool known = false;
  switch (entity->subtype) {
    case USB_AUDIO2_AC_CLOCK_SOURCE:
      known = cs == CS_VALIDITY && channel == 0;
      break;
    case USB_AUDIO2_AC_INPUT_TERMINAL:
    case USB_AUDIO2_AC_OUTPUT_TERMINAL:
      known = channel == 0 && ((cs == CS_CONNECTOR && entity->HasConnector()) ||
                               (cs == CS_TERMINAL_TYPE && entity->subtype == USB_AUDIO2_AC_OUTPUT_TERMINAL));
      break;
    case USB_AUDIO2_AC_FEATURE_UNIT:
      known = entity->FeatureReadable(cs, channel);
      break;
    case USB_AUDIO2_AC_SELECTOR_UNIT:
      known = cs == USB_AUDIO2_SU_SELECTOR_CONTROL && channel == 0;
      break;
    default:
      break;
  }
  if (!known) {
    *error = "entity " + std::to_string(id) + " has no control " + std::to_string(cs) + " on channel " +
             std::to_string(channel) +
             " (accepted: a clock's validity 2, a terminal's connector 2 or type 8, a unit's controls)";
    return false;
  }
  // A value wider than the control's bytes on the wire would arrive cut.
  const bool feature = entity->subtype == USB_AUDIO2_AC_FEATURE_UNIT;
  const int bytes = entity->subtype == USB_AUDIO2_AC_CLOCK_SOURCE ? 0
                    : IsTerminal(*entity) && cs == CS_CONNECTOR   ? 4
                    : IsTerminal(*entity)                          ? 2
                    : feature                                      ? sim::Uac2Device::ControlValueSize(cs, device.Profile())
                                                                   : 1;
  const long long low = bytes ? -(1LL << (8 * bytes - 1)) : 0, high = bytes ? (1LL << (8 * bytes)) - 1 : 1;
  if (value < low || value > high) {
    *error = "the value " + std::to_string(value) + " does not fit entity " + std::to_string(id) + "'s control " +
             std::to_string(cs) + " (accepted: " + std::to_string(low) + " to " + std::to_string(high) + ")";
    return false;
  }
  *change = MakeUac2Change(device, *entity, cs, channel, value);
  return true;
}

std::vector<DeviceChange> DefaultUac2Changes(sim::Uac2Device& device) {
  std::vector<DeviceChange> changes;
  for (const auto& [id, e] : device.Entities().entities) {
    if (e.subtype == USB_AUDIO2_AC_FEATURE_UNIT) {
      for (uint8_t cs : {CS_MUTE, CS_VOLUME}) {
        // The first channel's control when a channel has one (the driver's
        // node addresses the channels then), else the master's.
        uint8_t channel = e.FeatureReadable(cs, 1) ? 1 : 0;
        if (!e.FeatureReadable(cs, channel)) continue;
        const long long now = LittleEndianSigned(device.EntityControl(id, cs, channel));
        changes.push_back(MakeUac2Change(device, e, cs, channel, cs == CS_MUTE ? !now : now - 3 * 256));
      }
    } else if (e.subtype == USB_AUDIO2_AC_CLOCK_SOURCE) {
      changes.push_back(MakeUac2Change(device, e, CS_VALIDITY, 0, 0));
      changes.push_back(MakeUac2Change(device, e, CS_VALIDITY, 0, 1));
    } else if (IsTerminal(e) && e.HasConnector()) {
      // The terminal's own jacks out, then everything back.
      uint32_t jacks = 0;
      auto profile = device.Profile().terminals.find(id);
      if (profile != device.Profile().terminals.end())
        for (const sim::JackEntry& j : profile->second.jacks) jacks |= j.channelMask;
      const uint32_t all = device.PresenceMask();
      changes.push_back(MakeUac2Change(device, e, CS_CONNECTOR, 0, all & ~jacks));
      changes.push_back(MakeUac2Change(device, e, CS_CONNECTOR, 0, all));
    }
  }
  return changes;
}

bool WatchUac2Events(sim::host::RunningDriver& driver, const TopologyView& view,
                     const std::vector<DeviceChange>& changes, bool json, std::string* out) {
  auto* device = dynamic_cast<sim::Uac2Device*>(&driver.Device());
  FilterHandle* filter = driver.Topology();
  if (!device || !filter) return false;
  PDEVICE_OBJECT adapterDevice = driver.HostSide().AdapterDevice();
  CUacAudioHal* model = sim::AudioClassModelOf(adapterDevice);
  NotifyWatch notifications(GetDeviceExtension(adapterDevice)->Adapter);
  sim::host::ControlChangeWatch watch(filter, view);
  // The start's own announcements settle before the first change.
  for (int quiet = 0; quiet < 3;) {
    driver.AdvanceUntil([] { return false; }, 10);
    const bool events = !watch.TakeDeliveries().empty();
    quiet = events || !notifications.Take().empty() ? 0 : quiet + 1;
  }

  bool everyChangeAnswered = true;
  std::string text = "watching " + std::to_string(watch.Subscriptions()) +
                     " nodes for KSEVENT_CONTROL_CHANGE and the model's AudioHalNotify\n";
  std::string items;
  for (const DeviceChange& change : changes) {
    const std::string filtersBefore = FilterNames(driver.HostSide());
    device->ClearRequests();
    Apply(*device, change);
    std::vector<std::pair<ULONG, ULONG>> deliveries;
    std::vector<ULONG> notified;
    auto collect = [&] {
      auto more = watch.TakeDeliveries();
      deliveries.insert(deliveries.end(), more.begin(), more.end());
      auto nodes = notifications.Take();
      notified.insert(notified.end(), nodes.begin(), nodes.end());
    };
    // The message is taken, then whatever it set off settles.
    driver.AdvanceUntil([&] {
      collect();
      return device->PendingStatusWords() == 0;
    });
    driver.AdvanceUntil([] { return false; }, 20);
    collect();
    // What the driver read back from the entity (the pin's jacks, the
    // node's value).
    std::string reads;
    unsigned readCount = 0;
    for (const sim::RequestRecord& r : device->Requests()) {
      if ((r.setup.bmRequestType & 0x80) == 0 || (r.setup.wIndex >> 8) != change.unit) continue;
      char one[48];
      std::snprintf(one, sizeof one, "%s%s 0x%04X", reads.empty() ? "" : ", ",
                    r.setup.bRequest == USB_AUDIO2_RANGE ? "RANGE" : r.setup.bRequest == USB_AUDIO2_MEM ? "MEM" : "CUR",
                    r.setup.wValue);
      if (readCount++ < 8) reads += one;
    }
    const std::string filtersAfter = FilterNames(driver.HostSide());
    const bool answered = !notified.empty() || !deliveries.empty() || readCount > 0;
    everyChangeAnswered = everyChangeAnswered && answered;

    char message[96];
    std::snprintf(message, sizeof message, "00 01 %02X %02X %02X %02X", change.channel, change.controlSelector,
                  device->Entities().controlInterface < 0 ? 0 : device->Entities().controlInterface, change.unit);
    text += "device: " + change.text + " (interrupt data message " + message + ")\n";
    std::string notifyJson, eventJson;
    for (ULONG node : notified) {
      text += "  AudioHalNotify: node " + std::to_string(node) + " (" + ModelNodeKind(model, node) + ")\n";
      notifyJson += std::string(notifyJson.empty() ? "" : ", ") + "{\"node\": " + std::to_string(node) +
                    ", \"kind\": " + JsonString(ModelNodeKind(model, node)) + "}";
    }
    for (const auto& [node, count] : deliveries) {
      ControlReading r;
      const bool read = NT_SUCCESS(sim::host::ReadControl(filter, view, node, &r));
      text += "  event: node " + std::to_string(node) + " (" + view.nodes[node].kind + ")" +
              (count > 1 ? " x" + std::to_string(count) : "") + (read ? " -> " + r.text : "") + "\n";
      eventJson += std::string(eventJson.empty() ? "" : ", ") + "{\"node\": " + std::to_string(node) +
                   ", \"kind\": " + JsonString(view.nodes[node].kind) + ", \"count\": " + std::to_string(count) +
                   (read ? ", \"reading\": " + ReadingJson(r) : "") + "}";
    }
    if (deliveries.empty()) text += "  no control-change event\n";
    if (readCount) text += "  the driver read " + std::to_string(readCount) + " request(s) back: " + reads + "\n";
    if (filtersAfter != filtersBefore) text += "  wave filters: " + filtersBefore + " -> " + filtersAfter + "\n";
    items += std::string(items.empty() ? "" : ", ") + "{\"change\": " + JsonString(change.text) +
             ", \"message\": " + JsonString(message) + ", \"notifications\": [" + notifyJson + "], \"events\": [" +
             eventJson + "], \"readsBack\": " + std::to_string(readCount) + ", \"filtersBefore\": " +
             JsonString(filtersBefore) + ", \"filtersAfter\": " + JsonString(filtersAfter) + "}";
  }
  *out += json ? "{\"subscriptions\": " + std::to_string(watch.Subscriptions()) + ", \"changes\": [" + items + "]}\n"
               : text;
  return everyChangeAnswered;
}

}  // namespace tools
