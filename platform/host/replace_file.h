// Files the host side writes (the registry's state, WAV recordings, DOT and
// JSON output) never replace what is there until the new contents are whole:
// they are written under a fresh name beside the target, synced, and renamed
// over it. A failure at any step leaves the old file as it was and nothing
// new behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  // An uncommitted file is abandoned: its temporary name is removed.
  ~ReplacingFile();

  // Refuses a target that is a directory or that exists and may not be
  // written (a read-only file or folder is the user's statement that it
  // stays, even for a superuser), and a folder the new file cannot be
  // created in.
  bool Open(const std::string& target);
  bool Write(const void* data, size_t size);
  bool Write(std::string_view text) { return Write(text.data(), text.size()); }
  // Rewrites bytes already written (a header whose sizes are known last).
  bool WriteAt(uint64_t offset, const void* data, size_t size);
  bool Commit();
  void Abandon();

  // errno of the first failure, 0 while none.
  int Error() const { return m_Error; }
  // One line naming the file and the reason, for the user.
  const std::string& ErrorText() const { return m_ErrorText; }

 private:
  bool Fail(const char* what, int error);

  std::string m_Target;
  std::string m_Temp;
  int m_Fd = -1;
  int m_Error = 0;
  std::string m_ErrorText;
};

// The whole of `bytes` as the new contents of `target`; on failure *error
// (when given) holds ErrorText() and the result is the errno.
int ReplaceFileContents(const std::string& target, std::string_view bytes, std::string* error = nullptr);
