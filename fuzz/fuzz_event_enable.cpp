// Event subscriptions as applications make them on the topology filter:
// enable and disable in any order, on any node or the filter, of any set
// and id, the same subscription twice, while the device changes its
// controls and says so and while filters are closed and opened again.
// Every request is answered, every delivery goes to a live subscription,
// and closing a filter ends what was subscribed on it.
#include "fuzz/DriverFuzz.h"
#include "fuzz/Reach.h"
#include "ks/ksmedia.h"
#include "sim/device/DefaultHeadset.h"
#include "usb/usbaudio.h"

namespace {

using driverfuzz::Require;

const GUID* const kSets[] = {&KSEVENTSETID_AudioControlChange, &KSEVENTSETID_AudioControlChange,
                             &KSPROPSETID_Audio, &GUID_NULL};
const uint8_t kUnits[] = {sim::headset::kRenderFeatureUnit, sim::headset::kMicFeatureUnit,
                          sim::headset::kMicSelector};

struct EventSession : driverfuzz::Session {
  sim::host::FilterHandle* filters[2] = {};
  KEVENT events[4];
  KSEVENTDATA data[2][4] = {};  // per filter, per subscription slot
  bool enabled[2][4] = {};
  EventSession() : Session(sim::headset::Create()) {
    Require(NT_SUCCESS(Start()), "the headset did not start");
    for (KEVENT& e : events) KeInitializeEvent(&e, NotificationEvent, FALSE);
    Reopen(0);
    Reopen(1);
  }
  void Reopen(int f) {
    delete filters[f];  // a close ends its subscriptions
    for (bool& on : enabled[f]) on = false;
    filters[f] = Open(u"GlobalTopo");
    Require(filters[f] != nullptr, "the topology filter is not registered");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static auto* session = new EventSession();
  driverfuzz::Reader in(bytes, size);
  for (int step = 0; step < 16 && !(step > 0 && in.Byte() == 0); ++step) {
    const uint8_t op = in.Byte();
    const int f = (op >> 3) & 1;
    const int slot = (op >> 4) & 3;
    sim::host::FilterHandle* filter = session->filters[f];
    switch (op % 5) {
      case 0:
      case 1: {
        const GUID* set = kSets[in.Byte() % (sizeof kSets / sizeof kSets[0])];
        const ULONG id = in.Byte() % 3;
        const uint8_t nodeByte = in.Byte();
        const ULONG node = nodeByte == 0xFF ? ULONG(-1) : nodeByte % (filter->Descriptor().NodeCount + 2);
        const NTSTATUS status = filter->EnableEvent(*set, id, node, &session->data[f][slot], &session->events[slot]);
        // A slot already subscribed is refused, never subscribed twice.
        if (session->enabled[f][slot]) Require(!NT_SUCCESS(status), "one event data subscribed twice");
        if (NT_SUCCESS(status)) {
          session->enabled[f][slot] = true;
          fuzz::Reached("an event subscribed");
        }
        break;
      }
      case 2: {
        const NTSTATUS status = filter->DisableEvent(&session->data[f][slot]);
        Require(NT_SUCCESS(status) == session->enabled[f][slot], "a disable that does not match the subscriptions");
        session->enabled[f][slot] = false;
        break;
      }
      case 3: {
        // The device changes a control by itself and reports it.
        const uint8_t unit = kUnits[in.Byte() % (sizeof kUnits / sizeof kUnits[0])];
        const uint8_t cs = unit == sim::headset::kMicSelector ? 0 : 1 + in.Byte() % 2;
        sim::Bytes value = in.Bytes(cs == USB_AUDIO_FU_VOLUME_CONTROL ? 2 : 1);
        session->device->SetControlValue(unit, cs, in.Byte() % 3, value, true);
        driverfuzz::Session::Pass(1 + in.Byte() % 64);
        for (KEVENT& e : session->events)
          if (KeResetEvent(&e)) fuzz::Reached("a change signalled to a subscriber");
        break;
      }
      default:
        session->Reopen(f);
        break;
    }
  }
  // Back to no subscriptions for the next input.
  for (int f = 0; f < 2; ++f)
    for (int slot = 0; slot < 4; ++slot)
      if (session->enabled[f][slot]) {
        Require(NT_SUCCESS(session->filters[f]->DisableEvent(&session->data[f][slot])), "a subscription went missing");
        session->enabled[f][slot] = false;
      }
  return 0;
}

FUZZ_REACHES("an event subscribed", "a change signalled to a subscriber")
