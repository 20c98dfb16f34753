// Files for tests: a scratch directory per test program, whole-file reads and
// writes, and a file opened the way a host lends it for detection (a POSIX
// descriptor, or a Win32 handle on the Windows build).
#ifndef QRV_TESTS_TEST_FILES_H
#define QRV_TESTS_TEST_FILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"

namespace qrv::test {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the system's temporary directory, made once per
// program and removed at exit; paths below it use the build's separator.
const std::string& ScratchDir();

// ScratchDir() joined with `name`.
std::string ScratchPath(const std::string& name);

void WriteFileBytes(const std::string& path, const Bytes& bytes);
// The file's bytes; `exists` (when given) tells whether it could be opened.
Bytes ReadFileBytes(const std::string& path, bool* exists = nullptr);
bool FileExists(const std::string& path);

// An open read handle on a file, lent as a detection value.
class ProbeFile {
 public:
  explicit ProbeFile(const std::string& path);
  ~ProbeFile();
  ProbeFile(const ProbeFile&) = delete;
  ProbeFile& operator=(const ProbeFile&) = delete;

  bool ok() const;
  ProbeValue value() const;
  int64_t Position() const;
  void SetPosition(int64_t position);

 private:
  intptr_t handle_;
};

}  // namespace qrv::test

#endif  // QRV_TESTS_TEST_FILES_H
