// Output files that appear whole or not at all: everything is written under a
// temporary name in the target's own directory and renamed into place only
// when complete, so a failure or Ctrl-C leaves no partial file behind.
#ifndef QRV_HOST_SAFE_OUTPUT_H
#define QRV_HOST_SAFE_OUTPUT_H

#include <cstdint>
#include <cstdio>
#include <functional>
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
  // `inPlaceFallback`: whether a path whose temporary name would be too long
  // may be written in place (never when the file replaced is being read).
  bool Open(const std::string& path, std::string* error, bool inPlaceFallback = true);
  bool Write(const void* data, size_t size, std::string* error);
  bool Commit(std::string* error);

  // For a file that replaces another: before the rename, Commit gives the new
  // file `original`'s permissions (and its owner where the system allows) and
  // waits until its bytes are on the disk.
  void ReplaceDurably(const std::string& original) { original_ = original; }

 private:
  bool Fail(const std::string& reason, std::string* error);

  std::string path_;
  std::string part_;
  std::string original_;
  std::FILE* file_ = nullptr;
};

// Copies the file `path`, which must hold exactly `size` bytes, into `out`
// piece by piece, so that memory stays small whatever its size. `copied` is
// told the bytes copied so far after each piece; `crc`, when given, is updated
// with CRC-32 over them. False with `error` set (also when the file shrank or
// grew).
bool CopyFileInto(OutputFile* out, const std::string& path, uint64_t size,
                  const std::function<void(uint64_t copied)>& progress, uint32_t* crc,
                  std::string* error);

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
