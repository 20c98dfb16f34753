// GetFile linked directly: chunking and progress, abort, memory output, file
// output (names, paths, replacing, device names) and bad calls.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "archive_builder.h"
#include "exports.h"
#include "extract.h"
#include "progress_recorder.h"

namespace qrv::test {
namespace {

class GetFileTest : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    ResetFaults();
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
    EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
    EXPECT_EQ(LiveScratch(), 0) << LiveSummary();
  }

  // Memory output from a memory source; `data` receives the block's bytes.
  int32_t ToMemory(Bytes source, size_t size, Bytes* data, ProgressRecorder* progress = nullptr,
                   uint32_t flag = 0x101) {
    QrvBlock block = reinterpret_cast<QrvBlock>(uintptr_t{1});
    int32_t rc = GetFile(AsSource(source), Length(source), reinterpret_cast<char*>(&block), flag,
                         progress != nullptr ? ProgressRecorder::Callback : nullptr,
                         progress != nullptr ? progress->user() : 0);
    if (rc == RC_OK) {
      *data = TakeBlock(block, size);
    } else {
      EXPECT_EQ(block, nullptr) << "nothing handed over";
    }
    return rc;
  }

  // File output into `dest` from a memory source.
  int32_t ToFile(Bytes source, const std::string& dest, ProgressRecorder* progress = nullptr) {
    std::string destCopy = dest;
    return GetFile(AsSource(source), Length(source), destCopy.data(), 1,
                   progress != nullptr ? ProgressRecorder::Callback : nullptr,
                   progress != nullptr ? progress->user() : 0);
  }
};

TEST_F(GetFileTest, ReadsInThirtyTwoChunksAndALastPiece) {
  // With the data cut short at `available` bytes, the number of progress calls
  // made shows which read failed: 100 bytes are 32 chunks of 3 and a piece of
  // 4; 20 bytes are 32 empty chunks and a piece of 20.
  for (uint32_t size : {100u, 20u}) {
    Bytes data = Pattern(size, size);
    Bytes full = ArchiveBuilder().Entry("chunky", data).bytes();
    for (uint32_t available = 0; available <= size; ++available) {
      Bytes source(full.begin(), full.end() - (size - available));
      ProgressRecorder progress;
      Bytes got;
      int32_t rc = ToMemory(source, size, &got, &progress);
      uint32_t chunk = size / 32;
      size_t expectedCalls = available == size          ? 33
                             : available >= 32 * chunk ? 32
                                                       : available / chunk + 1;
      EXPECT_EQ(rc, available == size ? RC_OK : RC_READ_ERROR) << size << "/" << available;
      EXPECT_EQ(progress.calls.size(), expectedCalls) << size << "/" << available;
      if (rc == RC_OK) {
        EXPECT_EQ(got, data);
      }
    }
  }
}

TEST_F(GetFileTest, ReportsProgressFromZeroToThirtyTwo) {
  for (uint32_t size : {1u, 31u, 32u, 33u, 1000u}) {
    ProgressRecorder progress;
    Bytes got;
    ASSERT_EQ(ToMemory(ArchiveBuilder().Entry("p", Pattern(size, 3)).bytes(), size, &got, &progress),
              RC_OK);
    ASSERT_EQ(progress.calls.size(), 33u);
    for (int32_t i = 0; i <= 32; ++i) {
      EXPECT_EQ(progress.calls[static_cast<size_t>(i)], std::make_pair(i, 32)) << "call " << i;
    }
  }
}

TEST_F(GetFileTest, StopsAtEachOfTheThirtyThreeCalls) {
  Bytes source = ArchiveBuilder().Entry("stop", Pattern(100, 4)).bytes();
  std::string dest = ScratchPath("abort");
  std::filesystem::create_directories(dest);
  for (int stopAt = 0; stopAt <= 32; ++stopAt) {
    ProgressRecorder progress;
    progress.stopAt = stopAt;
    Bytes got;
    EXPECT_EQ(ToMemory(source, 100, &got, &progress), RC_ABORTED) << "call " << stopAt;
    EXPECT_EQ(progress.calls.size(), static_cast<size_t>(stopAt) + 1);
    ProgressRecorder again;
    again.stopAt = stopAt;
    EXPECT_EQ(ToFile(source, dest, &again), RC_ABORTED) << "call " << stopAt;
    EXPECT_FALSE(FileExists(ScratchPath("abort/stop"))) << "call " << stopAt;
  }
}

TEST_F(GetFileTest, AnyOutputBitAsksForMemory) {
  Bytes data = Pattern(77, 5);
  Bytes source = ArchiveBuilder().Entry("mem", data, 0x12345678).bytes();
  for (uint32_t flag : {0x101u, 0x201u, 0x401u, 0x701u, 0xf9101u, 0x181u}) {
    Bytes got;
    ASSERT_EQ(ToMemory(source, data.size(), &got, nullptr, flag), RC_OK) << std::hex << flag;
    EXPECT_EQ(got, data);
  }
  // Bits outside 0-2 and 8-10 are ignored: still file output.
  std::string dest = ScratchPath("bits");
  std::filesystem::create_directories(dest);
  EXPECT_EQ(GetFile(AsSource(source), Length(source), dest.data(), 0xf8f9, nullptr, 0), RC_OK);
  EXPECT_EQ(ReadFileBytes(ScratchPath("bits/mem")), data);
}

TEST_F(GetFileTest, ExtractsFromAFileAtTheEntrysPosition) {
  Bytes second = Pattern(5000, 6);
  Bytes archive = ArchiveBuilder().Entry("first", Pattern(40, 7)).Entry("second", second).EndMark().bytes();
  std::string path = ScratchPath("extract.dat");
  WriteFileBytes(path, archive);
  QrvBlock block = nullptr;
  ASSERT_EQ(GetFile(path.data(), 55, reinterpret_cast<char*>(&block), 0x100, nullptr, 0), RC_OK);
  EXPECT_EQ(TakeBlock(block, second.size()), second);
  // Not on an entry's header: the header check refuses it.
  EXPECT_EQ(GetFile(path.data(), 54, reinterpret_cast<char*>(&block), 0x100, nullptr, 0),
            RC_UNKNOWN_FORMAT);
  EXPECT_EQ(block, nullptr);
}

TEST_F(GetFileTest, WritesAndReplacesTheOutputFile) {
  std::string dest = ScratchPath("out");
  std::filesystem::create_directories(dest);
  std::string target = ScratchPath("out/entry_1");
  WriteFileBytes(target, Pattern(9000, 8));  // longer than the entry: must be truncated
  Bytes data = Pattern(300, 9);
  ASSERT_EQ(ToFile(ArchiveBuilder().Entry("entry_1", data).bytes(), dest), RC_OK);
  EXPECT_EQ(ReadFileBytes(target), data);
  // A dest ending in the platform's separator gets a second one before the
  // name.
  Bytes other = Pattern(12, 10);
  const char separator = std::filesystem::path::preferred_separator;
  ASSERT_EQ(ToFile(ArchiveBuilder().Entry("entry_2", other).bytes(), dest + separator), RC_OK);
  EXPECT_EQ(ReadFileBytes(ScratchPath("out/entry_2")), other);
}

TEST_F(GetFileTest, AnEmptyDestWritesTheBareName) {
  std::filesystem::path before = std::filesystem::current_path();
  std::string dir = ScratchPath("cwd");
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  Bytes data = Pattern(64, 11);
  int32_t rc = ToFile(ArchiveBuilder().Entry("bare", data).bytes(), "");
  std::filesystem::current_path(before);
  ASSERT_EQ(rc, RC_OK);
  EXPECT_EQ(ReadFileBytes(ScratchPath("cwd/bare")), data);
}

TEST_F(GetFileTest, DeviceNamesFailFileOutputOnly) {
  std::string dest = ScratchPath("devices");
  std::filesystem::create_directories(dest);
  const char* devices[] = {"con", "prn", "aux", "nul", "com1", "com5", "com9", "lpt1", "lpt9"};
  for (const char* name : devices) {
    Bytes source = ArchiveBuilder().Entry(name, Pattern(10, 1)).bytes();
    ResetFaults();
    EXPECT_EQ(ToFile(source, dest), RC_INTERNAL_ERROR) << name;
    EXPECT_EQ(CallCount(Op::kOpen), 1) << name << ": only the source is opened";
    EXPECT_FALSE(FileExists(dest + "/" + name)) << name;
    Bytes got;
    EXPECT_EQ(ToMemory(source, 10, &got), RC_OK) << name;
    EXPECT_EQ(got, Pattern(10, 1));
  }
  for (const char* name : {"com0", "lpt10", "conx", "nul_", "co", "aux1"}) {
    Bytes data = Pattern(10, 2);
    EXPECT_EQ(ToFile(ArchiveBuilder().Entry(name, data).bytes(), dest), RC_OK) << name;
    EXPECT_EQ(ReadFileBytes(dest + "/" + name), data) << name;
  }
}

TEST_F(GetFileTest, PathsMustFitTheirBuffer) {
  // The joined path and its terminator take at most 272 bytes.
  std::string dest = ScratchDir();
  size_t fitting = kOutputPathSize - 1 - dest.size() - 1;
  ASSERT_LT(fitting, 256u) << "a scratch directory too short for this test";
  std::string longest(fitting, 'f');
  std::string tooLong(fitting + 1, 'g');
  Bytes data = Pattern(5, 12);
  // Windows may refuse paths of more than 259 characters: then the creation
  // is tried and fails.
  bool creatable = dest.size() + 1 + fitting <= kLongestSystemPath;
  ResetFaults();
  int32_t rc = ToFile(ArchiveBuilder().Entry(longest, data).bytes(), dest);
  EXPECT_EQ(CallCount(Op::kOpen), 2) << "the output file's creation was tried";
  if (creatable) {
    EXPECT_EQ(rc, RC_OK);
  } else {
    EXPECT_TRUE(rc == RC_OK || rc == RC_INTERNAL_ERROR) << rc;
  }
  if (rc == RC_OK) {
    EXPECT_EQ(ReadFileBytes(ScratchPath(longest)), data);
  }
  ResetFaults();
  EXPECT_EQ(ToFile(ArchiveBuilder().Entry(tooLong, data).bytes(), dest), RC_INTERNAL_ERROR);
  EXPECT_EQ(CallCount(Op::kOpen), 1) << "refused before anything is created";
  EXPECT_EQ(ToFile(ArchiveBuilder().Entry("x", data).bytes(), std::string(300, 'd')),
            RC_INTERNAL_ERROR);
}

TEST_F(GetFileTest, BadCallsAndBadEntries) {
  Bytes good = ArchiveBuilder().Entry("ok", Pattern(10, 1)).bytes();
  EXPECT_EQ(GetFile(AsSource(good), Length(good), nullptr, 0x100, nullptr, 0), RC_INTERNAL_ERROR);
  EXPECT_EQ(GetFile(AsSource(good), Length(good), nullptr, 0, nullptr, 0), RC_INTERNAL_ERROR);
  Bytes got;
  EXPECT_EQ(ToMemory(good, 10, &got, nullptr, 0x103), RC_INTERNAL_ERROR) << "input kind 3";
  struct Row {
    const char* what;
    Bytes source;
    int32_t rc;
  };
  const Row rows[] = {
      {"empty", {}, RC_READ_ERROR},
      {"the end mark", Bytes(4, 0), RC_UNKNOWN_FORMAT},
      {"a bad name", ArchiveBuilder().Entry("Up", {1}).bytes(), RC_UNKNOWN_FORMAT},
      {"a zero data size", ArchiveBuilder().Raw(0, 0, 1, "z", {}).bytes(), RC_UNKNOWN_FORMAT},
      {"a name cut short", ArchiveBuilder().Raw(1, 0, 9, "abc", {}).bytes(), RC_READ_ERROR},
      {"no data", ArchiveBuilder().Raw(1, 0, 3, "abc", {}).bytes(), RC_READ_ERROR},
  };
  std::string dest = ScratchPath("bad");
  std::filesystem::create_directories(dest);
  for (const Row& row : rows) {
    EXPECT_EQ(ToMemory(row.source, 1, &got), row.rc) << row.what;
    EXPECT_EQ(ToFile(row.source, dest), row.rc) << row.what;
    EXPECT_TRUE(std::filesystem::is_empty(dest)) << row.what << ": no file left";
  }
}

}  // namespace
}  // namespace qrv::test
