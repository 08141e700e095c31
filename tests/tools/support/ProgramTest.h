// headset-host run as a fresh process would run it (RunHeadsetHost:
// arguments in, exit status and the two streams out), with its state and
// files in a scratch folder of the test's own.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/ScratchDirectory.h"
#include "tests/tools/ToolsTest.h"

namespace toolstest {

struct Outcome {
  int status = -1;
  std::string out, err;
};

class ProgramTest : public ToolsTest {
 protected:
  std::string Folder() const { return m_Scratch.Path().string(); }
  std::string Path(const std::string& name) const { return m_Scratch.File(name); }
  void Write(const std::string& name, const std::vector<uint8_t>& bytes);
  void Write(const std::string& name, const std::string& text);

  // "{}" in an argument stands for the scratch folder; without --state the
  // state is the folder's "state".
  Outcome Program(std::vector<std::string> args);

 private:
  testsupport::ScratchDirectory m_Scratch;
};

// What a temporary file holds; the file is closed.
std::string Contents(FILE* file);

// The arguments as one line, for traces.
std::string Joined(const std::vector<std::string>& args);

}  // namespace toolstest
