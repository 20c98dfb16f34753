// Run-time loading of a plug-in, over dlopen or LoadLibraryA.
#include "plugin_library.h"

#include <utility>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace qrv {

PluginLibrary::~PluginLibrary() { Close(); }

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), error_(std::move(other.error_)) {}

PluginLibrary& PluginLibrary::operator=(PluginLibrary&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, nullptr);
    error_ = std::move(other.error_);
  }
  return *this;
}

#if defined(_WIN32)

bool PluginLibrary::Open(const std::string& path) {
  Close();
  handle_ = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
  if (handle_ == nullptr) error_ = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return handle_ != nullptr;
}

void PluginLibrary::Close() {
  if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

void* PluginLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

std::string ProgramDirectory() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string full(path, length < MAX_PATH ? length : 0);
  size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".\\") : full.substr(0, slash + 1);
}

std::string PluginFileName(const std::string& base) { return base + ".spi"; }

#else

bool PluginLibrary::Open(const std::string& path) {
  Close();
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = message != nullptr ? message : "dlopen failed";
  }
  return handle_ != nullptr;
}

void PluginLibrary::Close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

void* PluginLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string ProgramDirectory() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string full(path, length > 0 ? static_cast<size_t>(length) : 0);
  size_t slash = full.find_last_of('/');
  return slash == std::string::npos ? std::string("./") : full.substr(0, slash + 1);
}

std::string PluginFileName(const std::string& base) { return base + ".so"; }

#endif

}  // namespace qrv
