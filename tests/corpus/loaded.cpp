// The corpus program that loads both built plug-ins as a host does and looks
// their exports up by their plain names.
#include <gtest/gtest.h>

#include <map>

#include "corpus.h"
#include "host_block.h"
#include "plugin_library.h"

namespace qrv::corpus {
namespace {

struct Loaded {
  PluginLibrary library;
  Exports exports;
};

template <typename Fn>
void Find(const PluginLibrary& library, const char* name, Fn* out) {
  *out = library.Get<Fn>(name);
  EXPECT_NE(*out, nullptr) << "no export " << name;
}

}  // namespace

const Exports* ExportsFor(const std::string& kind) {
  static std::map<std::string, Loaded> loaded;
  auto it = loaded.find(kind);
  if (it != loaded.end()) return &it->second.exports;
  Loaded& plugin = loaded[kind];
  const std::string path = ProgramDirectory() + PluginFileName(kind == "image" ? "ifqrvnel" : "axqrvnel");
  if (!plugin.library.Open(path)) {
    ADD_FAILURE() << path << ": " << plugin.library.error();
    loaded.erase(kind);
    return nullptr;
  }
  Find(plugin.library, "IsSupported", &plugin.exports.isSupported);
  if (kind == "image") {
    Find(plugin.library, "GetPictureInfo", &plugin.exports.getPictureInfo);
    Find(plugin.library, "GetPicture", &plugin.exports.getPicture);
  } else {
    Find(plugin.library, "GetArchiveInfo", &plugin.exports.getArchiveInfo);
    Find(plugin.library, "GetFileInfo", &plugin.exports.getFileInfo);
    Find(plugin.library, "GetFile", &plugin.exports.getFile);
  }
  return &plugin.exports;
}

// A loaded plug-in's resources cannot be counted from outside; the direct
// programs do that.
void CheckAfterCall(int) {}

void FreeBlock(QrvBlock block) { host::HostBlock owned(block); }

}  // namespace qrv::corpus
