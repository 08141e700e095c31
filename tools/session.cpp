#include "tools/session.h"

#include <filesystem>

#include "driver/CHeadsetUsbDevice.h"
#include "kernel/nt.h"
#include "sim/device/EmbeddedDevices.h"
#include "variants/7753/C7753AudioHal.h"

namespace tools {

namespace {
// Until the device object identifies chips itself, a session with a chip's
// board makes the chip's model in the product model's place.
AudioHalFactories g_ProductFactories{};
}  // namespace

Session::~Session() {
  if (m_Open) platform::debug::SetEcho(false);
  if (m_Open && m_ChipModel) CHeadsetUsbDevice::SetAudioHalFactories(g_ProductFactories);
}

bool Session::Open(std::string* error) {
  if (m_Options.descriptors.empty()) {
    const sim::EmbeddedDevice* device = sim::FindEmbeddedDevice(m_Options.device);
    if (!device) {
      *error = "no embedded device '" + m_Options.device + "' (accepted: " + sim::EmbeddedDeviceNames() + ")";
      return false;
    }
    m_Descriptors = device->descriptors();
    m_Profile = device->profile();
    m_Speed = device->speed;
    m_ChipModel = device->chipModel;
  } else if (!sim::LoadDescriptorFiles(m_Options.descriptors, "", &m_Descriptors, error)) {
    return false;
  } else {
    m_Profile = sim::DefaultProfile();
  }
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
  if (m_ChipModel) {
    AudioHalFactories factories = CHeadsetUsbDevice::GetAudioHalFactories();
    g_ProductFactories = factories;
    factories.c7719 = C7753AudioHal::Create;
    CHeadsetUsbDevice::SetAudioHalFactories(factories);
  }
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
