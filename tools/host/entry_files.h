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

// With `qrv extract --manifest` every entry becomes a file: its own name where
// that can be a file and no earlier entry has it; otherwise a name of its own,
// which the manifest records: NAME.2, NAME.3, ... for the later entries of one
// name (entry names hold no dot), and for a name too long to be kept whole
// (over 200 characters, or over `longest`, what the folder's path leaves) its
// first characters, a dot and a CRC-32 of the whole name. `names` are the
// entries' whole names, in stored order.
std::vector<std::string> ManifestFileNames(const std::vector<std::string>& names, size_t longest);

}  // namespace qrv::host

#endif  // QRV_HOST_ENTRY_FILES_H
