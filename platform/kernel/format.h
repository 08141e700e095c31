// printf-style formatting with the kernel's conversion rules, shared by
// DbgPrint (narrow output) and the wide string routines (wide output).
// In a narrow format %s takes a narrow string and %S a wide one; in a wide
// format it is the other way round, as with the kernel's swprintf. %ws is
// always wide, %hs always narrow, %wZ a UNICODE_STRING*, %Z an ANSI_STRING*.
// Supported: flags "-+ #0", width and precision (numbers or *), the length
// prefixes h, l, ll, I64, I32, I, z, and d i u x X o c C p s S Z %.
#pragma once

#include <cstdarg>
#include <string>

#include "kernel/ntdef.h"

namespace platform {
std::string FormatNarrow(const char* format, va_list args);
std::u16string FormatWide(const WCHAR* format, va_list args);

std::u16string Widen(const std::string& s);    // Latin-1 widening
std::string Narrow(const std::u16string& s);  // characters above 0xFF become '?'
}  // namespace platform
