// IUnknown forwarding for the framework's and the stand-ins' own objects.
// A stand-alone object's outer unknown is its embedded inner IUnknown, so
// forwarding to the outer unknown is always a call through a real IUnknown.
#pragma once

#include "kernel/unknown.h"

#define STANDIN_FORWARD_UNKNOWN                                              \
  bool IsStandalone() { return m_OuterUnknown == GetInnerUnknown(); }        \
  IMP_FORWARD_UNKNOWN
