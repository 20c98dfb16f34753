#include "os_path.h"

namespace qrv::host {

// Paths are byte strings here: the name is taken as it is, whatever its
// encoding.
std::filesystem::path PathOf(const std::string& name) { return std::filesystem::path(name); }

std::string NameOf(const std::filesystem::path& path) { return path.string(); }

}  // namespace qrv::host
