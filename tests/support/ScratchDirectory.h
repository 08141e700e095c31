// A directory of the test's own on the local file system: its name holds
// the process id, the test's name and a count, so that neither two tests nor
// two test processes (ctest runs several at once, and two runs may share a
// machine) ever create, write or remove each other's files. Created empty
// by the constructor, removed with everything in it by the destructor.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& Path() const { return m_Path; }
  // A file name inside the directory (the file is not created).
  std::string File(const std::string& name) const { return (m_Path / name).string(); }

 private:
  std::filesystem::path m_Path;
};

}  // namespace testsupport
