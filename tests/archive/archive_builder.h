// Test archives written field by field, so that a broken archive is a valid one
// with one field changed, and helpers that take over what an export handed to
// the host. Written from the format's layout, independently of the writer.
#ifndef QRV_TESTS_ARCHIVE_BUILDER_H
#define QRV_TESTS_ARCHIVE_BUILDER_H

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fault_platform.h"
#include "platform.h"
#include "qrvnel.h"
#include "test_files.h"

namespace qrv::test {

class ArchiveBuilder {
 public:
  // A valid entry: the header derived from the name and data.
  ArchiveBuilder& Entry(const std::string& name, const Bytes& data, uint32_t second = 0) {
    return Raw(static_cast<uint32_t>(data.size()), second, static_cast<uint16_t>(name.size()),
               name, data);
  }
  // An entry whose header fields need not agree with the bytes that follow.
  ArchiveBuilder& Raw(uint32_t dataSize, uint32_t second, uint16_t nameLength,
                      const std::string& nameBytes, const Bytes& data) {
    Le(dataSize, 4);
    Le(second, 4);
    Le(nameLength, 2);
    bytes_.insert(bytes_.end(), nameBytes.begin(), nameBytes.end());
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
  }
  ArchiveBuilder& EndMark() { return Append(Bytes(4, 0)); }
  ArchiveBuilder& Append(const Bytes& more) {
    bytes_.insert(bytes_.end(), more.begin(), more.end());
    return *this;
  }
  const Bytes& bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  void Le(uint64_t value, int count) {
    for (int i = 0; i < count; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  Bytes bytes_;
};

// Bytes that differ from entry to entry and from position to position.
inline Bytes Pattern(size_t size, uint32_t seed) {
  Bytes out(size);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    out[i] = static_cast<uint8_t>(x >> 16);
  }
  return out;
}

// The address of a memory source. Never null, even for no bytes: a null source
// address asks for a stream that owns a block of its own.
inline char* AsSource(Bytes& bytes) {
  static char none = 0;
  return bytes.empty() ? &none : reinterpret_cast<char*>(bytes.data());
}

// The longest path, in characters, the file system lets the tests create.
#if defined(_WIN32)
constexpr size_t kLongestSystemPath = 259;
#else
constexpr size_t kLongestSystemPath = 4095;
#endif
// The longest name of one file on the tests' file systems.
constexpr size_t kLongestFileName = 255;

inline int32_t Length(const Bytes& bytes) { return static_cast<int32_t>(bytes.size()); }

// The host's side of a data block: its first `size` bytes, then the block is
// freed. Fails the test when the block was not live and unlocked.
inline Bytes TakeBlock(BlockHandle block, size_t size) {
  Bytes out(size);
  void* address = platform::LockBlock(block);
  EXPECT_NE(address, nullptr);
  if (address != nullptr && size > 0) std::memcpy(out.data(), address, size);
  platform::UnlockBlock(block);
  EXPECT_TRUE(FreeHostBlock(block)) << "not a live, unlocked block";
  return out;
}

// The records of a listing up to and including the closing zero record.
inline std::vector<FileInfo> TakeListing(BlockHandle block) {
  std::vector<FileInfo> records;
  auto* address = static_cast<const FileInfo*>(platform::LockBlock(block));
  EXPECT_NE(address, nullptr);
  for (size_t i = 0; address != nullptr; ++i) {
    records.push_back(address[i]);
    if (address[i].method[0] == 0) break;
  }
  platform::UnlockBlock(block);
  EXPECT_TRUE(FreeHostBlock(block)) << "not a live, unlocked block";
  return records;
}

inline bool IsZeroRecord(const FileInfo& record) {
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  for (size_t i = 0; i < sizeof record; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

}  // namespace qrv::test

#endif  // QRV_TESTS_ARCHIVE_BUILDER_H
