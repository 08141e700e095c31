#include "tests/tools/support/ProgramTest.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/commands.h"

namespace toolstest {

std::string Contents(FILE* file) {
  std::string text;
  std::rewind(file);
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  std::fclose(file);
  return text;
}

void ProgramTest::Write(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
  std::ofstream(Path(name), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void ProgramTest::Write(const std::string& name, const std::string& text) {
  Write(name, std::vector<uint8_t>(text.begin(), text.end()));
}

Outcome ProgramTest::Program(std::vector<std::string> args) {
  for (std::string& a : args)
    for (size_t at; (at = a.find("{}")) != std::string::npos;) a.replace(at, 2, Folder());
  if (std::find(args.begin(), args.end(), "--state") == args.end()) {
    args.insert(args.begin(), Path("state"));
    args.insert(args.begin(), "--state");
  }
  platform::registry::Reset();
  platform::portcls::ResetForTest();
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  Outcome r;
  r.status = tools::RunHeadsetHost(args, out, err);
  r.out = Contents(out);
  r.err = Contents(err);
  return r;
}

std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) text += (text.empty() ? "" : " ") + a;
  return text;
}

}  // namespace toolstest
