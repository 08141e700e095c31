// headset-host: loads the driver, plugs in a simulated USB headset and shows,
// plays, records and controls it.
#include <string>
#include <vector>

#include "tools/commands.h"

int main(int argc, char** argv) {
  return tools::RunHeadsetHost(std::vector<std::string>(argv + 1, argv + argc));
}
