// The common layer: sources of every kind, the detection head, exact reads,
// close folding and block ownership, with and without injected faults.
#include <gtest/gtest.h>

#include <cstring>

#include "fault_platform.h"
#include "plugin.h"
#include "test_files.h"

namespace qrv::test {
namespace {

Bytes Numbered(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// Everything the stream still delivers, read in small pieces.
Bytes Drain(StreamHandle stream) {
  Bytes all;
  uint8_t piece[7];
  for (int32_t n; (n = platform::Read(stream, piece, sizeof piece)) > 0;) {
    all.insert(all.end(), piece, piece + n);
  }
  return all;
}

class CommonLayer : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    ResetFaults();
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
    EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
  }
};

using OpenSourceTest = CommonLayer;

TEST_F(OpenSourceTest, InputKindComesFromTheLowThreeBits) {
  Bytes data = Numbered(16);
  auto* src = reinterpret_cast<char*>(data.data());
  for (uint32_t flag : {1u, 0x81u, 0xfff9u, 0x701u}) {
    StreamHandle stream = nullptr;
    ASSERT_EQ(OpenSource(&stream, src, 16, flag), RC_OK) << "flag " << flag;
    EXPECT_EQ(Drain(stream), data);
    int32_t rc = RC_OK;
    CloseSource(stream, &rc);
    EXPECT_EQ(rc, RC_OK);
  }
  ResetFaults();
  for (uint32_t flag : {2u, 3u, 4u, 5u, 6u, 7u, 0x82u}) {
    auto* untouched = reinterpret_cast<StreamHandle>(uintptr_t{0x1234});
    StreamHandle stream = untouched;
    EXPECT_EQ(OpenSource(&stream, src, 16, flag), RC_INTERNAL_ERROR) << "flag " << flag;
    EXPECT_EQ(stream, untouched);
    EXPECT_EQ(CallCount(Op::kOpen), 0);
  }
}

TEST_F(OpenSourceTest, MemoryLengths) {
  Bytes data = Numbered(8);
  StreamHandle stream = nullptr;
  EXPECT_EQ(OpenSource(&stream, reinterpret_cast<char*>(data.data()), -1, 1), RC_MEMORY_ERROR);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(CallCount(Op::kOpen), 0);  // refused before any stream is opened

  ASSERT_EQ(OpenSource(&stream, reinterpret_cast<char*>(data.data()), 0, 1), RC_OK);
  EXPECT_TRUE(Drain(stream).empty());
  EXPECT_EQ(platform::Close(stream), 0);

  // A null address: the stream owns a block of that length.
  ASSERT_EQ(OpenSource(&stream, nullptr, 100, 1), RC_OK);
  EXPECT_EQ(Drain(stream).size(), 100u);
  EXPECT_EQ(platform::Close(stream), 0);
}

TEST_F(OpenSourceTest, FileOffsets) {
  std::string path = ScratchPath("source.bin");
  Bytes data = Numbered(300);
  WriteFileBytes(path, data);
  struct Row {
    int32_t len;
    int32_t rc;
    size_t firstByte;
  };
  const Row rows[] = {{0, RC_OK, 0}, {100, RC_OK, 100}, {299, RC_OK, 299}, {300, RC_OK, 300},
                      {5000, RC_OK, 300}, {-1, RC_READ_ERROR, 0}};
  for (const Row& row : rows) {
    StreamHandle stream = nullptr;
    ResetFaults();
    ASSERT_EQ(OpenSource(&stream, path.data(), row.len, 0), row.rc) << "len " << row.len;
    EXPECT_EQ(CallCount(Op::kSeek), row.len != 0 ? 1 : 0) << "len " << row.len;
    if (row.rc != RC_OK) {
      EXPECT_EQ(stream, nullptr);
      continue;
    }
    EXPECT_EQ(Drain(stream), Bytes(data.begin() + static_cast<std::ptrdiff_t>(row.firstByte), data.end()));
    EXPECT_EQ(platform::Close(stream), 0);
  }
  StreamHandle stream = nullptr;
  std::string missing = ScratchPath("missing.bin");
  EXPECT_EQ(OpenSource(&stream, missing.data(), 0, 0), RC_READ_ERROR);
  EXPECT_EQ(stream, nullptr);
  EXPECT_EQ(OpenSource(&stream, nullptr, 0, 0), RC_READ_ERROR);
}

TEST_F(OpenSourceTest, InjectedFaults) {
  std::string path = ScratchPath("source-faults.bin");
  WriteFileBytes(path, Numbered(50));
  Bytes data = Numbered(50);
  struct Row {
    const char* what;
    uint32_t flag;
    int32_t len;
    Op op;
    int32_t rc;
  };
  const Row rows[] = {
      {"memory open", 1, 50, Op::kOpen, RC_MEMORY_ERROR},
      {"file open", 0, 0, Op::kOpen, RC_READ_ERROR},
      {"file seek", 0, 10, Op::kSeek, RC_READ_ERROR},
  };
  for (const Row& row : rows) {
    char* src = row.flag == 1 ? reinterpret_cast<char*>(data.data()) : path.data();
    StreamHandle stream = reinterpret_cast<StreamHandle>(uintptr_t{1});
    ArmFault(row.op, 1);
    EXPECT_EQ(OpenSource(&stream, src, row.len, row.flag), row.rc) << row.what;
    EXPECT_TRUE(FaultReached()) << row.what;
    EXPECT_EQ(stream, nullptr) << row.what;
    EXPECT_EQ(OpenStreams(), 0) << row.what;
  }
}

using OpenProbeTest = CommonLayer;

TEST_F(OpenProbeTest, BlockAddressGivesTheBlock) {
  Bytes head = Numbered(2048);
  StreamHandle stream = nullptr;
  ASSERT_EQ(OpenProbe(&stream, "ignored.name", reinterpret_cast<ProbeValue>(head.data())), RC_OK);
  EXPECT_EQ(Drain(stream), head);
  EXPECT_EQ(platform::Close(stream), 0);
}

TEST_F(OpenProbeTest, FileHandleGivesTheHeadAndStaysPut) {
  struct Row {
    size_t fileSize;
    int64_t startAt;
  };
  const Row rows[] = {{10, 0}, {0, 0}, {2048, 0}, {5000, 0}, {5000, 1000}, {5000, 4000}, {100, 100}};
  for (const Row& row : rows) {
    std::string path = ScratchPath("probe.bin");
    Bytes file = Numbered(row.fileSize);
    WriteFileBytes(path, file);
    ProbeFile probe(path);
    ASSERT_TRUE(probe.ok());
    probe.SetPosition(row.startAt);
    StreamHandle stream = nullptr;
    ASSERT_EQ(OpenProbe(&stream, nullptr, probe.value()), RC_OK) << "size " << row.fileSize;
    EXPECT_EQ(probe.Position(), row.startAt) << "size " << row.fileSize;
    Bytes expected(2048, 0);
    size_t available = row.fileSize - static_cast<size_t>(row.startAt);
    std::copy_n(file.begin() + row.startAt, std::min<size_t>(available, 2048), expected.begin());
    EXPECT_EQ(Drain(stream), expected) << "size " << row.fileSize << " at " << row.startAt;
    EXPECT_EQ(platform::Close(stream), 0);
  }
}

TEST_F(OpenProbeTest, InjectedFaults) {
  std::string path = ScratchPath("probe-faults.bin");
  WriteFileBytes(path, Numbered(10));
  Bytes head = Numbered(2048);
  struct Row {
    const char* what;
    bool fromHandle;
    Op op;
    int32_t rc;
  };
  const Row rows[] = {
      {"block stream", false, Op::kOpen, RC_MEMORY_ERROR},
      {"owned stream", true, Op::kOpen, RC_MEMORY_ERROR},
      {"stream buffer", true, Op::kBuffer, RC_READ_ERROR},
      {"handle read", true, Op::kProbeRead, RC_READ_ERROR},
      {"handle move", true, Op::kProbeMove, RC_READ_ERROR},
  };
  for (const Row& row : rows) {
    ProbeFile probe(path);
    ASSERT_TRUE(probe.ok());
    ProbeValue dw = row.fromHandle ? probe.value() : reinterpret_cast<ProbeValue>(head.data());
    StreamHandle stream = reinterpret_cast<StreamHandle>(uintptr_t{1});
    ArmFault(row.op, 1);
    EXPECT_EQ(OpenProbe(&stream, nullptr, dw), row.rc) << row.what;
    EXPECT_TRUE(FaultReached()) << row.what;
    EXPECT_EQ(stream, nullptr) << row.what;
    EXPECT_EQ(OpenStreams(), 0) << row.what;
  }
}

using ReadExactTest = CommonLayer;

TEST_F(ReadExactTest, AllOrNothing) {
  Bytes data = Numbered(3);
  StreamHandle stream = platform::OpenMemory(reinterpret_cast<char*>(data.data()), 3);
  ASSERT_NE(stream, nullptr);
  uint8_t out[4] = {};
  EXPECT_EQ(ReadExact(stream, out, 0), RC_OK);
  EXPECT_EQ(ReadExact(stream, out, 4), RC_READ_ERROR);
  EXPECT_EQ(platform::Seek(stream, 0, kSeekStart), 0);
  EXPECT_EQ(ReadExact(stream, out, 3), RC_OK);
  EXPECT_EQ(ReadExact(stream, out, 1), RC_READ_ERROR);
  EXPECT_EQ(ReadExact(stream, out, 0), RC_OK);
  EXPECT_EQ(ReadExact(stream, out, 0x80000000u), RC_READ_ERROR);
  EXPECT_EQ(platform::Close(stream), 0);
}

using CloseSourceTest = CommonLayer;

TEST_F(CloseSourceTest, FailedCloseFoldsIntoSuccessOnly) {
  struct Row {
    bool haveStream;
    bool closeFails;
    int32_t before;
    int32_t after;
  };
  const Row rows[] = {
      {true, false, RC_OK, RC_OK},
      {true, true, RC_OK, RC_READ_ERROR},
      {false, false, RC_OK, RC_READ_ERROR},
      {true, true, RC_UNKNOWN_FORMAT, RC_UNKNOWN_FORMAT},
      {true, true, RC_ABORTED, RC_ABORTED},
      {false, false, RC_NO_MEMORY, RC_NO_MEMORY},
      {true, false, RC_UNKNOWN_FORMAT, RC_UNKNOWN_FORMAT},
  };
  char byte = 0;
  for (const Row& row : rows) {
    StreamHandle stream = row.haveStream ? platform::OpenMemory(&byte, 1) : nullptr;
    if (row.closeFails) ArmFault(Op::kClose, 1);
    int32_t rc = row.before;
    CloseSource(stream, &rc);
    EXPECT_EQ(rc, row.after) << "before " << row.before << " fails " << row.closeFails;
    EXPECT_EQ(OpenStreams(), 0);  // a failed close still closes
    ResetFaults();
  }
}

using BlockTest = CommonLayer;

TEST_F(BlockTest, HandOverLeavesItUnlockedAndAlive) {
  BlockHandle handle = nullptr;
  void* address = nullptr;
  ASSERT_EQ(AllocBlock(1000, &handle, &address), RC_OK);
  ASSERT_NE(handle, nullptr);
  ASSERT_NE(address, nullptr);
  EXPECT_EQ(LockedBlocks(), 1);
  const auto* bytes = static_cast<const uint8_t*>(address);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(bytes[i], 0) << "byte " << i;
  ReleaseBlock(handle, nullptr);
  EXPECT_EQ(LiveBlocks(), 1);
  EXPECT_EQ(LockedBlocks(), 0);
  EXPECT_TRUE(FreeHostBlock(handle));
}

TEST_F(BlockTest, DiscardFreesIt) {
  BlockHandle handle = nullptr;
  void* address = nullptr;
  ASSERT_EQ(AllocBlock(16, &handle, &address), RC_OK);
  ReleaseBlock(handle, static_cast<char*>(address) + 3);  // any pointer into it discards
  EXPECT_EQ(LiveBlocks(), 0);
  ReleaseBlock(nullptr, address);  // a null handle is ignored
}

TEST_F(BlockTest, InjectedFaultsLeaveNothing) {
  BlockHandle handle = reinterpret_cast<BlockHandle>(uintptr_t{1});
  void* address = &handle;
  ArmFault(Op::kAlloc, 1);
  EXPECT_EQ(AllocBlock(16, &handle, &address), RC_NO_MEMORY);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(address, nullptr);

  handle = reinterpret_cast<BlockHandle>(uintptr_t{1});
  ArmFault(Op::kLock, 1);
  EXPECT_EQ(AllocBlock(16, &handle, &address), RC_MEMORY_ERROR);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(address, nullptr);
  EXPECT_EQ(LiveBlocks(), 0);
}

TEST(DefaultProgressTest, NeverAsksToStop) {
  for (int32_t n : {0, 1, 31, 32, -1, 0x7fffffff}) EXPECT_EQ(DefaultProgress(n, 32, 0), 0);
}

}  // namespace
}  // namespace qrv::test
