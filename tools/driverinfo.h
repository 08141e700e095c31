// What `info` shows of the driver: it loads the driver, plugs the device in
// on a simulated hub port, starts it, and reports the adapter device, the
// driver's private interfaces and the filters it registered, then removes
// the device and unloads the driver again.
#pragma once

#include <string>
#include <vector>

#include "driver/CHeadsetUsbDevice.h"
#include "kernel/nt.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "usb/HubPort.h"
#include "usb/function.h"

namespace tools {

struct InterfaceReport {
  std::string name;  // "ASIO", "enumeration"
  std::string interfaceClass;
  std::string referenceString;
  std::string symbolicLink;
  bool registered = false;
  bool enabled = false;
};

struct DriverReport {
  NTSTATUS entry = STATUS_UNSUCCESSFUL;
  NTSTATUS addDevice = STATUS_UNSUCCESSFUL;
  NTSTATUS start = STATUS_UNSUCCESSFUL;
  std::string adapterDevice;  // the adapter's stack: adapter device over the PDO
  std::vector<InterfaceReport> interfaces;
  std::vector<std::string> filters;
  std::string model;  // the hardware model as text, or why the device was refused
  std::string refusal;  // the refusal line alone (without "refused: "), empty after a start
  // What the simulated device answered that its descriptors do not say,
  // when the simulation had to assume it; one line each.
  std::vector<std::string> assumed;
  // The topology filter as the framework describes it, and as a Graphviz
  // graph; empty when the start did not register it.
  std::string topology;
  std::string dot;
  // The product's hardware model is not part of the build yet.
  bool modelMissing = false;
  // The configuration descriptor the driver works from when its model
  // rewrote the device's (empty when the two are the same).
  std::vector<uint8_t> configurationInUse;
};

DriverReport RunDriver(const sim::DescriptorSet& descriptors, const sim::DeviceProfile& profile,
                       platform::usb::Speed speed = platform::usb::Speed::Full,
                       AudioHalChoice factory = AudioHalChoice::Product,
                       const platform::usb::HubPortConfig& port = {});

std::string StatusText(NTSTATUS status);
// Why the driver did not take the device, in one line: the step that
// failed and the reason it kept; empty when the start succeeded.
std::string StartFailure(const DriverReport& report);
std::string DescribeDriver(const DriverReport& report);
std::string DriverJson(const DriverReport& report);

}  // namespace tools
