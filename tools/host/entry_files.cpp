#include "entry_files.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "archive_entries.h"
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

std::vector<std::string> ManifestFileNames(const std::vector<std::string>& names,
                                           size_t longest) {
  const size_t keptWhole = std::min<size_t>(200, longest);
  // A cut name ends in ".xxxxxxxx" (9) and may get ".N" (up to 6).
  const size_t keptOfLong = std::min<size_t>(180, keptWhole > 16 ? keptWhole - 15 : 1);
  std::vector<std::string> files(names.size());
  std::set<std::string> used;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (name.size() <= keptWhole && WhyNameCannotBeAFile(name).empty() &&
        used.insert(name).second) {
      files[i] = name;
    }
  }
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    size_t occurrence = ++seen[name];
    if (!files[i].empty()) continue;
    std::string base = name;
    if (name.size() > keptWhole) {
      char crc[16];
      std::snprintf(crc, sizeof crc, ".%08x", UpdateCrc32(0, name.data(), name.size()));
      base = name.substr(0, keptOfLong) + crc;
    } else if (!WhyNameCannotBeAFile(name).empty()) {
      base = name + "_";
    }
    std::string file = occurrence == 1 && base != name ? base : base + "." + std::to_string(occurrence);
    while (!used.insert(file).second) file = base + "." + std::to_string(++occurrence);
    files[i] = file;
  }
  return files;
}

}  // namespace qrv::host
