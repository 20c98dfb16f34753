#include "entry_files.h"

#include <map>

#include "file_system.h"
#include "plugins.h"

namespace qrv::host {

std::vector<FileInfo> FirstOfEachName(const std::vector<FileInfo>& entries,
                                      std::vector<RepeatedName>* repeats) {
  std::vector<FileInfo> kept;
  std::map<std::string, uint32_t> firstAt;
  for (const FileInfo& entry : entries) {
    auto [at, isNew] = firstAt.emplace(EntryName(entry), entry.position);
    if (isNew) {
      kept.push_back(entry);
    } else {
      repeats->push_back({entry, at->second});
    }
  }
  return kept;
}

std::string RepeatedNameWarning(const std::string& archive, const RepeatedName& repeat,
                                const std::string& what) {
  return Shown(archive) + ": the entry at " + std::to_string(repeat.entry.position) +
         " repeats the name " + Shown(EntryName(repeat.entry)) + " of the entry at " +
         std::to_string(repeat.firstPosition) + "; only the first is " + what +
         ", not this one";
}

bool IsSafeEntryName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_')) return false;
  }
  return true;
}

}  // namespace qrv::host
