// Kernel debugger output. The driver's DbgPrint lines go to a sink that tests
// read and the main job shows with --verbose.
#pragma once

#include <string>
#include <vector>

#include "kernel/ntdef.h"

ULONG DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
ULONG DbgPrintEx(ULONG componentId, ULONG level, const char* format, ...);
void DbgBreakPoint();

#define DPFLTR_IHVAUDIO_ID 0x4D
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_INFO_LEVEL 3

namespace platform::debug {
// Every line printed since the last Clear (one entry per DbgPrint call).
std::vector<std::string> Lines();
void Clear();
bool Contains(const std::string& fragment);
// Echo each line to stderr as it is printed.
void SetEcho(bool echo);
}  // namespace platform::debug
