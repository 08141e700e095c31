// Files below "\SystemRoot\": read-only access to a host directory that the
// main job or a test chooses, through ZwCreateFile, ZwReadFile and
// ZwQueryInformationFile. Names are matched without regard to case, as the
// kernel's file systems do.
#pragma once

#include <string>

#include "kernel/io.h"
#include "kernel/ntdef.h"
#include "kernel/object.h"

constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;

constexpr ULONG FILE_SHARE_READ = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_SHARE_DELETE = 0x00000004;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;

constexpr ULONG FILE_SUPERSEDE = 0x00000000;
constexpr ULONG FILE_OPEN = 0x00000001;
constexpr ULONG FILE_CREATE = 0x00000002;
constexpr ULONG FILE_OPEN_IF = 0x00000003;
constexpr ULONG FILE_OVERWRITE = 0x00000004;
constexpr ULONG FILE_OVERWRITE_IF = 0x00000005;

constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// IO_STATUS_BLOCK.Information after a create.
constexpr ULONG_PTR FILE_OPENED = 0x00000001;

constexpr LONGLONG FILE_USE_FILE_POINTER_POSITION = -2;

enum FILE_INFORMATION_CLASS {
  FileBasicInformation = 4,
  FileStandardInformation = 5,
  FilePositionInformation = 14,
};

struct FILE_STANDARD_INFORMATION {
  LARGE_INTEGER AllocationSize;
  LARGE_INTEGER EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending;
  BOOLEAN Directory;
};
using PFILE_STANDARD_INFORMATION = FILE_STANDARD_INFORMATION*;

struct FILE_POSITION_INFORMATION {
  LARGE_INTEGER CurrentByteOffset;
};
using PFILE_POSITION_INFORMATION = FILE_POSITION_INFORMATION*;

using PIO_APC_ROUTINE = void (*)(PVOID apcContext, PIO_STATUS_BLOCK ioStatusBlock, ULONG reserved);

// Opens an existing file for reading (FILE_OPEN or FILE_OPEN_IF); a request
// to write or create is refused with STATUS_ACCESS_DENIED. A missing file is
// STATUS_OBJECT_NAME_NOT_FOUND, a missing directory
// STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS ZwCreateFile(HANDLE* fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                      PIO_STATUS_BLOCK ioStatusBlock, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength);
// Reads at `byteOffset` (or the current position when it is null): the
// bytes read go to Information; at or past the end of the file the answer is
// STATUS_END_OF_FILE with nothing read.
NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE apcRoutine, PVOID apcContext,
                    PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS ZwQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatusBlock, PVOID fileInformation, ULONG length,
                                FILE_INFORMATION_CLASS fileInformationClass);

namespace platform::files {
// The host directory that "\SystemRoot\" names; empty: none.
void SetSystemRoot(const std::string& hostDirectory);
std::string SystemRoot();
// Files opened through ZwCreateFile and not yet closed.
size_t OpenFileCount();
}  // namespace platform::files
