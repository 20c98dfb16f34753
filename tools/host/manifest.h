// The manifest that `qrv extract --manifest` writes beside the extracted files
// and `qrv pack --manifest` builds an archive from: JSON meant to be read and
// edited by a person, one entry per line in the archive's order.
//
//   {"archive": "game.dat", "entries": [
//     {"name": "title", "file": "title", "size": 5120, "second_word": 7, "crc32": "1c291ca3"},
//     ...
//   ]}
//
// Only "name" is required of an entry: "file" defaults to the name,
// "second_word" to 0, and "size" and "crc32" record what was extracted so that
// packing can say which entries changed.
#ifndef QRV_HOST_MANIFEST_H
#define QRV_HOST_MANIFEST_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qrv::host {

constexpr const char* kManifestName = "quorvanel-manifest.json";

struct ManifestEntry {
  std::string name;
  std::string file;  // relative to the manifest's folder, or absolute
  uint32_t secondWord = 0;
  std::optional<uint64_t> size;   // as extracted
  std::optional<uint32_t> crc32;  // as extracted
  int line = 0;                   // where the entry begins in the text read
};

struct Manifest {
  std::string archive;  // the file name of the archive it came from
  std::vector<ManifestEntry> entries;
};

// Where an entry is in a manifest, for messages: "PATH:LINE: entry N (NAME)"
// (N from 1; the name when it is short enough to show).
std::string EntryPlace(const std::string& path, int line, size_t index, const std::string& name);

// The manifest as text, one entry per line.
std::string ManifestText(const Manifest& manifest);

// Reads a manifest's text. False with `errors` set, each naming `path` and the
// line and field at fault; every entry is checked, so that one run shows every
// problem.
bool ParseManifest(const std::string& path, const std::string& text, Manifest* manifest,
                   std::vector<std::string>* errors);

}  // namespace qrv::host

#endif  // QRV_HOST_MANIFEST_H
