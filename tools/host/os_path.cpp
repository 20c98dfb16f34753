#include "os_path.h"

#include <type_traits>

namespace qrv::host {
namespace fs = std::filesystem;

// Where paths are byte strings (POSIX) the name is taken as it is, whatever
// its encoding; where they are UTF-16 (Windows) it is read as UTF-8.
constexpr bool kBytePaths = std::is_same_v<fs::path::value_type, char>;

fs::path PathOf(const std::string& name) {
  if constexpr (kBytePaths) {
    return fs::path(name);
  } else {
    return fs::path(std::u8string(name.begin(), name.end()));
  }
}

std::string NameOf(const fs::path& path) {
  if constexpr (kBytePaths) {
    return path.string();
  } else {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
  }
}

}  // namespace qrv::host
