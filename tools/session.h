// What every subcommand of headset-host shares: the device's descriptors
// (an embedded device or a sysfs file), the persisted state directory (the
// registry file and the "\SystemRoot\" directory), the clock mode and the
// driver's debug output.
#pragma once

#include <string>

#include "driver/CHeadsetUsbDevice.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
#include "usb/HubPort.h"
#include "usb/function.h"
#include "tools/commands.h"
#include "tools/json.h"

namespace tools {

class Session {
 public:
  explicit Session(const Options& options) : m_Options(options) {}
  ~Session();
  // Loads the descriptors and the persisted registry, sets the clock.
  bool Open(std::string* error);
  const sim::DescriptorSet& Descriptors() const { return m_Descriptors; }
  // What the device answers beyond its descriptors: the embedded device's
  // own profile, or a generic one for a descriptor file.
  const sim::DeviceProfile& Profile() const { return m_Profile; }
  platform::usb::Speed Speed() const { return m_Speed; }
  // Where the speed comes from, for `info`: "DIR/speed says 480", ...
  const std::string& SpeedReason() const { return m_SpeedReason; }
  // Whose hardware-model factory starts the device.
  AudioHalChoice Factory() const { return m_Factory; }
  // The hub port the device is plugged into.
  const platform::usb::HubPortConfig& Port() const { return m_Port; }
  const Options& options() const { return m_Options; }
  std::string RegistryFile() const { return m_Options.stateDir + "/registry.reg"; }
  // Writes the registry back so that settings survive to the next run.
  bool Save(std::string* error);

 private:
  Options m_Options;
  sim::DescriptorSet m_Descriptors;
  sim::DeviceProfile m_Profile;
  // The bus speed of a descriptor file: --speed, the sysfs speed file
  // beside it, or its endpoints.
  bool ChooseSpeed(std::string* error);

  platform::usb::Speed m_Speed = platform::usb::Speed::Full;
  std::string m_SpeedReason;
  AudioHalChoice m_Factory = AudioHalChoice::Product;
  platform::usb::HubPortConfig m_Port;
  bool m_Open = false;
};


}  // namespace tools
