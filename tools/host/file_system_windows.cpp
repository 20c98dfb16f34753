// The file-system layer on Windows.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <io.h>

#include "file_system.h"
#include "os_path.h"

namespace qrv::host {
namespace {

// Opens a path only to ask about it; directories too.
HANDLE OpenForQuery(const std::string& path) {
  if (IsStandardInput(path)) return GetStdHandle(STD_INPUT_HANDLE);
  return CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

void CloseQuery(const std::string& path, HANDLE handle) {
  if (!IsStandardInput(path)) CloseHandle(handle);
}

std::string WindowsReason(DWORD code) {
  char text[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, text, sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' ||
                        text[length - 1] == ' ' || text[length - 1] == '.')) {
    text[--length] = 0;
  }
  return length > 0 ? std::string(text) : "error " + std::to_string(code);
}

}  // namespace

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
  HANDLE handle = OpenForQuery(path);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info);
  CloseQuery(path, handle);
  if (!ok) return false;
  identity->device = info.dwVolumeSerialNumber;
  identity->file = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

InputKind KindOfInput(const std::string& path, std::string* reason) {
  if (IsStandardInput(path)) return InputKind::kStream;
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    *reason = WindowsReason(GetLastError());
    return InputKind::kMissing;
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return InputKind::kDirectory;
  HANDLE handle = OpenForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return InputKind::kRegularFile;  // the open will say why
  DWORD type = GetFileType(handle);
  CloseQuery(path, handle);
  return type == FILE_TYPE_DISK ? InputKind::kRegularFile : InputKind::kStream;
}

bool ReadWholeInput(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  const bool standardInput = IsStandardInput(path);
  std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = Shown(path) + ": cannot open: " + SystemReason(errno);
    return false;
  }
  if (standardInput) _setmode(_fileno(stdin), 0x8000 /* _O_BINARY */);
  bytes->clear();
  std::vector<uint8_t> buffer(1 << 16);
  size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + got);
  }
  bool ok = std::ferror(file) == 0;
  if (!ok) *error = Shown(path) + ": cannot read: " + SystemReason(errno);
  if (!standardInput) std::fclose(file);
  return ok;
}

bool MakeDirectories(const std::string& path, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(PathOf(path), ec);
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  std::string reason = attributes != INVALID_FILE_ATTRIBUTES ? WindowsReason(ERROR_DIRECTORY)
                       : ec                                  ? ec.message()
                                                             : WindowsReason(GetLastError());
  *error = "cannot write into " + Shown(path) + ": " + reason;
  return false;
}

// A new file takes its access rights from the folder it is made in, the
// folder of the file it replaces; only the flush is needed here.
bool SyncWithPermissionsOf(const std::string&, std::FILE* file, std::string* reason) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (std::fflush(file) != 0 || handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
    *reason = WindowsReason(GetLastError());
    return false;
  }
  return true;
}

size_t LongestFileNameIn(const std::string& directory) {
  return RoomForFileName(directory, 255, MAX_PATH - 1);
}

bool RenameOver(const std::string& from, const std::string& to, std::string* reason) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  *reason = WindowsReason(GetLastError());
  return false;
}

std::vector<std::string> DirectoryNames(const std::string& directory) {
  std::vector<std::string> names;
  std::string pattern = (directory.empty() ? std::string(".") : directory) + "\\*";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = found.cFileName;
    if (name != "." && name != "..") names.push_back(name);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return names;
}

unsigned long CurrentProcessId() { return GetCurrentProcessId(); }

bool ProcessHasEnded(unsigned long pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

std::string WhyNameCannotBeAFile(const std::string& name) {
  static const char* const kDevices[] = {
      "con",  "prn",  "aux",  "nul",  "com0", "com1", "com2", "com3", "com4", "com5", "com6",
      "com7", "com8", "com9", "lpt0", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7",
      "lpt8", "lpt9"};
  for (const char* device : kDevices) {
    if (_stricmp(name.c_str(), device) == 0) {
      return name + " is a device name on Windows, which no file can have (write the entry "
                    "with --stdout instead)";
    }
  }
  return {};
}

}  // namespace qrv::host
