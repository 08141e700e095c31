// What every subcommand of headset-host shares: the device's descriptors
// (an embedded device or a sysfs file), the persisted state directory (the
// registry file and the "\SystemRoot\" directory), the clock mode and the
// driver's debug output.
#pragma once

#include <string>

#include "driver/CHeadsetUsbDevice.h"
#include "sim/device/DescriptorSet.h"
#include "sim/device/DeviceProfile.h"
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
  // Whose hardware-model factory starts the device.
  AudioHalChoice Factory() const { return m_Factory; }
  const Options& options() const { return m_Options; }
  std::string RegistryFile() const { return m_Options.stateDir + "/registry.reg"; }
  // Writes the registry back so that settings survive to the next run.
  bool Save(std::string* error);

 private:
  Options m_Options;
  sim::DescriptorSet m_Descriptors;
  sim::DeviceProfile m_Profile;
  platform::usb::Speed m_Speed = platform::usb::Speed::Full;
  AudioHalChoice m_Factory = AudioHalChoice::Product;
  bool m_Open = false;
};


}  // namespace tools
