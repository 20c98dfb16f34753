// Small file helpers the end-to-end suites of `qrv` share: scratch folders,
// paths, listings and archives made by the writer.
#ifndef QRV_TESTS_HOST_HOST_FILES_H
#define QRV_TESTS_HOST_HOST_FILES_H

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "test_files.h"

namespace qrv::test {

// A fresh, empty directory under the scratch directory.
inline std::string FreshDir(const std::string& name) {
  std::string path = ScratchPath(name);
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path;
}

inline std::string Join(const std::string& dir, const std::string& name) {
  return (std::filesystem::path(dir) / name).string();
}

// The names in a directory, sorted.
inline std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes MakeArchive(const std::vector<writer::ArchiveEntry>& entries) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(writer::WriteArchive(entries, &out, &error)) << error;
  return out;
}

}  // namespace qrv::test

#endif  // QRV_TESTS_HOST_HOST_FILES_H
