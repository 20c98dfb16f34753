// The platform-independent part of the file-system layer.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "file_system.h"
#include "os_path.h"

namespace qrv::host {

std::string Shown(const std::string& path) {
  return path.empty() ? "\"\"" : EscapeControl(path);
}

std::string EscapeControl(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string SystemReason(int error) { return std::strerror(error); }

bool SameFile(const std::string& a, const std::string& b) {
  FileIdentity first;
  FileIdentity second;
  return IdentifyFile(a, &first) && IdentifyFile(b, &second) && first == second;
}

size_t RoomForFileName(const std::string& directory, size_t longestName, size_t longestPath) {
  // ".NAME.part-PID-N": a dot before and 24 characters after at most.
  constexpr size_t kPartMarks = 25;
  std::error_code ec;
  const size_t folder = NameOf(std::filesystem::absolute(PathOf(directory), ec)).size();
  const size_t used = folder + 1 + kPartMarks;
  return std::min(longestName - kPartMarks, longestPath > used ? longestPath - used : 0);
}

bool KindOfReadableInput(const std::string& path, InputKind* kind, std::string* error) {
  std::string reason;
  *kind = KindOfInput(path, &reason);
  switch (*kind) {
    case InputKind::kMissing:
      *error = Shown(path) + ": cannot open: " + reason;
      return false;
    case InputKind::kDirectory:
      *error = Shown(path) + ": is a directory, not a file";
      return false;
    default:
      return true;
  }
}

}  // namespace qrv::host
