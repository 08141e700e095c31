// The descriptor sets of the hardware-model tests, built into this binary
// as well: headset-host's factory choice is checked on the same devices.
#include "tests/driver/hal/support/Devices.cpp"
