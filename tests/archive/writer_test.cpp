// The archive writer: pinned against hand-computed bytes, and every name and
// entry it must refuse.
#include <gtest/gtest.h>

#include "archive_writer.h"

namespace qrv::writer {
namespace {

TEST(WriteArchive, WritesHeadersNamesDataAndTheEndMark) {
  std::vector<uint8_t> out = {0xee};  // appended to, not replaced
  std::string error;
  ASSERT_TRUE(WriteArchive({{"a", {0x41, 0x42}, 0x01020304}, {"b_1", {0xff}, 0}}, &out, &error))
      << error;
  const std::vector<uint8_t> expected = {
      0xee,                                                     //
      0x02, 0, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x01, 0, 'a', 0x41, 0x42,  //
      0x01, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 'b', '_', '1', 0xff,  //
      0, 0, 0, 0,
  };
  EXPECT_EQ(out, expected);
}

TEST(WriteArchive, StoresLengthsAboveOneByte) {
  std::vector<uint8_t> out;
  std::string error;
  ArchiveEntry entry{std::string(0x1234, 'z'), std::vector<uint8_t>(0x10203, 7), 0xa1b2c3d4};
  ASSERT_TRUE(WriteArchive({entry}, &out, &error)) << error;
  ASSERT_EQ(out.size(), 10u + 0x1234 + 0x10203 + 4);
  const std::vector<uint8_t> head(out.begin(), out.begin() + 10);
  EXPECT_EQ(head, (std::vector<uint8_t>{0x03, 0x02, 0x01, 0, 0xd4, 0xc3, 0xb2, 0xa1, 0x34, 0x12}));
}

TEST(WriteArchive, RefusesWhatTheFormatForbids) {
  struct Row {
    const char* what;
    std::vector<ArchiveEntry> entries;
  };
  const Row rows[] = {
      {"no entries", {}},
      {"an empty name", {{"", {1}, 0}}},
      {"a name of 65536 characters", {{std::string(65536, 'a'), {1}, 0}}},
      {"upper case", {{"ok", {1}, 0}, {"Bad", {1}, 0}}},
      {"a dot", {{"a.txt", {1}, 0}}},
      {"a space", {{"a b", {1}, 0}}},
      {"a separator", {{"dir\\a", {1}, 0}}},
      {"a zero byte", {{std::string("a\0b", 3), {1}, 0}}},
      {"a byte above 127", {{"\xc3\xa4", {1}, 0}}},
      {"empty data", {{"a", {}, 0}}},
  };
  for (const Row& row : rows) {
    std::vector<uint8_t> out = {1, 2, 3};
    std::string error;
    EXPECT_FALSE(WriteArchive(row.entries, &out, &error)) << row.what;
    EXPECT_FALSE(error.empty()) << row.what;
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3})) << row.what << ": nothing appended";
  }
  std::string error;
  std::vector<uint8_t> out;
  EXPECT_FALSE(WriteArchive({{"ok", {1}, 0}, {"Bad", {1}, 0}}, &out, &error));
  EXPECT_NE(error.find("entry 1"), std::string::npos) << error;
}

TEST(CheckEntryName, AcceptsTheFormatsCharactersOnly) {
  for (const std::string& good : {std::string("a"), std::string("ab_9"), std::string(65535, '_'),
                                  std::string("0123456789abcdefghijklmnopqrstuvwxyz_")}) {
    EXPECT_EQ(CheckEntryName(good), "") << good.substr(0, 20);
  }
  for (int c = 0; c < 256; ++c) {
    bool valid = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_';
    EXPECT_EQ(CheckEntryName(std::string("x") + static_cast<char>(c)).empty(), valid) << c;
  }
}

}  // namespace
}  // namespace qrv::writer
