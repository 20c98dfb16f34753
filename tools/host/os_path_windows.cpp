#include <windows.h>

#include "os_path.h"

namespace qrv::host {

// Names are in the program's code page: UTF-8 under its manifest, the
// system's ANSI code page where Windows ignores that setting. Characters that
// do not convert become replacement characters, never an exception.
std::filesystem::path PathOf(const std::string& name) {
  if (name.empty()) return {};
  const int size = static_cast<int>(name.size());
  int wide = MultiByteToWideChar(CP_ACP, 0, name.data(), size, nullptr, 0);
  std::wstring text(static_cast<size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, name.data(), size, text.data(), wide);
  return std::filesystem::path(text);
}

std::string NameOf(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string name(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, name.data(), bytes, nullptr, nullptr);
  return name;
}

}  // namespace qrv::host
