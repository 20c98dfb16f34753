// Output files that appear whole or not at all: everything is written under a
// temporary name in the target's own directory and renamed into place only
// when complete, so a failure or Ctrl-C leaves no partial file behind.
#ifndef QRV_HOST_SAFE_OUTPUT_H
#define QRV_HOST_SAFE_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qrv::host {

// Writes `bytes` to `path`, replacing an existing file. False with `error` set
// ("cannot write PATH: reason"); nothing is left behind then. Where the longer
// temporary name would pass the system's path limit and `path` does not, the
// file is written in place and removed again on failure.
bool WriteFileSafely(const std::string& path, const std::vector<uint8_t>& bytes,
                     std::string* error);

// A file written piece by piece under a temporary name and renamed into place
// by Commit; removed on destruction unless committed.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Each returns false with `error` set ("cannot write PATH: reason").
  bool Open(const std::string& path, std::string* error);
  bool Write(const void* data, size_t size, std::string* error);
  bool Commit(std::string* error);

 private:
  bool Fail(const std::string& reason, std::string* error);

  std::string path_;
  std::string part_;
  std::FILE* file_ = nullptr;
};

// Renames a finished file over `to`. False with `error` set.
bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error);

// A scratch directory inside `parent`, removed with all it holds on destruction.
class PartDirectory {
 public:
  PartDirectory() = default;
  ~PartDirectory();
  PartDirectory(const PartDirectory&) = delete;
  PartDirectory& operator=(const PartDirectory&) = delete;

  bool Create(const std::string& parent, std::string* error);
  // After a failed Create: whether the path would have been too long.
  bool pathTooLong() const { return pathTooLong_; }
  // The directory, spelled as `parent` was plus the scratch name.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool pathTooLong_ = false;
};

// Removes the scratch folders and part files in `directory` that a run killed
// outright (SIGKILL, a power cut) left behind: those whose process has ended.
void RemoveStaleScratch(const std::string& directory);

// A name for a file being written, unique within this process and machine.
std::string PartName(const std::string& forPath);

}  // namespace qrv::host

#endif  // QRV_HOST_SAFE_OUTPUT_H
