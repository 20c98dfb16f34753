// Output files that appear whole or not at all: everything is written under a
// temporary name in the target's own directory and renamed into place only
// when complete, so a failure or Ctrl-C leaves no partial file behind.
#ifndef QRV_HOST_SAFE_OUTPUT_H
#define QRV_HOST_SAFE_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace qrv::host {

// Writes `bytes` to `path`, replacing an existing file. False with `error` set
// ("cannot write PATH: reason"); nothing is left behind then.
bool WriteFileSafely(const std::string& path, const std::vector<uint8_t>& bytes,
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
  // The directory, spelled as `parent` was plus the scratch name.
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A name for a file being written, unique within this process and machine.
std::string PartName(const std::string& forPath);

}  // namespace qrv::host

#endif  // QRV_HOST_SAFE_OUTPUT_H
