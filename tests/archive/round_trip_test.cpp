// Seeded round trips, linked directly: writer -> detect -> list -> look up ->
// extract, byte-exact, from memory and from a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "archive_builder.h"
#include "exports.h"
#include "random_archive.h"

namespace qrv::test {
namespace {

struct Shape {
  uint32_t seed;
  size_t entries;
  size_t big;
};

// GoogleTest would otherwise print the raw bytes, padding included.
void PrintTo(const Shape& shape, std::ostream* out) {
  *out << "seed " << shape.seed << ", " << shape.entries << " entries";
}

class RoundTrip : public testing::TestWithParam<Shape> {
 protected:
  void TearDown() override {
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
    EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
    EXPECT_EQ(LiveScratch(), 0) << LiveSummary();
  }
};

TEST_P(RoundTrip, ListsLooksUpAndExtractsEveryEntry) {
  const Shape shape = GetParam();
  RandomArchive archive = MakeRandomArchive(shape.seed, shape.entries, shape.big);
  ASSERT_TRUE(archive.written) << archive.error;
  Bytes& bytes = archive.bytes;
  std::string path = ScratchPath("round-trip-" + std::to_string(shape.seed) + ".dat");
  WriteFileBytes(path, bytes);

  Bytes head = bytes;
  head.resize(QRV_HEAD_SIZE, 0);
  // Wherever the head's end cuts the entries, a written archive is detected.
  EXPECT_EQ(IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.data())), 1);

  for (bool fromFile : {false, true}) {
    QrvBlock block = nullptr;
    ASSERT_EQ(fromFile ? GetArchiveInfo(path.data(), 0, 0, &block)
                       : GetArchiveInfo(AsSource(bytes), Length(bytes), 1, &block),
              RC_OK);
    std::vector<FileInfo> records = TakeListing(block);
    ASSERT_EQ(records.size(), archive.entries.size() + 1);
    EXPECT_TRUE(IsZeroRecord(records.back()));
    for (size_t i = 0; i < archive.entries.size(); ++i) {
      const auto& entry = archive.entries[i];
      ASSERT_EQ(records[i].position, archive.positions[i]) << i;
      ASSERT_EQ(records[i].size, entry.data.size()) << i;
      ASSERT_EQ(records[i].stored_size, entry.data.size()) << i;
      ASSERT_STREQ(records[i].file_name, entry.name.substr(0, 199).c_str()) << i;
    }
  }

  // Lookups of a spread of names, some in upper case with the ignore-case bit.
  for (size_t i = 0; i < archive.entries.size(); i += 1 + archive.entries.size() / 40) {
    std::string name = archive.entries[i].name;
    FileInfo info = {};
    ASSERT_EQ(GetFileInfo(AsSource(bytes), Length(bytes), name.data(), 1, &info), RC_OK) << name;
    EXPECT_EQ(info.position, archive.positions[i]);
    std::transform(name.begin(), name.end(), name.begin(), [](char c) { return std::toupper(c); });
    EXPECT_EQ(GetFileInfo(path.data(), 0, name.data(), 0x80, &info), RC_OK) << name;
    EXPECT_EQ(info.position, archive.positions[i]);
  }

  // Every entry to memory from memory; a spread of them from the file, to
  // memory and to files.
  std::string dest = ScratchPath("round-trip-out");
  std::filesystem::create_directories(dest);
  for (size_t i = 0; i < archive.entries.size(); ++i) {
    const auto& entry = archive.entries[i];
    uint32_t at = archive.positions[i];
    QrvBlock block = nullptr;
    ASSERT_EQ(GetFile(AsSource(bytes) + at, Length(bytes) - static_cast<int32_t>(at),
                      reinterpret_cast<char*>(&block), 0x101, nullptr, 0),
              RC_OK)
        << i;
    ASSERT_EQ(TakeBlock(block, entry.data.size()), entry.data) << i;
    if (i % 17 != 0 && entry.data.size() < (1u << 20)) continue;
    ASSERT_EQ(GetFile(path.data(), static_cast<int32_t>(at), reinterpret_cast<char*>(&block), 0x100,
                      nullptr, 0),
              RC_OK)
        << i;
    ASSERT_EQ(TakeBlock(block, entry.data.size()), entry.data) << i;
    // A name too long for the path buffer cannot be written. Whether the
    // system takes a path that fits the buffer but is longer than its own
    // limits is the system's business; either answer must be clean.
    size_t pathLength = dest.size() + 1 + entry.name.size();
    bool fits = pathLength < 272;
    bool creatable = pathLength <= kLongestSystemPath && entry.name.size() <= kLongestFileName;
    int32_t rc = GetFile(path.data(), static_cast<int32_t>(at), dest.data(), 0, nullptr, 0);
    std::string output = dest + "/" + entry.name;
    if (!fits) {
      EXPECT_EQ(rc, RC_INTERNAL_ERROR) << i;
    } else if (creatable) {
      EXPECT_EQ(rc, RC_OK) << i;
    } else {
      EXPECT_TRUE(rc == RC_OK || rc == RC_INTERNAL_ERROR) << i << ": " << rc;
    }
    if (rc == RC_OK) {
      EXPECT_EQ(ReadFileBytes(output), entry.data) << i;
      std::filesystem::remove(output);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RoundTrip,
                         testing::Values(Shape{1, 1, 0}, Shape{2, 1, 1}, Shape{3, 2, 0},
                                         Shape{4, 7, 1}, Shape{5, 60, 0}, Shape{6, 300, 2},
                                         Shape{7, 3000, 2}),
                         [](const auto& info) { return "Seed" + std::to_string(info.param.seed); });

}  // namespace
}  // namespace qrv::test
