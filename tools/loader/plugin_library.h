// Loading a plug-in library at run time the way a host does (dlopen or
// LoadLibraryA) and looking up its exports by their plain names.
#ifndef QRV_TOOLS_PLUGIN_LIBRARY_H
#define QRV_TOOLS_PLUGIN_LIBRARY_H

#include <string>

namespace qrv {

class PluginLibrary {
 public:
  PluginLibrary() = default;
  ~PluginLibrary();
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;
  PluginLibrary(PluginLibrary&& other) noexcept;
  PluginLibrary& operator=(PluginLibrary&& other) noexcept;

  // Loads the library at `path`; false with error() set on failure.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }

  // The export named `name`, or null.
  void* Symbol(const char* name) const;

  template <typename Fn>
  Fn Get(const char* name) const {
    return reinterpret_cast<Fn>(Symbol(name));
  }

  const std::string& error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// The directory of the running program, with a trailing separator.
std::string ProgramDirectory();

// The file name of a plug-in on this build: "ifqrvnel" -> "ifqrvnel.so" or
// "ifqrvnel.spi".
std::string PluginFileName(const std::string& base);

}  // namespace qrv

#endif  // QRV_TOOLS_PLUGIN_LIBRARY_H
