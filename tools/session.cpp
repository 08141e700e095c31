#include "tools/session.h"

#include <filesystem>

#include "kernel/nt.h"
#include "sim/InputFile.h"
#include "sim/device/EmbeddedDevices.h"

namespace tools {

Session::~Session() {
  if (m_Open) platform::debug::SetEcho(false);
}

bool Session::Open(std::string* error) {
  if (!m_Options.factory.empty() && m_Options.factory != "product" && m_Options.factory != "chip") {
    *error = "--factory takes product or chip, not '" + m_Options.factory + "'";
    return false;
  }
  if (m_Options.descriptors.empty()) {
    const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(m_Options.device);
    if (!device) {
      *error = "no embedded device '" + m_Options.device + "' (accepted: " + sim::EmbeddedDeviceNames() + ", list)";
      return false;
    }
    // Its descriptors and answers are made for its speed.
    if (!m_Options.speed.empty()) {
      *error = "--speed applies to a device from --descriptors; an embedded device runs at its own speed "
               "(uac2-fs is uac2 at full speed)";
      return false;
    }
    m_Descriptors = device->descriptors();
    m_Profile = device->profile();
    m_Speed = device->speed;
    m_SpeedReason = "the embedded device's own";
    m_Factory = device->factory;
    m_Port = sim::EmbeddedPort(*device);
  } else if (!sim::LoadDescriptorFiles(m_Options.descriptors, "", &m_Descriptors, error) || !ChooseSpeed(error)) {
    return false;
  } else {
    m_Profile = sim::DefaultProfile();
    m_Profile.assumed = true;
  }
  if (!m_Options.factory.empty())
    m_Factory = m_Options.factory == "chip" ? AudioHalChoice::ChipIdentifying : AudioHalChoice::Product;
  std::error_code ec;
  std::filesystem::create_directories(m_Options.stateDir, ec);
  if (ec) {
    *error = "cannot create state directory " + m_Options.stateDir + ": " + ec.message();
    return false;
  }
  platform::files::SetSystemRoot(m_Options.stateDir);
  if (std::filesystem::exists(RegistryFile(), ec)) {
    // Checked as any file a user hands in: --state may name anything.
    std::vector<uint8_t> bytes;
    if (!sim::ReadInputFile(RegistryFile(), "registry file", 16 * sim::kMiB, &bytes, error)) return false;
    std::string why;
    if (!NT_SUCCESS(platform::registry::LoadFromFile(RegistryFile(), &why))) {
      *error = "cannot load " + RegistryFile() + ": " + why;
      return false;
    }
  }
  platform::clock::SetMode(m_Options.realtime ? platform::clock::Mode::RealTime : platform::clock::Mode::Manual);
  if (m_Options.verbose) platform::debug::SetEcho(true);
  m_Open = true;
  return true;
}

bool Session::ChooseSpeed(std::string* error) {
  using platform::usb::Speed;
  const std::string accepted = " (accepted: 12 or 480; --speed full|high overrides)";
  if (!m_Options.speed.empty()) {
    if (m_Options.speed != "full" && m_Options.speed != "high") {
      *error = "--speed takes full or high, not '" + m_Options.speed + "'";
      return false;
    }
    m_Speed = m_Options.speed == "high" ? Speed::High : Speed::Full;
    m_SpeedReason = "--speed " + m_Options.speed;
    return true;
  }
  // sysfs keeps the speed the device was enumerated at beside its
  // descriptors, in Mbit/s.
  const std::string file = (std::filesystem::path(m_Options.descriptors).parent_path() / "speed").string();
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) {
    std::vector<uint8_t> bytes;
    if (!sim::ReadInputFile(file, "speed file", 64, &bytes, error)) return false;
    std::string text(bytes.begin(), bytes.end());
    const size_t first = text.find_first_not_of(" \t\r\n"), last = text.find_last_not_of(" \t\r\n");
    text = first == std::string::npos ? "" : text.substr(first, last - first + 1);
    if (text == "12" || text == "480") {
      m_Speed = text == "480" ? Speed::High : Speed::Full;
      m_SpeedReason = file + " says " + text;
      return true;
    }
    if (text == "1.5")
      *error = file + " says 1.5 (low speed), which carries no isochronous audio" + accepted;
    else if (text == "5000" || text == "10000" || text == "20000")
      *error = file + " says " + text + " (SuperSpeed); the simulated bus runs full or high speed" + accepted;
    else
      *error = file + " holds '" + text + "', not a USB speed in Mbit/s" + accepted;
    return false;
  }
  const std::string endpoint = sim::HighSpeedOnlyEndpoint(m_Descriptors);
  m_Speed = endpoint.empty() ? Speed::Full : Speed::High;
  m_SpeedReason = endpoint.empty()
                      ? "no speed file beside the descriptors, and every isochronous endpoint fits full speed"
                      : "no speed file beside the descriptors, and " + endpoint + " is more than full speed carries";
  return true;
}

bool Session::Save(std::string* error) {
  if (!NT_SUCCESS(platform::registry::SaveToFile(RegistryFile()))) {
    *error = "cannot write " + RegistryFile();
    return false;
  }
  return true;
}

}  // namespace tools
