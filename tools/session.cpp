#include "tools/session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "host/replace_file.h"
#include "kernel/nt.h"
#include "sim/InputFile.h"
#include "sim/device/EmbeddedDevices.h"
#include "tools/progress.h"

namespace tools {
namespace {

constexpr uint64_t kMaxRegistryBytes = 16 * sim::kMiB;
std::chrono::milliseconds g_LockWait{5000};

// One process at a time merges into a state folder: an advisory lock on
// the folder itself (a read-only folder takes one too, and no lock file is
// left behind), held only while the registry file is read, merged and
// replaced, so that a long run never keeps others waiting.
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock() {
    if (m_Fd >= 0) ::close(m_Fd);
  }

  bool Take(const std::string& folder, std::string* error) {
    m_Fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_Fd < 0) {
      *error = "cannot open the state folder " + folder + ": " + std::strerror(errno);
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + g_LockWait;
    while (::flock(m_Fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno != EWOULDBLOCK) {
        *error = "cannot lock the state folder " + folder + ": " + std::strerror(errno);
        return false;
      }
      if (std::chrono::steady_clock::now() >= deadline) {
        char waited[32];
        std::snprintf(waited, sizeof waited, "%.1f s", std::chrono::duration<double>(g_LockWait).count());
        *error = "another process kept the state folder " + folder + " locked for " + waited + "; nothing was stored";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

 private:
  int m_Fd = -1;
};

}  // namespace

void Session::SetLockWait(std::chrono::milliseconds wait) { g_LockWait = wait; }

Session::~Session() {
  if (m_Open) platform::debug::SetEcho(false);
}

bool Session::Open(std::string* error, FILE* progress) {
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
  // The folder is made only when something is stored in it.
  std::error_code ec;
  if (std::filesystem::exists(m_Options.stateDir, ec) && !std::filesystem::is_directory(m_Options.stateDir, ec)) {
    *error = "cannot create state directory " + m_Options.stateDir + ": it names a file, not a folder";
    return false;
  }
  platform::files::SetSystemRoot(m_Options.stateDir);
  const bool stored = std::filesystem::exists(RegistryFile(), ec);
  if (ec) {
    *error = "cannot read the state folder " + m_Options.stateDir + ": " + ec.message();
    return false;
  }
  if (stored) {
    // Checked as any file a user hands in: --state may name anything.
    std::vector<uint8_t> bytes;
    if (!sim::ReadInputFile(RegistryFile(), "registry file", kMaxRegistryBytes, &bytes, error)) return false;
    const double mib = static_cast<double>(bytes.size()) / static_cast<double>(sim::kMiB);
    ProgressLine line(progress, "loading " + RegistryFile(), mib, "MiB");
    std::string why;
    if (!NT_SUCCESS(platform::registry::LoadFromText({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, &why,
                                                     [&](double done) { line.Update(done * mib); }))) {
      *error = "cannot load " + RegistryFile() + ": " + why;
      return false;
    }
  }
  m_Loaded = platform::registry::TakeSnapshot();
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

bool Session::Save(platform::registry::ChangeKinds kinds, std::string* error) {
  const platform::registry::Changes changes(m_Loaded, kinds);
  if (changes.Empty()) return true;
  const std::string& folder = m_Options.stateDir;
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    *error = "cannot create the state folder " + folder + ": " + ec.message();
    return false;
  }
  FolderLock lock;
  if (!lock.Take(folder, error)) return false;
  std::vector<uint8_t> bytes;
  if (std::filesystem::exists(RegistryFile(), ec) &&
      !sim::ReadInputFile(RegistryFile(), "registry file", kMaxRegistryBytes, &bytes, error))
    return false;
  std::string merged, why;
  if (!NT_SUCCESS(changes.MergeInto({reinterpret_cast<const char*>(bytes.data()), bytes.size()}, &merged, &why))) {
    *error = "cannot store into " + RegistryFile() + ", which no longer reads as a registry file (" + why +
             "); nothing was stored";
    return false;
  }
  if (!merged.empty() && ReplaceFileContents(RegistryFile(), merged, error) != 0) return false;
  m_Loaded = platform::registry::TakeSnapshot();
  return true;
}

std::string Session::KeepAdditions() {
  std::string error;
  if (Save(platform::registry::ChangeKinds::Additions, &error)) return "";
  return "the keys this run created were not stored: " + error;
}

}  // namespace tools
