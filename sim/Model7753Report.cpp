#include "sim/Model7753Report.h"

#include <cstdio>

#include "kernel/format.h"
#include "variants/7753/C7753AudioHal.h"
#include "variants/7753/C7753FeatureUnits.h"
#include "variants/7753/C7753Nodes.h"

namespace sim {

std::string Describe7753PollState(unsigned long state) {
  switch (state) {
    case C7753_POLL_FORCED_MUTE: return "0 (forced mute on, render gain passes)";
    case C7753_POLL_ATTENUATE: return "1 (forced mute off, render gain x0.25)";
    case C7753_POLL_SILENCE: return "2 (forced mute off, render gain silences)";
    default: return std::to_string(state);
  }
}

std::string Describe7753Model(C7753AudioHal& model) {
  char line[160];
  std::string out = "7753: chip probe ";
  out += model.ProbeMatched() ? "matched" : "did not match";
  if (!model.IsPollEnabled()) {
    out += ", no status poll\n";
  } else {
    out += model.IsPollRunning() ? ", status poll running, state " : ", status poll stopped, state ";
    out += Describe7753PollState(model.GetPollState());
    if (C7753FeatureUnit11ForcedMute* unit = model.GetForcedMuteUnit())
      out += unit->GetForcedMute() ? ", unit 11 forced mute on" : ", unit 11 forced mute off";
    if (CRenderGainNode* gain = model.GetRenderGainNode())
      out += ", render gain mode " + std::to_string(gain->GetMode());
    out += "\n";
  }
  out += "  switches in force:";
  for (ULONG i = 0; i < C7753_SWITCH_COUNT; ++i) {
    std::snprintf(line, sizeof line, "%s %s %u", i % 4 ? "," : "\n   ", platform::Narrow(C7753SwitchNames[i]).c_str(),
                  model.GetSwitch(i));
    out += line;
  }
  out += "\n  codec registers (the model's shadow):";
  for (ULONG i = 0; i < C7753_CODEC_REGISTERS; ++i) {
    const C7753CodecRegister r = model.GetCodecRegister(i);
    std::snprintf(line, sizeof line, " %lu=0x%04X%s", static_cast<unsigned long>(i), r.value,
                  (r.flags & C7753_CODEC_RESTORE) ? "" : "(not restored)");
    out += line;
  }
  return out + "\n";
}

}  // namespace sim
