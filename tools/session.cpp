#include "tools/session.h"

#include <filesystem>

#include "kernel/nt.h"
#include "sim/device/EmbeddedDevices.h"

namespace tools {

Session::~Session() {
  if (m_Open) platform::debug::SetEcho(false);
}

bool Session::Open(std::string* error) {
  if (!m_Options.factory.empty() && m_Options.factory != "product" && m_Options.factory != "chip") {
    *error = "no factory '" + m_Options.factory + "' (accepted: product, chip)";
    return false;
  }
  if (m_Options.descriptors.empty()) {
    const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(m_Options.device);
    if (!device) {
      *error = "no embedded device '" + m_Options.device + "' (accepted: " + sim::EmbeddedDeviceNames() + ")";
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
  if (std::filesystem::exists(RegistryFile())) {
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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof(esc), "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace tools
