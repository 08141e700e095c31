#include "kernel/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <vector>

#include "kernel/bugcheck.h"
#include "kernel/irql.h"
#include "kernel/pool.h"
#include "kernel/utf8.h"

namespace {

constexpr ULONG kFileTag = MakeTag("File");
constexpr ULONG kHostFileMagic = 0x46747348;  // "HstF"

// A file object whose FsContext leads to the open host file.
struct HostFile {
  FILE_OBJECT file;
  ULONG magic;
  int fd;
};

std::atomic<size_t> g_openFiles{0};

std::mutex& RootLock() {
  static std::mutex lock;
  return lock;
}
std::string& Root() {
  static std::string root;
  return root;
}

void CloseHostFile(void* object) {
  auto* host = static_cast<HostFile*>(object);
  ::close(host->fd);
  host->magic = 0;
  ExFreePool(host);
  g_openFiles--;
}

bool EqualNoCaseAscii(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

// The entry of `directory` that matches `name` without regard to case.
bool FindEntry(const std::string& directory, const std::string& name, std::string* found) {
  struct stat st;
  if (::stat((directory + "/" + name).c_str(), &st) == 0) {
    *found = name;
    return true;
  }
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return false;
  bool ok = false;
  while (dirent* entry = ::readdir(dir)) {
    if (EqualNoCaseAscii(entry->d_name, name)) {
      *found = entry->d_name;
      ok = true;
      break;
    }
  }
  ::closedir(dir);
  return ok;
}

// Maps "\SystemRoot\a\b" to the host path below the chosen directory. The
// name may not climb out of it.
NTSTATUS HostPath(PCUNICODE_STRING name, std::string* path) {
  if (!name || !name->Buffer || name->Length % 2 != 0) return STATUS_INVALID_PARAMETER;
  std::u16string_view view(name->Buffer, name->Length / sizeof(WCHAR));
  constexpr std::u16string_view kPrefix = u"\\SystemRoot\\";
  if (view.size() <= kPrefix.size()) return STATUS_OBJECT_NAME_INVALID;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    WCHAR a = view[i], b = kPrefix[i];
    if (a >= u'a' && a <= u'z') a = static_cast<WCHAR>(a - 32);
    if (b >= u'a' && b <= u'z') b = static_cast<WCHAR>(b - 32);
    if (a != b) return STATUS_OBJECT_PATH_NOT_FOUND;
  }
  view.remove_prefix(kPrefix.size());
  std::string current;
  {
    std::lock_guard guard(RootLock());
    current = Root();
  }
  if (current.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = view.find(u'\\', start);
    std::u16string_view part = view.substr(start, end == std::u16string_view::npos ? view.size() - start : end - start);
    if (part.empty() || part == u"." || part == u".." || part.find(u'/') != std::u16string_view::npos ||
        part.find(u'\0') != std::u16string_view::npos)
      return STATUS_OBJECT_NAME_INVALID;
    parts.push_back(platform::ToUtf8(part));
    if (end == std::u16string_view::npos) break;
    start = end + 1;
  }
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string found;
    if (!FindEntry(current, parts[i], &found))
      return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
    current += "/" + found;
  }
  *path = current;
  return STATUS_SUCCESS;
}

class FileRef {
 public:
  explicit FileRef(HANDLE handle) {
    PVOID object = nullptr;
    m_Status = ObReferenceObjectByHandle(handle, FILE_READ_DATA, *IoFileObjectType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(m_Status)) return;
    auto* file = static_cast<PFILE_OBJECT>(object);
    auto* host = static_cast<HostFile*>(file->FsContext);
    if (!host || host->magic != kHostFileMagic) {
      ObDereferenceObject(object);
      m_Status = STATUS_INVALID_HANDLE;
      return;
    }
    m_Host = host;
  }
  ~FileRef() {
    if (m_Host) ObDereferenceObject(&m_Host->file);
  }
  FileRef(const FileRef&) = delete;
  FileRef& operator=(const FileRef&) = delete;
  NTSTATUS Status() const { return m_Status; }
  HostFile* Host() const { return m_Host; }

 private:
  HostFile* m_Host = nullptr;
  NTSTATUS m_Status;
};

LONGLONG SizeOf(int fd) {
  struct stat st;
  return ::fstat(fd, &st) == 0 ? static_cast<LONGLONG>(st.st_size) : 0;
}

void SetIosb(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information) {
  if (!iosb) return;
  iosb->Status = status;
  iosb->Information = information;
}

}  // namespace

NTSTATUS ZwCreateFile(HANDLE* fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                      PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER, ULONG, ULONG, ULONG createDisposition,
                      ULONG createOptions, PVOID, ULONG) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "ZwCreateFile above PASSIVE_LEVEL");
  if (!fileHandle || !objectAttributes || !ioStatusBlock) return STATUS_INVALID_PARAMETER;
  *fileHandle = nullptr;
  // The stand-in serves reads only.
  constexpr ACCESS_MASK kWriting = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE;
  if ((desiredAccess & kWriting) || (createDisposition != FILE_OPEN && createDisposition != FILE_OPEN_IF) ||
      (createOptions & FILE_DIRECTORY_FILE)) {
    SetIosb(ioStatusBlock, STATUS_ACCESS_DENIED, 0);
    return STATUS_ACCESS_DENIED;
  }
  std::string path;
  NTSTATUS status =
      objectAttributes->RootDirectory ? STATUS_OBJECT_PATH_NOT_FOUND : HostPath(objectAttributes->ObjectName, &path);
  if (NT_SUCCESS(status)) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    else if (S_ISDIR(st.st_mode))
      status = STATUS_FILE_IS_A_DIRECTORY;
  }
  int fd = -1;
  if (NT_SUCCESS(status)) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) status = errno == EACCES ? STATUS_ACCESS_DENIED : STATUS_OBJECT_NAME_NOT_FOUND;
  }
  HostFile* host = nullptr;
  if (NT_SUCCESS(status)) {
    host = static_cast<HostFile*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(HostFile), kFileTag));
    if (!host) {
      ::close(fd);
      status = STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (!NT_SUCCESS(status)) {
    SetIosb(ioStatusBlock, status, 0);
    return status;
  }
  std::memset(host, 0, sizeof(*host));
  host->file.Type = 5;
  host->file.Size = sizeof(FILE_OBJECT);
  host->file.FsContext = host;
  host->file.ReadAccess = TRUE;
  host->magic = kHostFileMagic;
  host->fd = fd;
  g_openFiles++;
  platform::ob::Register(&host->file, *IoFileObjectType, CloseHostFile);
  *fileHandle = platform::ob::CreateHandle(&host->file, (objectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0);
  ObDereferenceObject(&host->file);
  SetIosb(ioStatusBlock, STATUS_SUCCESS, FILE_OPENED);
  return STATUS_SUCCESS;
}

NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer,
                    ULONG length, PLARGE_INTEGER byteOffset, PULONG) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "ZwReadFile above PASSIVE_LEVEL");
  if (!ioStatusBlock || (!buffer && length)) return STATUS_INVALID_PARAMETER;
  FileRef ref(fileHandle);
  if (!NT_SUCCESS(ref.Status())) return ref.Status();
  FILE_OBJECT& file = ref.Host()->file;
  LONGLONG offset = file.CurrentByteOffset.QuadPart;
  if (byteOffset && byteOffset->QuadPart != FILE_USE_FILE_POINTER_POSITION) offset = byteOffset->QuadPart;
  if (offset < 0) return STATUS_INVALID_PARAMETER;
  LONGLONG size = SizeOf(ref.Host()->fd);
  if (length == 0) {
    SetIosb(ioStatusBlock, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
  }
  if (offset >= size) {
    SetIosb(ioStatusBlock, STATUS_END_OF_FILE, 0);
    return STATUS_END_OF_FILE;
  }
  size_t want = static_cast<size_t>(std::min<LONGLONG>(length, size - offset));
  size_t done = 0;
  while (done < want) {
    ssize_t n = ::pread(ref.Host()->fd, static_cast<char*>(buffer) + done, want - done, offset + done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  file.CurrentByteOffset.QuadPart = offset + static_cast<LONGLONG>(done);
  if (done == 0) {
    SetIosb(ioStatusBlock, STATUS_END_OF_FILE, 0);
    return STATUS_END_OF_FILE;
  }
  SetIosb(ioStatusBlock, STATUS_SUCCESS, done);
  return STATUS_SUCCESS;
}

NTSTATUS ZwQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID fileInformation, ULONG length,
                                FILE_INFORMATION_CLASS fileInformationClass) {
  KERNEL_RULE(KeGetCurrentIrql() == PASSIVE_LEVEL, "ZwQueryInformationFile above PASSIVE_LEVEL");
  if (!ioStatusBlock || !fileInformation) return STATUS_INVALID_PARAMETER;
  FileRef ref(fileHandle);
  if (!NT_SUCCESS(ref.Status())) return ref.Status();
  switch (fileInformationClass) {
    case FileStandardInformation: {
      if (length < sizeof(FILE_STANDARD_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      LONGLONG size = SizeOf(ref.Host()->fd);
      FILE_STANDARD_INFORMATION info{};
      info.EndOfFile.QuadPart = size;
      info.AllocationSize.QuadPart = (size + 4095) & ~LONGLONG{4095};
      info.NumberOfLinks = 1;
      std::memcpy(fileInformation, &info, sizeof(info));
      SetIosb(ioStatusBlock, STATUS_SUCCESS, sizeof(info));
      return STATUS_SUCCESS;
    }
    case FilePositionInformation: {
      if (length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      FILE_POSITION_INFORMATION info{ref.Host()->file.CurrentByteOffset};
      std::memcpy(fileInformation, &info, sizeof(info));
      SetIosb(ioStatusBlock, STATUS_SUCCESS, sizeof(info));
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_INFO_CLASS;
  }
}

namespace platform::files {

void SetSystemRoot(const std::string& hostDirectory) {
  std::lock_guard guard(RootLock());
  Root() = hostDirectory;
}

std::string SystemRoot() {
  std::lock_guard guard(RootLock());
  return Root();
}

size_t OpenFileCount() { return g_openFiles.load(); }

}  // namespace platform::files
