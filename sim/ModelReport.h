// The hardware model of a started adapter as text, for the host's `info`:
// which model the device object chose, the Audio Class units with
// their control nodes (current values and ranges), every node of the model
// with its sources, and the stream engines with their names, formats,
// attached nodes and wave subdevices. And, for a start that failed, one
// line naming the step and the status that refused the device.
#pragma once

#include <string>

#include "driver/CHeadsetUsbDevice.h"
#include "kernel/nt.h"
#include "sim/device/DescriptorSet.h"

class C7753AudioHal;
class CUacAudioHal;

namespace sim {

// The Audio Class model (1.0 or 2.0) of a started adapter; null for none
// or a test's own.
CUacAudioHal* AudioClassModelOf(PDEVICE_OBJECT adapterDevice);

// Empty when the adapter has no started device object or its model is not
// an Audio Class one of the driver's (a test model).
std::string DescribeHardwareModel(PDEVICE_OBJECT adapterDevice);

// Whether the model of a started adapter runs a status thread, through
// which a change made on the device reaches the driver.
bool RunsStatusThread(PDEVICE_OBJECT adapterDevice);
// Whether the model's room effect node announces a switch with a prompt
// (the product's own does; a chip's room effect may not).
bool RoomEffectPlaysPrompt(PDEVICE_OBJECT adapterDevice);
// Whether the model leaves out the rates a stream's endpoint cannot carry
// (the product's models do; the generic model and the chips' offer every
// rate their descriptors name).
bool LeavesOutUncarriedRates(PDEVICE_OBJECT adapterDevice);

// The 7753 model behind a started adapter, or null when its model is
// another.
C7753AudioHal* ChipModel7753(PDEVICE_OBJECT adapterDevice);

// Empty for a successful start. After a failed one, what refused the device:
// the device object's own checks of `descriptors`, or the refusal the model
// left in the adapter device's extension (kept until its next start).
// `factory`: whose factory the start ran.
std::string DescribeModelRefusal(NTSTATUS startStatus, const DescriptorSet& descriptors, PDEVICE_OBJECT adapterDevice,
                                 AudioHalChoice factory = AudioHalChoice::Product);

// The refusal's reason with its values filled in; empty when it has none.
std::string RefusalReason(const ModelRefusal& refusal);

}  // namespace sim
