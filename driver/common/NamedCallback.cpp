#include "driver/common/NamedCallback.h"

NTSTATUS CreateNamedCallbackObject(PCWSTR prefix, PVOID address, PWSTR name, size_t nameChars,
                                   PCALLBACK_OBJECT* callbackObject) {
  PAGED_CODE();
  if (!callbackObject) return STATUS_INVALID_PARAMETER;
  *callbackObject = nullptr;
  NTSTATUS status = RtlStringCchPrintfW(name, nameChars, u"\\Callback\\%s%p", prefix, address);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING objectName;
  RtlInitUnicodeString(&objectName, name);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
  return ExCreateCallback(callbackObject, &attributes, TRUE, TRUE);
}

void DropNamedCallbackObject(PCALLBACK_OBJECT& callbackObject) {
  if (!callbackObject) return;
  ObMakeTemporaryObject(callbackObject);
  ObDereferenceObject(callbackObject);
  callbackObject = nullptr;
}
