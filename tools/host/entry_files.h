// Which entries of an archive become files, and under which names: one rule
// for `qrv extract` and `qrv mount`, so that the folder a mount shows and the
// files an extraction writes never disagree.
#ifndef QRV_HOST_ENTRY_FILES_H
#define QRV_HOST_ENTRY_FILES_H

#include <string>
#include <vector>

#include "qrvnel.h"

namespace qrv::host {

// An entry left out because an earlier one has its name.
struct RepeatedName {
  FileInfo entry;
  uint32_t firstPosition;  // of the entry whose name it repeats
};

// Each entry's file is named by its listed name (a longer name is listed by
// its first 199 characters). Of several entries with one name only the first
// becomes a file, the one a lookup by that name finds; the others go to
// `repeats`, in stored order.
std::vector<FileInfo> FirstOfEachName(const std::vector<FileInfo>& entries,
                                      std::vector<RepeatedName>* repeats);

// "ARCHIVE: the entry at P repeats the name N of the entry at Q; only the first
// is WHAT, not this one".
std::string RepeatedNameWarning(const std::string& archive, const RepeatedName& repeat,
                                const std::string& what);

// Entry names come from the plug-in, which admits only 0-9, a-z and _; the host
// checks again before a name becomes a file's.
bool IsSafeEntryName(const std::string& name);

}  // namespace qrv::host

#endif  // QRV_HOST_ENTRY_FILES_H
