// The preset file comes from the system root, where anything may have put
// it: every input must import or be refused without reading or writing
// outside the reader's buffers. Each input runs twice: its lines through the
// line parsers, each in an allocation of exactly its own size (so that a
// parser running past a line's end is caught), and as the whole file through
// the import the device object runs at start.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

#include "driver/CIniReader.h"
#include "driver/IniImporter.h"
#include "driver/SettingsStore.h"
#include "fuzz/Reach.h"
#include "portcls/portcls.h"

namespace {

NTSTATUS NoAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }
NTSTATUS NoStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; }

// One adapter device and one system root for the whole run.
struct World {
  std::filesystem::path root;
  PDEVICE_OBJECT fdo = nullptr;

  World() {
    root = std::filesystem::temp_directory_path() / ("fuzz-ini-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root);
    platform::files::SetSystemRoot(root.string());
    PDRIVER_OBJECT driver = platform::io::CreateDriverObject(u"\\Driver\\FuzzIni");
    platform::io::PhysicalDeviceConfig config;
    config.hardwareIds = {u"USB\\VID_1209&PID_0002&REV_0100", u"USB\\VID_1209&PID_0002"};
    config.driverKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001";
    PDEVICE_OBJECT pdo = platform::io::CreatePhysicalDevice(config);
    PcInitializeAdapterDriver(driver, nullptr, NoAddDevice);
    if (!NT_SUCCESS(PcAddAdapterDevice(driver, pdo, NoStart, 20, PORT_CLASS_DEVICE_EXTENSION_SIZE + 184)))
      std::abort();
    fdo = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(fdo);
  }
};

void ParseLines(const uint8_t* data, size_t size) {
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && data[end] != '\r') ++end;
    size_t length = std::min<size_t>(end - start, INI_MAX_LINE);
    auto line = std::make_unique<CHAR[]>(length ? length : 1);
    std::memcpy(line.get(), data + start, length);
    auto value = std::make_unique<IniValue>();
    if (NT_SUCCESS(CIniReader::ParseValueLine(line.get(), LONG(length), value.get()))) {
      if (value->Bytes > INI_DATA_BYTES || (value->Type != REG_SZ && value->Type != REG_BINARY)) std::abort();
      fuzz::Reached("a value line parsed");
    }
    ULONG version = 0;
    CIniReader::ParseVersionLine(line.get(), LONG(length), &version);
    ParseIniNumber(line.get(), ULONG(length));
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  ParseLines(data, size);

  std::ofstream(world.root / "KESTREL90.INI", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), std::streamsize(size));
  ULONG zero = 0;
  AccessSetting(world.fdo, SETTINGS_WRITE, &zero, sizeof(zero), u"IniVersion");
  if (ImportIniPresets(world.fdo) != STATUS_SUCCESS) std::abort();
  if (platform::files::OpenFileCount() != 0) std::abort();
  // The import stores the file's version once it took the device's section.
  ULONG version = 0;
  if (NT_SUCCESS(AccessSetting(world.fdo, SETTINGS_READ, &version, sizeof(version), u"IniVersion")) && version)
    fuzz::Reached("the presets imported");
  return 0;
}

FUZZ_REACHES("a value line parsed", "the presets imported")
