// File names as the host carries them: UTF-8 text on every build (on Windows
// the program's code page is UTF-8), turned into std::filesystem paths and
// back without loss.
#ifndef QRV_HOST_OS_PATH_H
#define QRV_HOST_OS_PATH_H

#include <filesystem>
#include <string>

namespace qrv::host {

// The path a name spells. (The standard library reads a narrow name on Windows
// byte by byte as if each byte were a character.)
std::filesystem::path PathOf(const std::string& name);

// The name of a path, as UTF-8 text.
std::string NameOf(const std::filesystem::path& path);

}  // namespace qrv::host

#endif  // QRV_HOST_OS_PATH_H
