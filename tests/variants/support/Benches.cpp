// The benches of the hardware-model and topology tests, built into this
// binary as well: the variant models and nodes are exercised on the same
// simulated devices.
#include "tests/driver/hal/support/Devices.cpp"
#include "tests/driver/hal/support/ModelBench.cpp"
#include "tests/topology/support/Testbed.cpp"
#include "tests/streaming/PipeRig.cpp"
#include "tests/streaming/support/StreamBench.cpp"
