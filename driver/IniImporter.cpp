#include "driver/IniImporter.h"

#include "driver/CIniReader.h"
#include "driver/SettingsStore.h"

NTSTATUS ImportIniPresets(PDEVICE_OBJECT deviceObject) {
  PAGED_CODE();
  auto* reader = new (NonPagedPool, INI_READER_TAG) CIniReader(deviceObject);
  if (!reader) return STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(reader->BuildPath())) {
    ULONG version = reader->ReadVersion();
    ULONG stored = 0;
    AccessSetting(deviceObject, SETTINGS_READ, &stored, sizeof(stored), u"IniVersion");
    if (stored < version && NT_SUCCESS(reader->OpenDeviceSection()) && NT_SUCCESS(reader->ImportAll()))
      AccessSetting(deviceObject, SETTINGS_WRITE, &version, sizeof(version), u"IniVersion");
  }
  reader->Close();
  reader->~CIniReader();
  ExFreePool(reader);
  return STATUS_SUCCESS;
}
