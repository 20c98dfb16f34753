#include "safe_output.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "archive_entries.h"
#include "file_system.h"
#include "interrupt.h"
#include "os_path.h"

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> gPartCounter{0};

// Files are copied in pieces of this size.
constexpr uint64_t kCopyPiece = uint64_t{1} << 20;

constexpr const char* kFolderPrefix = ".qrv-part-";
constexpr const char* kFileMark = ".part-";

// "PID-N" at the end of a scratch name; the process id, or 0 when the text is
// not of that form.
unsigned long ProcessOfSuffix(const std::string& suffix) {
  size_t dash = suffix.find('-');
  if (dash == 0 || dash == std::string::npos || dash + 1 == suffix.size()) return 0;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (i != dash && (suffix[i] < '0' || suffix[i] > '9')) return 0;
  }
  if (dash > 10) return 0;
  return std::stoul(suffix.substr(0, dash));
}

// The process that made a scratch folder ".qrv-part-PID-N" or a part file
// ".NAME.part-PID-N"; 0 for any other name.
unsigned long ScratchOwner(const std::string& name) {
  const std::string folderPrefix = kFolderPrefix;
  if (name.compare(0, folderPrefix.size(), folderPrefix) == 0) {
    return ProcessOfSuffix(name.substr(folderPrefix.size()));
  }
  size_t mark = name.rfind(kFileMark);
  if (name.size() < 2 || name[0] != '.' || mark == std::string::npos || mark < 2) return 0;
  return ProcessOfSuffix(name.substr(mark + std::strlen(kFileMark)));
}

std::string Suffix() {
  return std::to_string(CurrentProcessId()) + "-" + std::to_string(gPartCounter++);
}

}  // namespace

std::string PartName(const std::string& forPath) {
  fs::path target = PathOf(forPath);
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "." + string.
  std::string name = ".";
  name += NameOf(target.filename());
  name += kFileMark + Suffix();
  return NameOf(target.parent_path() / PathOf(name));
}

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error) {
  std::string reason;
  if (!RenameOver(from, to, &reason)) {
    *error = "cannot write " + Shown(to) + ": " + reason;
    std::error_code ignored;
    fs::remove(PathOf(from), ignored);
    return false;
  }
  return true;
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!part_.empty()) std::remove(part_.c_str());
}

bool OutputFile::Fail(const std::string& reason, std::string* error) {
  *error = "cannot write " + Shown(path_) + ": " + reason;
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  if (!part_.empty()) std::remove(part_.c_str());
  part_.clear();
  return false;
}

bool OutputFile::Open(const std::string& path, std::string* error, bool inPlaceFallback) {
  path_ = path;
  std::error_code ec;
  if (fs::is_directory(PathOf(path), ec)) return Fail("it is a directory", error);
  part_ = PartName(path);
  file_ = std::fopen(part_.c_str(), "wb");
  if (file_ == nullptr && errno == ENAMETOOLONG && inPlaceFallback) {
    // The temporary name would pass the system's limit where the path does
    // not: the file is written in place, and removed again on failure.
    part_ = path;
    file_ = std::fopen(part_.c_str(), "wb");
  }
  if (file_ == nullptr) {
    const int reason = errno;
    part_.clear();
    return Fail(SystemReason(reason), error);
  }
  return true;
}

bool OutputFile::Write(const void* data, size_t size, std::string* error) {
  if (file_ == nullptr) return Fail("not open", error);
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) {
    return Fail(SystemReason(errno), error);
  }
  if (Interrupted()) return Fail("interrupted", error);
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (file_ == nullptr) return Fail("not open", error);
  std::string reason;
  if (!original_.empty() && !SyncWithPermissionsOf(original_, file_, &reason)) {
    return Fail(reason, error);
  }
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0) return Fail(SystemReason(errno), error);
  if (Interrupted()) return Fail("interrupted", error);
  std::string part = part_;
  part_.clear();
  return part == path_ || MoveIntoPlace(part, path_, error);
}

bool CopyFileInto(OutputFile* out, const std::string& path, uint64_t size,
                  const std::function<void(uint64_t copied)>& progress, uint32_t* crc,
                  std::string* error) {
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    *error = Shown(path) + ": cannot open: " + SystemReason(errno);
    return false;
  }
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kCopyPiece, size)));
  uint64_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - done));
    size_t got = std::fread(piece.data(), 1, want, in);
    if (got != want) {
      *error = Shown(path) + (std::ferror(in) ? ": cannot read: " + SystemReason(errno)
                                              : std::string(": the file shrank while it was read"));
      ok = false;
    } else {
      if (crc != nullptr) *crc = UpdateCrc32(*crc, piece.data(), got);
      ok = out->Write(piece.data(), got, error);
      done += got;
      if (progress) progress(done);
    }
  }
  if (ok && std::fgetc(in) != EOF) {
    *error = Shown(path) + ": the file grew while it was read";
    ok = false;
  }
  std::fclose(in);
  return ok;
}

bool WriteFileSafely(const std::string& path, const std::vector<uint8_t>& bytes,
                     std::string* error) {
  OutputFile file;
  return file.Open(path, error) && file.Write(bytes.data(), bytes.size(), error) &&
         file.Commit(error);
}

void RemoveStaleScratch(const std::string& directory) {
  const unsigned long self = CurrentProcessId();
  for (const std::string& name : DirectoryNames(directory)) {
    unsigned long owner = ScratchOwner(name);
    if (owner == 0 || owner == self || !ProcessHasEnded(owner)) continue;
    std::error_code ec;
    fs::remove_all(directory.empty() ? PathOf(name) : PathOf(directory) / PathOf(name), ec);
  }
}

PartDirectory::~PartDirectory() {
  if (!path_.empty()) {
    std::error_code ec;
    fs::remove_all(PathOf(path_), ec);
  }
}

bool PartDirectory::Create(const std::string& parent, std::string* error) {
  std::string name = kFolderPrefix + Suffix();
  std::string candidate = parent.empty() ? name : NameOf(PathOf(parent) / PathOf(name));
  std::error_code ec;
  if (!fs::create_directory(PathOf(candidate), ec)) {
    pathTooLong_ = ec == std::errc::filename_too_long;
    *error = "cannot write into " + (parent.empty() ? std::string(".") : Shown(parent)) + ": " +
             (ec ? ec.message() : std::string("a scratch folder is in the way"));
    return false;
  }
  path_ = candidate;
  return true;
}

}  // namespace qrv::host
