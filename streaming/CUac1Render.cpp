#include "streaming/CUac1Render.h"

CUac1Render::CUac1Render(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId) {
  m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
}
