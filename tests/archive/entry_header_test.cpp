// ReadEntryHeader over memory streams: every header and name rule, where the
// stream is left, and that no name buffer outlives a failure.
#include <gtest/gtest.h>

#include "archive_builder.h"
#include "entry_header.h"

namespace qrv::test {
namespace {

class ReadEntryHeaderTest : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    ResetFaults();
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
    EXPECT_EQ(LiveScratch(), 0) << LiveSummary();
  }

  // Reads one header from `bytes`; `next` receives the byte the stream then
  // stands on (-1 at the end).
  int32_t Read(Bytes bytes, EntryHeader* header, std::string* name, int* next = nullptr) {
    StreamHandle stream = platform::OpenMemory(AsSource(bytes), Length(bytes));
    EXPECT_NE(stream, nullptr);
    char* got = reinterpret_cast<char*>(uintptr_t{1});
    int32_t rc = ReadEntryHeader(stream, header, &got);
    if (rc == RC_OK) {
      EXPECT_NE(got, nullptr);
      *name = got;
    } else {
      EXPECT_EQ(got, nullptr) << "a failure hands out no name";
    }
    ReleaseEntryName(rc == RC_OK ? got : nullptr);
    uint8_t byte = 0;
    if (next != nullptr) *next = platform::Read(stream, &byte, 1) == 1 ? byte : -1;
    EXPECT_EQ(platform::Close(stream), 0);
    return rc;
  }
};

TEST_F(ReadEntryHeaderTest, ReadsTheWorkedExample) {
  Bytes bytes = {5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 'a', 0xd0, 0xd1, 0xd2, 0xd3, 0xd4};
  EntryHeader header = {};
  std::string name;
  int next = 0;
  ASSERT_EQ(Read(bytes, &header, &name, &next), RC_OK);
  EXPECT_EQ(header.dataSize, 5u);
  EXPECT_EQ(header.nameLength, 1u);
  EXPECT_EQ(name, "a");
  EXPECT_EQ(next, 0xd0) << "the stream stands on the first data byte";
}

TEST_F(ReadEntryHeaderTest, FieldsAreLittleEndian) {
  Bytes bytes = ArchiveBuilder().Raw(0x04030201, 0xa1b2c3d4, 3, "x_1", {9}).bytes();
  EntryHeader header = {};
  std::string name;
  ASSERT_EQ(Read(bytes, &header, &name), RC_OK);
  EXPECT_EQ(header.dataSize, 0x04030201u);
  EXPECT_EQ(header.secondWord, 0xa1b2c3d4u);
  EXPECT_EQ(header.nameLength, 3u);
  EXPECT_EQ(name, "x_1");
}

TEST_F(ReadEntryHeaderTest, AcceptsOnlyDigitsLowerCaseAndUnderscore) {
  for (int c = 0; c < 256; ++c) {
    bool valid = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_';
    for (size_t at : {size_t{0}, size_t{2}}) {  // alone, and after valid characters
      std::string nameBytes = at == 0 ? std::string(1, static_cast<char>(c))
                                      : std::string("ab") + static_cast<char>(c);
      Bytes bytes = ArchiveBuilder()
                        .Raw(2, 0, static_cast<uint16_t>(nameBytes.size()), nameBytes, {7, 8})
                        .bytes();
      EntryHeader header = {};
      std::string name;
      int next = 0;
      ASSERT_EQ(Read(bytes, &header, &name, &next), valid ? RC_OK : RC_UNKNOWN_FORMAT)
          << "byte " << c << " at " << at;
      // Accepted or not, the whole name was read.
      EXPECT_EQ(next, 7) << "byte " << c;
    }
  }
}

TEST_F(ReadEntryHeaderTest, RejectsNamesOfEveryForbiddenKind) {
  const std::string rejected[] = {
      "Ab",       "a.b",          "a b",   "a-b", "a/b", "a\\b", "..", "a:b", "\xe4", "ab\x7f",
      std::string("a\0b", 3),     std::string("ab\0", 3),        std::string("\0", 1),
  };
  for (const std::string& bad : rejected) {
    Bytes bytes =
        ArchiveBuilder().Raw(1, 0, static_cast<uint16_t>(bad.size()), bad, {1}).bytes();
    EntryHeader header = {};
    std::string name;
    EXPECT_EQ(Read(bytes, &header, &name), RC_UNKNOWN_FORMAT) << testing::PrintToString(bad);
  }
  EntryHeader header = {};
  std::string name;
  EXPECT_EQ(Read(ArchiveBuilder().Entry("ab_9", {1}).bytes(), &header, &name), RC_OK);
  EXPECT_EQ(name, "ab_9");
}

TEST_F(ReadEntryHeaderTest, ZeroSizeOrLengthIsRejectedBeforeTheName) {
  struct Row {
    uint32_t dataSize;
    uint16_t nameLength;
  };
  for (Row row : {Row{0, 3}, Row{5, 0}, Row{0, 0}}) {
    Bytes bytes = ArchiveBuilder().Raw(row.dataSize, 1, row.nameLength, "abc", Bytes(5, 1)).bytes();
    ResetFaults();
    EntryHeader header = {};
    std::string name;
    int next = 0;
    EXPECT_EQ(Read(bytes, &header, &name, &next), RC_UNKNOWN_FORMAT)
        << row.dataSize << " " << row.nameLength;
    EXPECT_EQ(CallCount(Op::kAlloc), 0) << "no name buffer for a header already rejected";
    EXPECT_EQ(next, 'a') << "the stream stands just after the 10 header bytes";
  }
}

TEST_F(ReadEntryHeaderTest, ShortHeadersKeepTheBytesThatArrived) {
  const Bytes full = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  for (size_t n = 0; n < 10; ++n) {
    Bytes bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EntryHeader header = {0xffffffff, 0xffffffff, 0xffff};
    std::string name;
    int next = 0;
    EXPECT_EQ(Read(bytes, &header, &name, &next), n == 0 ? RC_READ_ERROR : RC_UNKNOWN_FORMAT)
        << n << " bytes";
    Bytes padded = bytes;
    padded.resize(10, 0);
    EXPECT_EQ(header.dataSize, padded[0] | padded[1] << 8 | padded[2] << 16 | uint32_t{padded[3]} << 24);
    EXPECT_EQ(header.secondWord, padded[4] | padded[5] << 8 | padded[6] << 16 | uint32_t{padded[7]} << 24);
    EXPECT_EQ(header.nameLength, padded[8] | padded[9] << 8);
    EXPECT_EQ(next, -1) << "all the bytes that arrived were taken";
  }
}

TEST_F(ReadEntryHeaderTest, TheEndMarkReadsAsAnAllZeroShortHeader) {
  EntryHeader header = {1, 1, 1};
  std::string name;
  EXPECT_EQ(Read(Bytes(4, 0), &header, &name), RC_UNKNOWN_FORMAT);
  EXPECT_EQ(header.dataSize, 0u);
  EXPECT_EQ(header.secondWord, 0u);
  EXPECT_EQ(header.nameLength, 0u);
}

TEST_F(ReadEntryHeaderTest, ANameCutShortIsAReadError) {
  for (size_t present : {0, 1, 4}) {
    Bytes bytes = ArchiveBuilder().Raw(3, 0, 5, std::string("abcde").substr(0, present), {}).bytes();
    EntryHeader header = {};
    std::string name;
    EXPECT_EQ(Read(bytes, &header, &name), RC_READ_ERROR) << present << " name bytes";
  }
}

TEST_F(ReadEntryHeaderTest, ALongestNameIsCheckedToItsLastByte) {
  std::string longest(65535, 'q');
  EntryHeader header = {};
  std::string name;
  ASSERT_EQ(Read(ArchiveBuilder().Entry(longest, {1, 2}).bytes(), &header, &name), RC_OK);
  EXPECT_EQ(header.nameLength, 65535u);
  EXPECT_EQ(name, longest);
  std::string badAtEnd = longest;
  badAtEnd.back() = 'Q';
  EXPECT_EQ(Read(ArchiveBuilder().Entry(badAtEnd, {1, 2}).bytes(), &header, &name),
            RC_UNKNOWN_FORMAT);
}

TEST_F(ReadEntryHeaderTest, NoBufferForTheNameIsNoMemory) {
  ArmFault(Op::kAlloc, 1);
  EntryHeader header = {};
  std::string name;
  EXPECT_EQ(Read(ArchiveBuilder().Entry("abc", {1}).bytes(), &header, &name), RC_NO_MEMORY);
  EXPECT_TRUE(FaultReached());
}

}  // namespace
}  // namespace qrv::test
