#include "host/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

ReplacingFile::~ReplacingFile() { Abandon(); }

bool ReplacingFile::Fail(const char* what, int error) {
  if (m_Error == 0) {
    m_Error = error != 0 ? error : EIO;
    m_ErrorText = std::string("cannot ") + what + " " + m_Target + ": " + std::strerror(m_Error);
  }
  Abandon();
  return false;
}

bool ReplacingFile::Open(const std::string& target) {
  Abandon();
  m_Target = target;
  m_Error = 0;
  m_ErrorText.clear();
  mode_t mode = 0;
  uid_t owner = static_cast<uid_t>(-1);
  gid_t group = static_cast<gid_t>(-1);
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return Fail("write", EISDIR);
    // The write bits count even for a superuser, whom access() lets through.
    if ((existing.st_mode & 0222) == 0) return Fail("write", EACCES);
    if (::access(target.c_str(), W_OK) != 0) return Fail("write", errno);
    mode = existing.st_mode & 07777;
    owner = existing.st_uid;
    group = existing.st_gid;
  } else if (errno != ENOENT) {
    return Fail("write", errno);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  // A folder without write bits is the user's word that it stays as it is,
  // whoever runs the program.
  struct stat folder {};
  if (::stat(FolderOf(target).c_str(), &folder) == 0 && (folder.st_mode & 0222) == 0) return Fail("write", EACCES);
  // mkstemp creates the name new (O_EXCL): a link planted under it is never
  // followed, and two writers never share a temporary.
  std::string name = target + ".XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  const int fd = ::mkstemp(buffer.data());
  if (fd < 0) return Fail("write", errno);
  m_Fd = fd;
  m_Temp = buffer.data();
  // Only a superuser may hand the file back to its owner; anyone else
  // already is the owner or may not replace it.
  if (owner != static_cast<uid_t>(-1) && ::geteuid() == 0) (void)::fchown(m_Fd, owner, group);
  if (::fchmod(m_Fd, mode) != 0) return Fail("write", errno);
  return true;
}

bool ReplacingFile::Write(const void* data, size_t size) {
  if (m_Fd < 0) return m_Error == 0 ? Fail("write", EBADF) : false;
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(m_Fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("write", errno);
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplacingFile::WriteAt(uint64_t offset, const void* data, size_t size) {
  if (m_Fd < 0) return m_Error == 0 ? Fail("write", EBADF) : false;
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(m_Fd, p, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("write", errno);
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReplacingFile::Commit() {
  if (m_Fd < 0) return m_Error == 0 ? Fail("write", EBADF) : false;
  if (::fsync(m_Fd) != 0) return Fail("write", errno);
  const int fd = m_Fd;
  m_Fd = -1;
  if (::close(fd) != 0) return Fail("write", errno);
  if (::rename(m_Temp.c_str(), m_Target.c_str()) != 0) return Fail("replace", errno);
  m_Temp.clear();
  // The rename itself lives in the folder: without this a crash may bring
  // the old file back.
  const int dir = ::open(FolderOf(m_Target).c_str(), O_RDONLY | O_DIRECTORY);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

void ReplacingFile::Abandon() {
  if (m_Fd >= 0) {
    ::close(m_Fd);
    m_Fd = -1;
  }
  if (!m_Temp.empty()) {
    ::unlink(m_Temp.c_str());
    m_Temp.clear();
  }
}

int ReplaceFileContents(const std::string& target, std::string_view bytes, std::string* error) {
  ReplacingFile file;
  if (file.Open(target) && file.Write(bytes) && file.Commit()) return 0;
  if (error) *error = file.ErrorText();
  return file.Error();
}
