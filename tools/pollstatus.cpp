#include "tools/pollstatus.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "sim/Model7753Report.h"
#include "sim/ModelReport.h"
#include "sim/device/Device7753.h"
#include "tools/session.h"
#include "variants/7753/C7753AudioHal.h"
#include "variants/7753/C7753Nodes.h"

namespace tools {
namespace {

constexpr ULONG kMaxPolls = 1000;

bool AllOf(const std::string& text, int (*test)(int)) {
  for (unsigned char c : text)
    if (!test(c)) return false;
  return true;
}

std::string Hex(const sim::Bytes& bytes) {
  std::string out;
  char text[4];
  for (uint8_t b : bytes) {
    std::snprintf(text, sizeof text, "%s%02x", out.empty() ? "" : " ", b);
    out += text;
  }
  return out;
}

std::string Describe(const sim::Bytes& report) {
  const uint8_t first = report.empty() ? 0 : report[0];
  return std::string("jack sense ") + (first & sim::chip7753::kStatusJackSense ? "set" : "clear") +
         ", mute button " + (first & sim::chip7753::kStatusMuteButton ? "down" : "up");
}

// The poll's state as the host sees it: the model's state, the mute byte
// the device holds on unit 11 and the gain node's mode.
struct PollView {
  ULONG state = 0;
  int deviceMute = -1;
  ULONG gainMode = 0;
  bool operator==(const PollView&) const = default;
};

PollView View(sim::host::RunningDriver& driver, C7753AudioHal* model) {
  PollView v;
  v.state = model->GetPollState();
  const sim::Bytes mute = driver.Device().ControlValue(sim::chip7753::kLineMonitorUnit, 1, 0);
  v.deviceMute = mute.empty() ? -1 : mute[0];
  if (CRenderGainNode* gain = model->GetRenderGainNode()) v.gainMode = gain->GetMode();
  return v;
}

std::string ViewText(const PollView& v) {
  return "state " + sim::Describe7753PollState(v.state) + "; unit 11 mute on the device " +
         (v.deviceMute < 0 ? std::string("?") : std::to_string(v.deviceMute)) + ", render gain mode " +
         std::to_string(v.gainMode);
}

std::string ViewJson(const PollView& v) {
  return "\"state\": " + std::to_string(v.state) + ", \"deviceMute\": " + std::to_string(v.deviceMute) +
         ", \"gainMode\": " + std::to_string(v.gainMode);
}

}  // namespace

bool ParseStatusStep(const std::string& text, StatusStep* step, std::string* error) {
  const std::string prefix = "status=";
  const auto fail = [&] {
    *error = "'" + text + "' is not status=HEX[*POLLS] (HEX: the report's first 1 to 3 bytes, two hex digits a "
             "byte, as in 10 or 0x100000; POLLS: 1 to " + std::to_string(kMaxPolls) + ")";
    return false;
  };
  if (text.compare(0, prefix.size(), prefix) != 0) return fail();
  std::string hex = text.substr(prefix.size());
  ULONG polls = 1;
  if (const size_t star = hex.find('*'); star != std::string::npos) {
    const std::string count = hex.substr(star + 1);
    // strtoul alone would take a sign or leading blanks.
    if (count.empty() || count.size() > 4 || !AllOf(count, ::isdigit)) return fail();
    const unsigned long parsed = std::strtoul(count.c_str(), nullptr, 10);
    if (parsed < 1 || parsed > kMaxPolls) return fail();
    polls = static_cast<ULONG>(parsed);
    hex.resize(star);
  }
  if (hex.compare(0, 2, "0x") == 0) hex = hex.substr(2);
  if (hex.empty() || hex.size() > 6 || hex.size() % 2 || !AllOf(hex, ::isxdigit)) return fail();
  sim::Bytes report;
  for (size_t i = 0; i < hex.size(); i += 2)
    report.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
  report.resize(3, 0);
  *step = StatusStep{report, polls};
  return true;
}

std::vector<StatusStep> DefaultStatusScript() {
  const sim::Bytes set = {sim::chip7753::kStatusJackSense, 0, 0}, clear = {0, 0, 0};
  return {{set, 3}, {clear, 1}, {set, 1}, {clear, 1}, {set, 1}, {clear, 30}, {set, 30}};
}

bool HasStatusPoll(sim::host::RunningDriver& driver) {
  C7753AudioHal* model = sim::ChipModel7753(driver.HostSide().AdapterDevice());
  return model && model->IsPollRunning();
}

bool WatchStatus(sim::host::RunningDriver& driver, const std::vector<StatusStep>& script, bool json, std::string* out,
                 std::string* error) {
  C7753AudioHal* model = sim::ChipModel7753(driver.HostSide().AdapterDevice());
  if (!model || !model->IsPollRunning()) {
    *error = "the driver polls no status on this device";
    return false;
  }
  sim::SimDevice& device = driver.Device();
  std::vector<sim::Bytes> reports;
  for (const StatusStep& step : script) reports.insert(reports.end(), step.polls, step.report);
  device.QueueHidInputReports(reports);

  const PollView start = View(driver, model);
  PollView last = start;
  std::string text = "the driver polls the board's status every " + std::to_string(C7753_POLL_PERIOD_MS) +
                     " ms; now " + ViewText(last) + "\n";
  std::string steps;
  ULONG poll = 0;
  const LONGLONG began = platform::clock::Now();
  for (const StatusStep& step : script) {
    text += "status " + Hex(step.report) + " (" + Describe(step.report) + ") for " + std::to_string(step.polls) +
            (step.polls == 1 ? " poll\n" : " polls\n");
    std::string changes;
    for (ULONG i = 0; i < step.polls; ++i, ++poll) {
      const uint64_t reads = device.HidInputReportReads();
      if (!driver.AdvanceUntil([&] { return device.HidInputReportReads() > reads; }, 2 * C7753_POLL_PERIOD_MS)) {
        *error = "the board's status was not read for " + std::to_string(2 * C7753_POLL_PERIOD_MS) + " ms";
        return false;
      }
      // What the poll made of the reading settles before it is looked at.
      driver.AdvanceUntil([] { return false; }, 1);
      const PollView now = View(driver, model);
      if (now == last) continue;
      last = now;
      const LONGLONG ms = (platform::clock::Now() - began) / 10000;
      text += "  poll " + std::to_string(poll + 1) + " (" + std::to_string(ms) + " ms): " + ViewText(now) + "\n";
      changes += std::string(changes.empty() ? "" : ", ") + "{\"poll\": " + std::to_string(poll + 1) +
                 ", \"timeMs\": " + std::to_string(ms) + ", " + ViewJson(now) + "}";
    }
    steps += std::string(steps.empty() ? "" : ", ") + "{\"status\": " + JsonString(Hex(step.report)) +
             ", \"polls\": " + std::to_string(step.polls) + ", \"changes\": [" + changes + "]}";
  }
  *out += json ? "{\"periodMs\": " + std::to_string(C7753_POLL_PERIOD_MS) + ", \"start\": {" + ViewJson(start) +
                     "}, \"steps\": [" + steps + "]}\n"
               : text;
  return true;
}

}  // namespace tools
