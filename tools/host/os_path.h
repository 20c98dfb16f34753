// File names as the host carries them (bytes on POSIX; on Windows text in the
// program's code page, which its manifest makes UTF-8), turned into
// std::filesystem paths and back without loss. One implementation per
// platform (os_path_posix.cpp, os_path_windows.cpp).
#ifndef QRV_HOST_OS_PATH_H
#define QRV_HOST_OS_PATH_H

#include <filesystem>
#include <string>

namespace qrv::host {

// The path a name spells. (The standard library reads a narrow name on Windows
// byte by byte as if each byte were a character; it must not be given one.)
std::filesystem::path PathOf(const std::string& name);

// The name of a path, spelled as the host spells names.
std::string NameOf(const std::filesystem::path& path);

}  // namespace qrv::host

#endif  // QRV_HOST_OS_PATH_H
