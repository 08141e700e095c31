// What every subcommand of headset-host shares: the device's descriptors
// (an embedded device or a sysfs file), the persisted state directory (the
// registry file and the "\SystemRoot\" directory), the clock mode and the
// driver's debug output.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

#include "driver/CHeadsetUsbDevice.h"
#include "kernel/registry.h"
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
  // Loads the descriptors and the persisted registry, sets the clock. A
  // long load shows its progress on `progress` when that is a terminal.
  bool Open(std::string* error, FILE* progress = nullptr);
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
  // Stores what this run changed in the registry (`kinds` of changes) so
  // that it survives to the next run: merged, under the state folder's
  // lock, into the registry file as it is now, so that what other
  // processes stored meanwhile stays. A run that changed nothing leaves the
  // folder untouched. On failure nothing is stored.
  bool Save(platform::registry::ChangeKinds kinds, std::string* error);
  // For a command that only reads: stores what the run met for the first
  // time (a device's keys, which a user looks up in the file), never a
  // change. A state it cannot store into does not fail the command: the
  // result is the note to show, empty when all went well.
  std::string KeepAdditions();
  // How long Save waits for another process to let go of the folder.
  static void SetLockWait(std::chrono::milliseconds wait);

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
  // The registry as loaded, to tell what this run changed.
  platform::registry::Snapshot m_Loaded;
};


}  // namespace tools
