// Work on a system thread of the platform, so that the test thread can move
// the manual clock while the work waits on it.
#pragma once

#include <functional>

#include "kernel/nt.h"

namespace testsupport {

// Runs `work` on a new system thread; the thread object is returned
// referenced (null when the thread could not be made).
PKTHREAD RunOnSystemThread(std::function<void()> work);
// Waits for the thread to end and drops the reference.
void Join(PKTHREAD thread);

}  // namespace testsupport
