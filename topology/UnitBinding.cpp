#include "topology/UnitBinding.h"

#include "driver/SettingsStore.h"

namespace {
constexpr WCHAR kValueBase[] = u"Unit";
}

NTSTATUS FormatChannelValuePrefix(PWSTR prefix, ULONG nodeId, ULONG outputType) {
  return RtlStringCchPrintfW(prefix, NODE_VALUE_PREFIX_CHARS, u"%s%02d_%2d_", kValueBase, static_cast<int>(nodeId),
                             static_cast<int>(outputType));
}

NTSTATUS FormatNodeValueName(PWSTR name, ULONG nodeId) {
  return RtlStringCchPrintfW(name, NODE_VALUE_PREFIX_CHARS, u"%s%02d_", kValueBase, static_cast<int>(nodeId));
}

void NotifyNodeChange(PCALLBACK_OBJECT callbackObject, ULONG nodeId) {
  if (!callbackObject) return;
  AudioHalNotify notify{AUDIOHAL_NOTIFY_CONTROL_CHANGE, 1, nodeId, 0};
  ExNotifyCallback(callbackObject, &notify, nullptr);
}

NTSTATUS CUnitBinding::ReadChannel(ULONG channel, PVOID data, ULONG length) const {
  return AccessIndexedSetting(deviceObject, SETTINGS_READ, data, length, valueName, channel);
}

NTSTATUS CUnitBinding::WriteChannel(ULONG channel, PVOID data, ULONG length) const {
  return AccessIndexedSetting(deviceObject, SETTINGS_WRITE, data, length, valueName, channel);
}

NTSTATUS CUnitBinding::Read(PVOID data, ULONG length) const {
  return AccessSetting(deviceObject, SETTINGS_READ, data, length, valueName);
}

NTSTATUS CUnitBinding::Write(PVOID data, ULONG length) const {
  return AccessSetting(deviceObject, SETTINGS_WRITE, data, length, valueName);
}

void ReportUnusableSetting(PCWSTR valueName, LONG index, LONGLONG value) {
  // Value names are ASCII: "Unit07_", "Unit02_ 0_1", "UACUnit07".
  char name[NODE_VALUE_PREFIX_CHARS + 12] = {};
  ULONG length = 0;
  for (; length < NODE_VALUE_PREFIX_CHARS && valueName && valueName[length]; ++length)
    name[length] = static_cast<char>(valueName[length] < 0x80 ? valueName[length] : '?');
  if (index >= 0) RtlStringCchPrintfA(name + length, sizeof name - length, "%d", static_cast<int>(index));
  DbgPrint("Settings value \"%s\" = %lld (0x%X) ignored: not a value its control takes\n", name,
           static_cast<long long>(value), static_cast<unsigned>(value));
}
