#include "safe_output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "interrupt.h"
#include "os_path.h"

#if defined(_WIN32)
#include <process.h>
#define QRV_GETPID _getpid
#else
#include <unistd.h>
#define QRV_GETPID getpid
#endif

namespace qrv::host {
namespace fs = std::filesystem;

namespace {

std::atomic<unsigned> gPartCounter{0};

std::string Reason() { return std::strerror(errno); }

}  // namespace

std::string PartName(const std::string& forPath) {
  fs::path target = PathOf(forPath);
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on "." + string.
  std::string name = ".";
  name += NameOf(target.filename());
  name += ".part-" + std::to_string(QRV_GETPID()) + "-" + std::to_string(gPartCounter++);
  return NameOf(target.parent_path() / PathOf(name));
}

bool MoveIntoPlace(const std::string& from, const std::string& to, std::string* error) {
  std::error_code ec;
  fs::rename(PathOf(from), PathOf(to), ec);
  if (ec) {
    // Some Windows runtimes refuse to rename over an existing file.
    std::error_code removeError;
    if (fs::is_regular_file(PathOf(to), removeError) && fs::remove(PathOf(to), removeError)) {
      ec.clear();
      fs::rename(PathOf(from), PathOf(to), ec);
    }
  }
  if (ec) {
    *error = "cannot write " + to + ": " + ec.message();
    std::error_code ignored;
    fs::remove(PathOf(from), ignored);
    return false;
  }
  return true;
}

bool WriteFileSafely(const std::string& path, const std::vector<uint8_t>& bytes,
                     std::string* error) {
  std::error_code ec;
  if (fs::is_directory(PathOf(path), ec)) {
    *error = "cannot write " + path + ": it is a directory";
    return false;
  }
  const std::string part = PartName(path);
  std::FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + Reason();
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  std::string reason = ok ? std::string() : Reason();
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    reason = Reason();
  }
  if (ok && Interrupted()) {
    ok = false;
    reason = "interrupted";
  }
  if (!ok) {
    *error = "cannot write " + path + ": " + reason;
    std::remove(part.c_str());
    return false;
  }
  return MoveIntoPlace(part, path, error);
}

PartDirectory::~PartDirectory() {
  if (!path_.empty()) {
    std::error_code ec;
    fs::remove_all(PathOf(path_), ec);
  }
}

bool PartDirectory::Create(const std::string& parent, std::string* error) {
  std::string name = ".qrv-part-" + std::to_string(QRV_GETPID()) + "-" +
                     std::to_string(gPartCounter++);
  std::string candidate = parent.empty() ? name : NameOf(PathOf(parent) / PathOf(name));
  std::error_code ec;
  if (!fs::create_directory(PathOf(candidate), ec)) {
    *error = "cannot write into " + (parent.empty() ? std::string(".") : parent) + ": " +
             (ec ? ec.message() : std::string("a scratch folder is in the way"));
    return false;
  }
  path_ = candidate;
  return true;
}

}  // namespace qrv::host
