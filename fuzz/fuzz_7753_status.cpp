// The 7753 board's status reports, as its HID interface answers the poll's
// GET_REPORT: reports of any length and content, and reads that stall, go
// unanswered or come back short, in the order the input lists them, while
// the poll drives the forced mute and the render gain. The poll reads each
// in turn or says it stopped, the state it applies is one of its states, and
// the removal leaves the pool as it was.
#include "fuzz/DriverFuzz.h"
#include "sim/ModelReport.h"
#include "variants/7753/C7753AudioHal.h"

namespace {

using driverfuzz::Require;

uint8_t PollBoard() {
  for (uint8_t i = 0; i < driverfuzz::kDeviceNames.size(); ++i)
    if (std::string(driverfuzz::kDeviceNames[i]) == "7753-poll") return i;
  Require(false, "the polled 7753 board is not among the devices");
  return 0;
}

// A fault on the HID interface's GET_REPORT after `reads` good ones.
sim::ControlFault ReadFault(uint8_t kind, size_t reads) {
  sim::ControlFault fault;
  fault.match = sim::RequestMatch::Class();
  fault.match.in = true;
  fault.match.request = HID_GET_REPORT;
  fault.skip = static_cast<uint32_t>(reads);
  fault.times = 1;
  switch (kind % 3) {
    case 0: fault.action = sim::FaultAction::Stall; break;
    case 1: fault.action = sim::FaultAction::Timeout; break;
    default:
      fault.action = sim::FaultAction::ShortReply;
      fault.length = (kind >> 2) % 3u;
      break;
  }
  return fault;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t board = PollBoard();
  driverfuzz::WithPoolCheck(0, [&] {
    std::unique_ptr<sim::SimDevice> device = driverfuzz::MakeDevice(driverfuzz::DeviceAt(board));
    sim::SimDevice& hid = *device;
    driverfuzz::Session session(std::move(device), nullptr, AudioHalChoice::ChipIdentifying, 1 + board);
    if (!NT_SUCCESS(session.Start())) return;
    C7753AudioHal* model = sim::ChipModel7753(session.host.AdapterDevice());
    Require(model != nullptr, "the board has no 7753 model");
    // The script, one entry a timer tick: a byte below 0xC0 is a report of
    // (byte % 5) bytes that follow (none: the board answers nothing);
    // above, a read that fails.
    driverfuzz::Reader in(data, size);
    std::vector<sim::Bytes> reports;
    size_t reads = 0, faults = 0;
    while (in.More() && reads < 64) {
      const uint8_t kind = in.Byte();
      // A fault counts the reads the faults before it left alone.
      if (kind < 0xC0) reports.push_back(in.Bytes(kind % 5));
      else hid.AddFault(ReadFault(kind, reads - faults++));
      ++reads;
    }
    hid.QueueHidInputReports(reports);
    const uint64_t readBefore = hid.HidInputReportReads();
    const ULONG first = model->GetPollState();
    bool changed = false;
    // A period per entry, and one more.
    for (size_t tick = 0; tick <= reads; ++tick) {
      platform::clock::AdvanceMs(C7753_POLL_PERIOD_MS);
      const ULONG state = model->GetPollState();
      Require(state <= C7753_POLL_SILENCE, "the poll applied a state it does not have");
      changed = changed || state != first;
    }
    if (model->IsPollRunning() && hid.HidInputReportReads() - readBefore >= reports.size())
      fuzz::Reached("the poll read every report");
    if (changed) fuzz::Reached("the poll changed its state");
  });
  return 0;
}

FUZZ_REACHES("the device started", "the poll read every report", "the poll changed its state")
