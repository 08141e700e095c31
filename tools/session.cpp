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
    m_Descriptors = device->descriptors();
    m_Profile = device->profile();
    m_Speed = device->speed;
    m_Factory = device->factory;
  } else if (!sim::LoadDescriptorFiles(m_Options.descriptors, "", &m_Descriptors, error)) {
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

bool Session::Save(std::string* error) {
  if (!NT_SUCCESS(platform::registry::SaveToFile(RegistryFile()))) {
    *error = "cannot write " + RegistryFile();
    return false;
  }
  return true;
}

}  // namespace tools
