// The walker through its three exports, linked directly: detection around byte
// 2048, the listing, and the lookup by name, from memory and from files.
#include <gtest/gtest.h>

#include <string>

#include "archive_builder.h"
#include "exports.h"
#include "walker.h"

namespace qrv::test {
namespace {

struct ListResult {
  int32_t rc;
  std::vector<FileInfo> records;  // including the closing zero record
};

ListResult List(char* src, int32_t len, uint32_t flag) {
  QrvBlock block = reinterpret_cast<QrvBlock>(uintptr_t{1});
  ListResult result = {GetArchiveInfo(src, len, flag, &block), {}};
  if (result.rc == RC_OK) {
    result.records = TakeListing(block);
  } else {
    EXPECT_EQ(block, nullptr) << "a failed listing leaves a null handle";
  }
  return result;
}

ListResult ListMemory(Bytes bytes) { return List(AsSource(bytes), Length(bytes), 1); }

int32_t Lookup(Bytes bytes, const char* name, uint32_t flag, FileInfo* info) {
  return GetFileInfo(AsSource(bytes), Length(bytes), const_cast<char*>(name), flag | 1, info);
}

int32_t Detect(Bytes head) {
  head.resize(QRV_HEAD_SIZE, 0);
  return IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.data()));
}

// The two entries of the worked example: names of 3 and 5 characters, data of
// 100 and 7 bytes.
Bytes TwoEntries() {
  return ArchiveBuilder().Entry("abc", Pattern(100, 1), 7).Entry("de_45", Pattern(7, 2)).EndMark().bytes();
}

class WalkerTest : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    ResetFaults();
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
    EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
    EXPECT_EQ(LiveScratch(), 0) << LiveSummary();
  }
};

void ExpectRecord(const FileInfo& record, uint32_t position, uint32_t size, const std::string& name) {
  EXPECT_EQ(record.method[0], ' ');
  EXPECT_EQ(record.method[1], 0);
  EXPECT_EQ(record.position, position);
  EXPECT_EQ(record.stored_size, size);
  EXPECT_EQ(record.size, size);
  EXPECT_EQ(record.timestamp, 0u);
  EXPECT_EQ(record.path[0], 0);
  EXPECT_EQ(std::string(record.file_name, strnlen(record.file_name, 200)), name);
  for (size_t i = name.size(); i < 200; ++i) ASSERT_EQ(record.file_name[i], 0) << "padding " << i;
}

using GetArchiveInfoTest = WalkerTest;

TEST_F(GetArchiveInfoTest, ListsTheTwoEntryExample) {
  ListResult result = ListMemory(TwoEntries());
  ASSERT_EQ(result.rc, RC_OK);
  ASSERT_EQ(result.records.size(), 3u) << "3 x 428 = 1284 bytes";
  ExpectRecord(result.records[0], 0, 100, "abc");
  ExpectRecord(result.records[1], 113, 7, "de_45");
  EXPECT_TRUE(IsZeroRecord(result.records[2]));
}

TEST_F(GetArchiveInfoTest, PositionsCountFromTheFileOffset) {
  std::string path = ScratchPath("offset.dat");
  Bytes file = Pattern(37, 9);
  Bytes archive = TwoEntries();
  file.insert(file.end(), archive.begin(), archive.end());
  WriteFileBytes(path, file);
  ListResult result = List(path.data(), 37, 0);
  ASSERT_EQ(result.rc, RC_OK);
  ASSERT_EQ(result.records.size(), 3u);
  ExpectRecord(result.records[0], 0, 100, "abc");
  ExpectRecord(result.records[1], 113, 7, "de_45");
}

TEST_F(GetArchiveInfoTest, EndsAndTails) {
  Bytes entries = ArchiveBuilder().Entry("a", {1}).Entry("b", {2, 3}).bytes();
  struct Row {
    const char* what;
    Bytes tail;
    int32_t rc;
  };
  const Row rows[] = {
      {"the end mark", Bytes(4, 0), RC_OK},
      // Our choice: any accepted end lists, since the second pass starts over.
      {"1 zero byte", Bytes(1, 0), RC_OK},
      {"3 zero bytes", Bytes(3, 0), RC_OK},
      {"10 zero bytes and more", Bytes(25, 0), RC_OK},
      {"no end mark", {}, RC_READ_ERROR},
      {"a nonzero byte in the last 6 of 10", {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, RC_UNKNOWN_FORMAT},
  };
  for (const Row& row : rows) {
    Bytes bytes = entries;
    bytes.insert(bytes.end(), row.tail.begin(), row.tail.end());
    ListResult result = ListMemory(bytes);
    ASSERT_EQ(result.rc, row.rc) << row.what;
    if (row.rc != RC_OK) continue;
    ASSERT_EQ(result.records.size(), 3u) << row.what;
    ExpectRecord(result.records[0], 0, 1, "a");
    ExpectRecord(result.records[1], 12, 2, "b");
  }
  EXPECT_EQ(ListMemory(Bytes(4, 0)).rc, RC_UNKNOWN_FORMAT) << "only the end mark";
  EXPECT_EQ(ListMemory({}).rc, RC_READ_ERROR) << "nothing at all";
}

TEST_F(GetArchiveInfoTest, BytesAfterTheEndMarkAreReadAsAHeader) {
  // Within the 6 bytes after the end mark a nonzero byte makes a damaged
  // header, in all three exports.
  for (size_t at = 0; at < 6; ++at) {
    ArchiveBuilder builder;
    builder.Entry("abc", Pattern(20, 3)).EndMark();
    Bytes after(6, 0);
    after[at] = 0x40;
    Bytes bytes = builder.Append(after).bytes();
    EXPECT_EQ(ListMemory(bytes).rc, RC_UNKNOWN_FORMAT) << "byte " << at;
    FileInfo info;
    EXPECT_EQ(Lookup(bytes, "zzz", 0, &info), RC_UNKNOWN_FORMAT) << "byte " << at;
    EXPECT_EQ(Detect(bytes), 0) << "byte " << at;
  }
}

TEST_F(GetArchiveInfoTest, LongNamesAreCutTo199CharactersAndAZero) {
  for (size_t length : {198, 199, 200, 201, 300, 65535}) {
    std::string name(length, 'n');
    ListResult result = ListMemory(ArchiveBuilder().Entry(name, {5}).EndMark().bytes());
    ASSERT_EQ(result.rc, RC_OK) << length;
    ASSERT_EQ(result.records.size(), 2u);
    ExpectRecord(result.records[0], 0, 1, name.substr(0, 199));
  }
}

TEST_F(GetArchiveInfoTest, BadCallsAreRefused) {
  Bytes bytes = TwoEntries();
  EXPECT_EQ(GetArchiveInfo(AsSource(bytes), Length(bytes), 1, nullptr), RC_INTERNAL_ERROR);
  EXPECT_EQ(List(AsSource(bytes), Length(bytes), 2).rc, RC_INTERNAL_ERROR);
  std::string missing = ScratchPath("missing.dat");
  EXPECT_EQ(List(missing.data(), 0, 0).rc, RC_READ_ERROR);
}

TEST_F(GetArchiveInfoTest, EntriesPastTheSizeLimitEndTheWalk) {
  // Without a limit no forward seek can pass an entry ending 2^31 or more bytes
  // after the start; the walk stops before trying.
  struct Row {
    uint32_t dataSize;
    uint16_t nameLength;
  };
  for (Row row : {Row{0x80000000u, 1}, Row{0xffffffffu, 1}, Row{0x7ffffff5u, 1},
                  Row{0x7fffffffu - 10 - 65535 + 1, 65535}}) {
    std::string name(row.nameLength, 'z');
    Bytes bytes = ArchiveBuilder().Entry("a", {1}).Raw(row.dataSize, 0, row.nameLength, name, {1}).bytes();
    ResetFaults();
    EXPECT_EQ(ListMemory(bytes).rc, RC_UNKNOWN_FORMAT) << row.dataSize;
    EXPECT_EQ(CallCount(Op::kSeek), 2) << "the start, and the first entry only";
  }
  // An entry ending at 2^31 - 1 is inside the limit: the seek is tried, and a
  // memory stream cannot move past its end.
  Bytes bytes = ArchiveBuilder().Entry("a", {1}).Raw(0x7fffffffu - 12 - 11, 0, 1, "b", {1}).bytes();
  ResetFaults();
  EXPECT_EQ(ListMemory(bytes).rc, RC_READ_ERROR);
  EXPECT_EQ(CallCount(Op::kSeek), 3);
}

TEST(ListingBytes, IsComputedWithoutWrapping) {
  struct Row {
    uint32_t entries;
    bool fits;
    uint32_t bytes;
  };
  const Row rows[] = {
      {0, true, 428},
      {2, true, 1284},
      {10034969, true, 4294967160u},  // the largest listing that fits 32 bits
      {10034970, false, 0},           // (n + 1) x 428 wraps to 292 in 32 bits
      {0xffffffffu, false, 0},
  };
  for (const Row& row : rows) {
    uint32_t bytes = 0;
    EXPECT_EQ(ListingBytes(row.entries, &bytes), row.fits) << row.entries;
    if (row.fits) {
      EXPECT_EQ(bytes, row.bytes) << row.entries;
    }
  }
}

using GetFileInfoTest = WalkerTest;

TEST_F(GetFileInfoTest, FindsByNameWithAndWithoutCase) {
  struct Row {
    const char* name;
    uint32_t flag;
    int32_t rc;
    uint32_t position;
  };
  const Row rows[] = {
      {"abc", 0, RC_OK, 0},           {"de_45", 0, RC_OK, 113},
      {"DE_45", 0x80, RC_OK, 113},    {"De_45", 0x80, RC_OK, 113},
      {"DE_45", 0, RC_READ_ERROR, 0}, {"de_4", 0, RC_READ_ERROR, 0},
      {"de_456", 0x80, RC_READ_ERROR, 0}, {"", 0, RC_READ_ERROR, 0},
      {"ABC", 0x40, RC_READ_ERROR, 0},
  };
  for (const Row& row : rows) {
    FileInfo info;
    std::memset(&info, 0xaa, sizeof info);
    FileInfo before = info;
    ASSERT_EQ(Lookup(TwoEntries(), row.name, row.flag, &info), row.rc) << row.name << " " << row.flag;
    if (row.rc != RC_OK) {
      EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0) << "not found: untouched";
      continue;
    }
    ExpectRecord(info, row.position, row.position == 0 ? 100 : 7, row.position == 0 ? "abc" : "de_45");
    // Exactly the record's fields: the rest of the method text, of the path and
    // the check value stay as they were.
    for (int i = 2; i < 8; ++i) EXPECT_EQ(static_cast<uint8_t>(info.method[i]), 0xaa);
    for (int i = 1; i < 200; ++i) ASSERT_EQ(static_cast<uint8_t>(info.path[i]), 0xaa);
    EXPECT_EQ(info.check, 0xaaaaaaaau);
  }
}

TEST_F(GetFileInfoTest, ReportsTheFirstOfEqualNames) {
  Bytes bytes = ArchiveBuilder().Entry("x", {1}).Entry("same", {1, 2}).Entry("same", {1, 2, 3}).EndMark().bytes();
  FileInfo info = {};
  ASSERT_EQ(Lookup(bytes, "same", 0, &info), RC_OK);
  EXPECT_EQ(info.position, 12u);
  EXPECT_EQ(info.size, 2u);
}

TEST_F(GetFileInfoTest, NullNameAndNullRecord) {
  FileInfo info;
  std::memset(&info, 0x55, sizeof info);
  FileInfo before = info;
  EXPECT_EQ(Lookup(TwoEntries(), nullptr, 0, &info), RC_OK) << "nothing wanted, a sound archive";
  EXPECT_EQ(std::memcmp(&info, &before, sizeof info), 0);
  EXPECT_EQ(Lookup(Bytes(4, 0), nullptr, 0, &info), RC_UNKNOWN_FORMAT);
  // A found name answers RC_OK even with no record to fill.
  EXPECT_EQ(Lookup(TwoEntries(), "de_45", 0, nullptr), RC_OK);
  EXPECT_EQ(Lookup(TwoEntries(), "nothere", 0, nullptr), RC_READ_ERROR);
}

TEST_F(GetFileInfoTest, StopsAtTheEntryFound) {
  // Nothing after the entry is looked at: no end mark needed, damage ignored.
  Bytes bytes = ArchiveBuilder().Entry("a", {1}).Entry("b", {2}).Raw(0, 5, 0, "", {}).bytes();
  FileInfo info = {};
  EXPECT_EQ(Lookup(bytes, "b", 0, &info), RC_OK);
  EXPECT_EQ(info.position, 12u);
  EXPECT_EQ(Lookup(bytes, "c", 0, &info), RC_UNKNOWN_FORMAT);
  Bytes open = ArchiveBuilder().Entry("a", {1}).Entry("b", {2}).bytes();
  EXPECT_EQ(Lookup(open, "b", 0, &info), RC_OK);
  EXPECT_EQ(Lookup(open, "c", 0, &info), RC_READ_ERROR) << "no end mark";
}

TEST_F(GetFileInfoTest, LooksUpInAFileAtAnOffset) {
  std::string path = ScratchPath("lookup.dat");
  Bytes file = Pattern(1000, 4);
  Bytes archive = TwoEntries();
  file.insert(file.end(), archive.begin(), archive.end());
  WriteFileBytes(path, file);
  FileInfo info = {};
  ASSERT_EQ(GetFileInfo(path.data(), 1000, const_cast<char*>("DE_45"), 0x80, &info), RC_OK);
  EXPECT_EQ(info.position, 113u);
}

using IsSupportedTest = WalkerTest;

ArchiveBuilder EntryOfTotal(const std::string& name, size_t total) {
  return ArchiveBuilder().Entry(name, Pattern(total - 10 - name.size(), 5));
}

TEST_F(IsSupportedTest, DetectsAroundByte2048) {
  struct Row {
    const char* what;
    Bytes head;
    int32_t answer;
  };
  const Row rows[] = {
      {"a first entry of 5000 data bytes",
       ArchiveBuilder().Raw(5000, 0, 4, "big_", Pattern(2034, 1)).bytes(), 1},
      {"a first entry of 2^32 - 1 data bytes",
       ArchiveBuilder().Raw(0xffffffffu, 0, 1, "a", {}).bytes(), 1},
      {"entries ending at 2047, then a zero byte", EntryOfTotal("a", 2047).bytes(), 1},
      {"entries ending exactly at 2048", EntryOfTotal("a", 1000).Append(EntryOfTotal("b", 1048).bytes()).bytes(), 1},
      {"an entry ending at 2049", EntryOfTotal("a", 1000).Raw(1037, 0, 2, "bb", {}).bytes(), 1},
      {"a second name straddling 2048",
       EntryOfTotal("a", 2030).Raw(100, 0, 20, "cccccccc", {}).bytes(), 1},
      {"a straddling name with a forbidden byte before 2048",
       EntryOfTotal("a", 2030).Raw(100, 0, 20, "cccCcccc", {}).bytes(), 0},
      {"a straddling name with a zero byte before 2048",
       EntryOfTotal("a", 2030).Raw(100, 0, 20, std::string("ccc\0cccc", 8), {}).bytes(), 0},
      {"a first name longer than the head", ArchiveBuilder().Raw(9, 0, 3000, std::string(2038, 'n'), {}).bytes(), 1},
      {"a second header straddling 2048", EntryOfTotal("a", 2044).Append({1, 0, 0, 0}).bytes(), 1},
      {"a straddling header of size 0 and a nonzero byte",
       EntryOfTotal("a", 2042).Append({0, 0, 0, 0, 7, 0}).bytes(), 0},
      {"a straddling header of zeros (the end mark)", EntryOfTotal("a", 2042).bytes(), 1},
      {"a bad second name", ArchiveBuilder().Entry("a", {1}).Raw(1, 0, 1, "A", {1}).bytes(), 0},
      {"the end mark first", Bytes(4, 0), 0},
      {"text", Bytes{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'}, 0},
      {"an entry and its end mark", ArchiveBuilder().Entry("a", {1}).EndMark().bytes(), 1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(Detect(row.head), row.answer) << row.what;
  }
}

// A second entry starting at every offset from 2030 to 2048: the head's end
// cuts its header or name at every byte. Only bytes that arrived can break a
// rule.
TEST_F(IsSupportedTest, JudgesAnEntryCutAtEveryOffset) {
  const size_t head = QRV_HEAD_SIZE;
  for (size_t offset = 2030; offset <= head; ++offset) {
    Bytes first = EntryOfTotal("a", offset).bytes();
    auto detectWith = [&](uint32_t dataSize, uint32_t second, const std::string& name) {
      return Detect(ArchiveBuilder().Append(first).Raw(dataSize, second, 7, name, Pattern(40, 3)).bytes());
    };
    EXPECT_EQ(detectWith(40, 0, "bcd_9fg"), 1) << "valid, at " << offset;
    // The forbidden first name byte sits at offset + 10.
    EXPECT_EQ(detectWith(40, 0, "Xcd_9fg"), offset + 10 < head ? 0 : 1)
        << "forbidden name byte, at " << offset;
    // A zero data size is a defect while other nonzero header bytes arrive;
    // with only its 4 zero bytes (or fewer) left, it reads as the end mark.
    EXPECT_EQ(detectWith(0, 0x11111111u, "bcd_9fg"), offset + 4 >= head ? 1 : 0)
        << "zero data size, at " << offset;
  }
}

TEST_F(IsSupportedTest, ReadsAShortFileThroughItsHandle) {
  Bytes entries = ArchiveBuilder().Entry("one", Pattern(30, 1)).Entry("two", Pattern(40, 2)).bytes();
  Bytes closed = entries;
  closed.insert(closed.end(), 4, 0);
  struct Row {
    const char* what;
    Bytes file;
    int32_t answer;
    int32_t listing;
  };
  const Row rows[] = {
      {"with its end mark", closed, 1, RC_OK},
      {"without its end mark", entries, 1, RC_READ_ERROR},
      {"a bad name", ArchiveBuilder().Entry("one", {1}).Raw(1, 0, 1, ".", {1}).bytes(), 0,
       RC_UNKNOWN_FORMAT},
      {"empty", {}, 0, RC_READ_ERROR},
  };
  for (const Row& row : rows) {
    std::string path = ScratchPath("probe.dat");
    WriteFileBytes(path, row.file);
    {
      ProbeFile probe(path);
      ASSERT_TRUE(probe.ok());
      probe.SetPosition(0);
      EXPECT_EQ(IsSupported(path.data(), probe.value()), row.answer) << row.what;
      EXPECT_EQ(probe.Position(), 0) << "the handle is left where it stood";
    }
    EXPECT_EQ(List(path.data(), 0, 0).rc, row.listing) << row.what;
  }
}

}  // namespace
}  // namespace qrv::test
