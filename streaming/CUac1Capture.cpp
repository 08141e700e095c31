#include "streaming/CUac1Capture.h"

CUac1Capture::CUac1Capture(PUNKNOWN outerUnknown, ULONG interfaceNumber, ULONG terminalNodeId)
    : CUsbStreamEngine(outerUnknown, interfaceNumber, terminalNodeId) {
  KeInitializeSpinLock(&m_CaptureRingLock);
  m_MsPerUrb = USB_STREAM_DEFAULT_MS_PER_URB;
}
