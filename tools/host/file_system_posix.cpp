// The file-system layer on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>

#include "file_system.h"
#include "os_path.h"

namespace qrv::host {
namespace {

bool StatInput(const std::string& path, struct stat* info) {
  return IsStandardInput(path) ? fstat(0, info) == 0 : stat(path.c_str(), info) == 0;
}

}  // namespace

bool IdentifyFile(const std::string& path, FileIdentity* identity) {
  struct stat info;
  if (!StatInput(path, &info)) return false;
  identity->device = static_cast<uint64_t>(info.st_dev);
  identity->file = static_cast<uint64_t>(info.st_ino);
  return true;
}

InputKind KindOfInput(const std::string& path, std::string* reason) {
  struct stat info;
  if (!StatInput(path, &info)) {
    *reason = SystemReason(errno);
    return InputKind::kMissing;
  }
  if (S_ISDIR(info.st_mode)) return InputKind::kDirectory;
  if (S_ISREG(info.st_mode)) {
    // A redirected standard input is a file, but its offset is not ours to
    // rely on; it is read like a pipe.
    return IsStandardInput(path) ? InputKind::kStream : InputKind::kRegularFile;
  }
  return InputKind::kStream;
}

bool ReadWholeInput(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  const bool standardInput = IsStandardInput(path);
  int fd = standardInput ? 0 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = Shown(path) + ": cannot open: " + SystemReason(errno);
    return false;
  }
  bytes->clear();
  std::vector<uint8_t> buffer(1 << 16);
  bool ok = true;
  for (;;) {
    ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      *error = Shown(path) + ": cannot read: " + SystemReason(errno);
      ok = false;
      break;
    }
    bytes->insert(bytes->end(), buffer.begin(), buffer.begin() + got);
  }
  if (!standardInput) close(fd);
  return ok;
}

bool MakeDirectories(const std::string& path, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(PathOf(path), ec);
  struct stat info;
  const bool exists = stat(path.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) return true;
  std::string reason = exists ? SystemReason(ENOTDIR) : ec ? ec.message() : SystemReason(errno);
  *error = "cannot write into " + Shown(path) + ": " + reason;
  return false;
}

bool SyncWithPermissionsOf(const std::string& original, std::FILE* file, std::string* reason) {
  struct stat info;
  const int fd = fileno(file);
  if (std::fflush(file) != 0 || stat(original.c_str(), &info) != 0) {
    *reason = SystemReason(errno);
    return false;
  }
  // The owner first: a change of owner may clear the set-id bits set after it.
  // Only the superuser (or the owner, for another of its groups) may change
  // it; a file written by anyone else belongs to them, as any new file does.
  if (fchown(fd, info.st_uid, info.st_gid) != 0 && errno != EPERM) {
    *reason = SystemReason(errno);
    return false;
  }
  if (fchmod(fd, info.st_mode & 07777) != 0 || fsync(fd) != 0) {
    *reason = SystemReason(errno);
    return false;
  }
  return true;
}

size_t LongestFileNameIn(const std::string& directory) {
  return RoomForFileName(directory, NAME_MAX, PATH_MAX - 1);
}

bool RenameOver(const std::string& from, const std::string& to, std::string* reason) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  *reason = SystemReason(errno);
  return false;
}

std::vector<std::string> DirectoryNames(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

unsigned long CurrentProcessId() { return static_cast<unsigned long>(getpid()); }

bool ProcessHasEnded(unsigned long pid) {
  if (pid == 0 || pid > 0x7fffffffUL) return false;
  return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

std::string WhyNameCannotBeAFile(const std::string&) { return {}; }

}  // namespace qrv::host
