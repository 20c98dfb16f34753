// The platform backend's answers, which the format code derives its result
// codes from. On the Windows build these run the real mmio and local-memory
// calls (under Wine in CI); the POSIX build must give the same answers.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "fault_platform.h"
#include "test_files.h"

namespace qrv::test {
namespace {

Bytes Sequence(size_t n) {
  Bytes bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

// A stream over the same bytes, from a file or from memory.
struct StreamCase {
  const char* name;
  bool memory;
};

// GoogleTest would otherwise print the raw bytes, padding included.
void PrintTo(const StreamCase& stream, std::ostream* out) { *out << stream.name; }

class ReadStream : public testing::TestWithParam<StreamCase> {
 protected:
  void SetUp() override {
    content_ = Sequence(200000);
    if (GetParam().memory) {
      stream_ = platform::OpenMemory(reinterpret_cast<char*>(content_.data()),
                                     static_cast<int32_t>(content_.size()));
    } else {
      path_ = ScratchPath("read-stream.bin");
      WriteFileBytes(path_, content_);
      stream_ = platform::OpenFileRead(path_.c_str());
    }
    ASSERT_NE(stream_, nullptr);
  }
  void TearDown() override {
    if (stream_ != nullptr) {
      EXPECT_EQ(platform::Close(stream_), 0);
    }
    EXPECT_EQ(OpenStreams(), 0);
  }

  Bytes content_;
  std::string path_;
  StreamHandle stream_ = nullptr;
};

TEST_P(ReadStream, ReadsAreShortOnlyAtTheEnd) {
  Bytes got(content_.size() + 10);
  int32_t pos = 0;
  // Small reads through the buffer, then one read larger than any buffer.
  for (int32_t count : {4, 4, 1, 3, 8191, 8192, 8193, 70000}) {
    ASSERT_EQ(platform::Read(stream_, got.data() + pos, count), count) << "count " << count;
    pos += count;
  }
  int32_t rest = static_cast<int32_t>(content_.size()) - pos;
  EXPECT_EQ(platform::Read(stream_, got.data() + pos, rest + 10), rest);
  got.resize(content_.size());
  EXPECT_EQ(got, content_);
  uint8_t byte = 0;
  EXPECT_LE(platform::Read(stream_, &byte, 1), 0);
  EXPECT_EQ(platform::Read(stream_, &byte, 0), 0);
  EXPECT_EQ(platform::Read(stream_, &byte, -1), -1);
}

TEST_P(ReadStream, SeeksFromStartAndFromCurrent) {
  uint8_t word[4];
  EXPECT_EQ(platform::Seek(stream_, 1000, kSeekStart), 1000);
  ASSERT_EQ(platform::Read(stream_, word, 4), 4);
  EXPECT_EQ(0, std::memcmp(word, &content_[1000], 4));
  EXPECT_EQ(platform::Seek(stream_, 100000, kSeekCurrent), 101004);
  ASSERT_EQ(platform::Read(stream_, word, 4), 4);
  EXPECT_EQ(0, std::memcmp(word, &content_[101004], 4));
  EXPECT_EQ(platform::Seek(stream_, -101008, kSeekCurrent), 0);
  EXPECT_EQ(platform::Seek(stream_, -1, kSeekCurrent), -1);
  EXPECT_EQ(platform::Seek(stream_, -5, kSeekStart), -1);
  EXPECT_EQ(platform::Seek(stream_, 0x7fffffff, kSeekCurrent), GetParam().memory ? -1 : 0x7fffffff);
  EXPECT_EQ(platform::Seek(stream_, 0x7fffffff, kSeekCurrent), -1);  // would pass 2^31
  EXPECT_EQ(platform::Seek(stream_, 10, kSeekStart), 10);
  ASSERT_EQ(platform::Read(stream_, word, 4), 4);
  EXPECT_EQ(0, std::memcmp(word, &content_[10], 4));
}

TEST_P(ReadStream, SeekPastTheEndFailsOnlyInMemory) {
  int32_t past = static_cast<int32_t>(content_.size()) + 100;
  EXPECT_EQ(platform::Seek(stream_, past, kSeekStart), GetParam().memory ? -1 : past);
  EXPECT_EQ(platform::Seek(stream_, static_cast<int32_t>(content_.size()), kSeekStart),
            static_cast<int32_t>(content_.size()));
}

TEST_P(ReadStream, DirectReadsGiveTheBytesOfPlainReads) {
  // Alternate plain reads and direct windows; together they must deliver the
  // content in order.
  Bytes got;
  uint8_t some[3];
  ReadWindow window{};
  for (int round = 0; got.size() < content_.size(); ++round) {
    int32_t n = platform::Read(stream_, some, 3);
    got.insert(got.end(), some, some + (n > 0 ? n : 0));
    ASSERT_EQ(platform::BeginDirectRead(stream_, &window), 0);
    size_t take = static_cast<size_t>(round % 5) * 997;
    while (take > 0) {
      if (window.next == window.end) {
        ASSERT_EQ(platform::RefillDirectRead(stream_, &window), 0);
        if (window.next == window.end) break;
      }
      size_t chunk = std::min(take, static_cast<size_t>(window.end - window.next));
      got.insert(got.end(), window.next, window.next + chunk);
      window.next += chunk;
      take -= chunk;
    }
    ASSERT_EQ(platform::EndDirectRead(stream_, window), 0);
    if (n <= 0 && take > 0) break;
  }
  EXPECT_EQ(got, content_);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadStream,
                         testing::Values(StreamCase{"file", false}, StreamCase{"memory", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MemoryStream, OwnedBlockHasTheGivenLength) {
  StreamHandle stream = platform::OpenMemory(nullptr, 2048);
  ASSERT_NE(stream, nullptr);
  char* block = nullptr;
  int32_t length = 0;
  ASSERT_EQ(platform::GetBuffer(stream, &block, &length), 0);
  EXPECT_EQ(length, 2048);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0x5a, 2048);
  uint8_t got[2049];
  EXPECT_EQ(platform::Read(stream, got, 2049), 2048);
  EXPECT_EQ(got[0], 0x5a);
  EXPECT_EQ(got[2047], 0x5a);
  EXPECT_EQ(platform::Close(stream), 0);
}

TEST(MemoryStream, OwnedBlocksStartAsZeros) {
  for (int32_t length : {0, 1, 100, 5000}) {
    StreamHandle stream = platform::OpenMemory(nullptr, length);
    ASSERT_NE(stream, nullptr) << length;
    Bytes got(static_cast<size_t>(length) + 10, 0x55);
    EXPECT_EQ(std::max(platform::Read(stream, got.data(), length + 10), 0), length) << length;
    got.resize(static_cast<size_t>(length));
    EXPECT_EQ(got, Bytes(static_cast<size_t>(length), 0)) << length;
    EXPECT_EQ(platform::Close(stream), 0);
  }
}

TEST(MemoryStream, EmptyAndNegativeLengths) {
  char byte = 1;
  StreamHandle empty = platform::OpenMemory(&byte, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_LE(platform::Read(empty, &byte, 1), 0);
  EXPECT_EQ(platform::Close(empty), 0);
  EXPECT_EQ(platform::OpenMemory(&byte, -1), nullptr);
  EXPECT_EQ(OpenStreams(), 0);
}

TEST(WriteStream, CreatesTruncatesAndWrites) {
  std::string path = ScratchPath("write-stream.bin");
  WriteFileBytes(path, Sequence(5000));
  Bytes data = Sequence(100000);
  StreamHandle stream = platform::CreateFileWrite(path.c_str());
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(platform::Write(stream, data.data(), 10), 10);
  EXPECT_EQ(platform::Write(stream, data.data() + 10, 99990), 99990);
  EXPECT_EQ(platform::Write(stream, data.data(), -1), -1);
  EXPECT_EQ(platform::Close(stream), 0);
  EXPECT_EQ(ReadFileBytes(path), data);

  stream = platform::CreateFileWrite(path.c_str());
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(platform::Write(stream, data.data(), 3), 3);
  EXPECT_EQ(platform::Close(stream), 0);
  EXPECT_EQ(ReadFileBytes(path), Bytes(data.begin(), data.begin() + 3));
  EXPECT_EQ(platform::RemoveFile(path.c_str()), 0);
  EXPECT_FALSE(FileExists(path));
}

TEST(FileStream, MissingFilesAndDirectoriesDoNotOpen) {
  EXPECT_EQ(platform::OpenFileRead(ScratchPath("no-such-file").c_str()), nullptr);
  EXPECT_EQ(platform::OpenFileRead(nullptr), nullptr);
  EXPECT_EQ(platform::CreateFileWrite(ScratchPath("no-such-dir/x").c_str()), nullptr);
}

TEST(Blocks, AreLockableAndFreedByTheHostZeroedWhenAsked) {
  for (BlockFill fill : {BlockFill::kZeroed, BlockFill::kUncleared}) {
    BlockHandle block = platform::AllocBlock(4096, fill);
    ASSERT_NE(block, nullptr);
    auto* bytes = static_cast<uint8_t*>(platform::LockBlock(block));
    ASSERT_NE(bytes, nullptr);
    if (fill == BlockFill::kZeroed) {
      EXPECT_EQ(std::accumulate(bytes, bytes + 4096, 0), 0);
    }
    bytes[0] = bytes[4095] = 1;
    platform::UnlockBlock(block);
    EXPECT_TRUE(FreeHostBlock(block));
    EXPECT_EQ(LiveBlocks(), 0);
  }
}

TEST(TextComparison, CaseSensitiveAndNot) {
  struct Row {
    const char* a;
    const char* b;
    bool equal;
    bool equalIgnoringCase;
  };
  const Row rows[] = {
      {"abc", "abc", true, true},     {"abc", "ABC", false, true}, {"a_1", "A_1", false, true},
      {"abc", "abcd", false, false},  {"", "", true, true},        {"z9", "Z8", false, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::CompareText(row.a, row.b) == 0, row.equal) << row.a << " vs " << row.b;
    EXPECT_EQ(platform::CompareTextIgnoreCase(row.a, row.b) == 0, row.equalIgnoringCase)
        << row.a << " vs " << row.b;
  }
}

}  // namespace
}  // namespace qrv::test
