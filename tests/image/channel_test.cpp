// The bit reader, MapNeighbour and DecodeChannel on hand-made bit streams.
#include <gtest/gtest.h>

#include <random>

#include "bit_reader.h"
#include "channel.h"
#include "fault_platform.h"
#include "picture_samples.h"
#include "reference_decoder.h"
#include "test_files.h"

namespace qrv::test {
namespace {

TEST(MapNeighbourTest, WorkedTable) {
  struct Row {
    uint8_t p, c, result;
  };
  const Row rows[] = {{10, 0, 10},    {10, 1, 11},    {10, 2, 9},     {10, 20, 0},
                      {10, 21, 21},   {200, 0, 200},  {200, 1, 199},  {200, 2, 201},
                      {200, 111, 144}, {200, 112, 143}, {127, 254, 0}, {128, 254, 255}};
  for (const Row& row : rows) {
    EXPECT_EQ(MapNeighbour(row.p, row.c), row.result) << "p " << int{row.p} << " c " << int{row.c};
  }
}

TEST(MapNeighbourTest, OneToOneForEveryPreviousAndAsTheRulesSay) {
  for (int p = 0; p < 256; ++p) {
    bool seen[256] = {};
    for (int c = 0; c < 256; ++c) {
      uint8_t v = MapNeighbour(static_cast<uint8_t>(p), static_cast<uint8_t>(c));
      ASSERT_EQ(v, ReferenceMap(static_cast<uint8_t>(p), static_cast<uint8_t>(c)))
          << "p " << p << " c " << c;
      ASSERT_FALSE(seen[v]) << "p " << p << " maps two codes to " << int{v};
      seen[v] = true;
    }
    EXPECT_EQ(MapNeighbour(static_cast<uint8_t>(p), 0), p) << "code 0 repeats";
  }
}

class ChannelTest : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    Stop();
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
  }

  void Stop() {
    if (stream_ == nullptr) return;
    int32_t rc = RC_OK;
    EndBits(&reader_, &rc);
    (void)platform::Close(stream_);
    stream_ = nullptr;
  }

  void Start(const Bytes& bytes) {
    bytes_ = bytes;
    bytes_.push_back(0);  // a valid address for an empty stream
    stream_ = platform::OpenMemory(reinterpret_cast<char*>(bytes_.data()),
                                   static_cast<int32_t>(bytes.size()));
    ASSERT_NE(stream_, nullptr);
    ASSERT_EQ(BeginBits(&reader_, stream_), RC_OK);
  }

  Bytes bytes_;
  StreamHandle stream_ = nullptr;
  BitReader reader_;
};

TEST_F(ChannelTest, RunOfOneCodeThenZeroRunLeavesTwelveBits) {
  Start({0xf6, 0x40, 0x60, 0x00});
  uint8_t out[6] = {};
  ASSERT_EQ(DecodeChannel(&reader_, out, 1, 6), RC_OK);
  for (uint8_t v : out) EXPECT_EQ(v, 200);
  uint32_t rest = 1;
  EXPECT_EQ(GetBits(&reader_, 12, &rest), RC_OK);
  EXPECT_EQ(rest, 0u);
  EXPECT_EQ(GetBits(&reader_, 1, &rest), RC_READ_ERROR);
}

TEST_F(ChannelTest, CodeZeroRunAndThreeBitCodes) {
  Start({0x75, 0x09, 0x66, 0x00});
  uint8_t out[4] = {};
  ASSERT_EQ(DecodeChannel(&reader_, out, 1, 4), RC_OK);
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{10, 10, 11, 9}));
}

TEST_F(ChannelTest, StepLeavesTheBytesBetweenAlone) {
  Start({0x75, 0x09, 0x66, 0x00});
  uint8_t out[12];
  std::fill(out, out + 12, 0xee);
  ASSERT_EQ(DecodeChannel(&reader_, out + 1, 3, 4), RC_OK);
  EXPECT_EQ(Bytes(out, out + 12),
            (Bytes{0xee, 10, 0xee, 0xee, 10, 0xee, 0xee, 11, 0xee, 0xee, 9, 0xee}));
}

TEST_F(ChannelTest, CountOneIsTheSampleItself) {
  // w = 7, prefix 1, suffix 0 (a run of 1), code 0xfe; no mapping.
  Start({0xf7, 0xf0, 0x00, 0x00});
  uint8_t out = 0;
  ASSERT_EQ(DecodeChannel(&reader_, &out, 1, 1), RC_OK);
  EXPECT_EQ(out, 0xfe);
}

TEST_F(ChannelTest, RowChannelsShareWordsWithoutAlignment) {
  // The first worked stream twice in a row of bits: 20 + 20 bits, then 24 spare.
  // 1111 0110 0100 0000 0110 | 1111 0110 0100 0000 0110 | 0...
  Start({0xf6, 0x40, 0x6f, 0x64, 0x06, 0x00, 0x00, 0x00});
  uint8_t a[6] = {}, b[6] = {};
  ASSERT_EQ(DecodeChannel(&reader_, a, 1, 6), RC_OK);
  ASSERT_EQ(DecodeChannel(&reader_, b, 1, 6), RC_OK);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(a[i], 200);
    EXPECT_EQ(b[i], 200);
  }
}

TEST_F(ChannelTest, ShortLastReadCountsExactlyItsBytes) {
  struct Row {
    Bytes stream;
    int32_t rc;
  };
  // The first worked stream needs 20 bits: three bytes hold them, two do not.
  const Row rows[] = {
      {{0xf6, 0x40, 0x60}, RC_OK},
      {{0xf6, 0x40}, RC_READ_ERROR},
      {{0xf6}, RC_READ_ERROR},
      {{}, RC_READ_ERROR},
  };
  for (const Row& row : rows) {
    Stop();
    Start(row.stream);
    uint8_t out[6] = {};
    EXPECT_EQ(DecodeChannel(&reader_, out, 1, 6), row.rc) << row.stream.size() << " bytes";
    if (row.rc == RC_OK) {
      uint32_t rest = 0;
      EXPECT_EQ(GetBits(&reader_, 4, &rest), RC_OK);
      EXPECT_EQ(GetBits(&reader_, 1, &rest), RC_READ_ERROR);
    }
  }
}

TEST_F(ChannelTest, RunPastTheEndFailsWithoutWritingOutside) {
  // w = 0, prefix 01, suffix 10: a zero run of 5 in a row-channel of 4.
  Start({0x0c, 0x00, 0x00, 0x00});
  uint8_t out[6];
  std::fill(out, out + 6, 0xee);
  EXPECT_EQ(DecodeChannel(&reader_, out + 1, 1, 4), RC_UNKNOWN_FORMAT);
  EXPECT_EQ(out[0], 0xee);
  EXPECT_EQ(out[5], 0xee);
}

TEST_F(ChannelTest, PrefixOfSixteenBitsIsTheLongestAccepted) {
  // w = 0, 15 zeros and a one (k = 16), suffix 0: a zero run of 65535.
  Start({0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00});
  std::vector<uint8_t> out(65535, 0xee);
  ASSERT_EQ(DecodeChannel(&reader_, out.data(), 1, 65535), RC_OK);
  for (uint8_t v : out) ASSERT_EQ(v, 0);
  // Sixteen zeros after the width field: a prefix longer than 16 bits (with
  // plenty of bits held, and with just enough).
  for (size_t length : {8u, 3u}) {
    Stop();
    Start(Bytes(length, 0x00));
    std::vector<uint8_t> big(65535, 0xee);
    EXPECT_EQ(DecodeChannel(&reader_, big.data(), 1, 65535), RC_UNKNOWN_FORMAT) << length;
  }
}

// Bytes from a string of '0' and '1', padded with `pad` bits to whole bytes.
Bytes FromBits(const std::string& bits, char pad) {
  std::string all = bits;
  while (all.size() % 8 != 0) all += pad;
  Bytes bytes(all.size() / 8);
  for (size_t i = 0; i < all.size(); ++i) bytes[i / 8] |= (all[i] == '1' ? 0x80 : 0) >> (i % 8);
  return bytes;
}

TEST_F(ChannelTest, RunLongerThanOneBatchStoresNothingPastTheRowChannel) {
  // w = 2 (3-bit codes), prefix 0001, suffix 0101: one run of 20 codes, the
  // sample 5 and then code 1 (one up) 19 times; ones after it.
  std::string bits = "010" "0001" "0101" "101";
  for (int i = 0; i < 19; ++i) bits += "001";
  Bytes stream = FromBits(bits, '1');
  stream.insert(stream.end(), 8, 0xff);
  Start(stream);
  Bytes out(40, 0xee);
  ASSERT_EQ(DecodeChannel(&reader_, out.data(), 1, 20), RC_OK);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(out[i], 5 + i) << "sample " << i;
  for (int i = 20; i < 40; ++i) EXPECT_EQ(out[i], 0xee) << "byte " << i << " past the end";
}

// Every (previous, code) pair goes through the row mappers of every kernel
// that runs here, for every group size they take: each pair is set up by a
// steering code that brings the row to `previous` (MapNeighbour is
// one-to-one), then tested with `code`.
TEST(MapRowsTest, EveryPairAndGroupSizeAgreeWithSerialMapping) {
  std::mt19937_64 rng(65536);
  for (RowKernel kernel : {RowKernel::kScalar, RowKernel::kVector}) {
    if (!KernelRuns(kernel)) continue;
    for (int32_t count = 1; count <= MappedRows8(kernel); ++count) {
      const int32_t pairsPerRow = (65536 + count - 1) / count;
      const int32_t width = 1 + 2 * pairsPerRow + static_cast<int32_t>(rng() % 17);
      std::vector<Bytes> codes(count, Bytes(width));
      std::vector<Bytes> want(count, Bytes(width));
      for (int32_t n = 0; n < count; ++n) {
        uint8_t value = static_cast<uint8_t>(rng());
        codes[n][0] = want[n][0] = value;
        for (int32_t x = 1; x < width; ++x) {
          const int32_t pair = (x - 1) / 2 * count + n;
          uint8_t code = static_cast<uint8_t>(rng());
          if (pair < 65536 && (x - 1) % 2 == 0) {
            // Steer to previous = pair >> 8: the code that maps value there.
            while (MapNeighbour(value, code) != (pair >> 8)) ++code;
          } else if (pair < 65536) {
            code = static_cast<uint8_t>(pair);
          }
          codes[n][x] = code;
          value = MapNeighbour(value, code);
          want[n][x] = value;
        }
      }
      std::vector<uint8_t*> rows(count);
      for (int32_t n = 0; n < count; ++n) rows[n] = codes[n].data();
      MapRows8(kernel, rows.data(), count, width);
      for (int32_t n = 0; n < count; ++n) {
        ASSERT_EQ(codes[n], want[n]) << "kernel " << static_cast<int>(kernel) << ", " << count
                                     << " rows of " << width << ", row " << n;
      }
    }
  }
}

// x86 builds take the vector kernel exactly where the processor has SSE2
// (every x86-64 one; on 32-bit x86 as cpuid says), other builds the scalar one.
TEST(RowKernelTest, ChosenByWhatTheProcessorHas) {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  const bool sse2 = __builtin_cpu_supports("sse2") != 0;
#else
  const bool sse2 = false;
#endif
  EXPECT_TRUE(KernelRuns(RowKernel::kScalar));
  EXPECT_EQ(KernelRuns(RowKernel::kVector), sse2);
  EXPECT_EQ(ChooseKernel(), sse2 ? RowKernel::kVector : RowKernel::kScalar);
}

TEST(BitReaderTest, AcrossFileWindowsAtAnOffset) {
  ResetFaults();
  std::mt19937_64 rng(7);
  Bytes data(200003);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  Bytes onDisk = AfterFiller(37, 0x11, data);
  std::string path = ScratchPath("bits.bin");
  WriteFileBytes(path, onDisk);
  StreamHandle stream = nullptr;
  ASSERT_EQ(OpenSource(&stream, const_cast<char*>(path.c_str()), 37, 0), RC_OK);
  BitReader reader;
  ASSERT_EQ(BeginBits(&reader, stream), RC_OK);
  uint64_t position = 0;  // in bits
  const uint64_t total = uint64_t{data.size()} * 8;
  int32_t rc = RC_OK;
  while (rc == RC_OK) {
    int32_t n = 1 + static_cast<int32_t>(rng() % 32);
    uint32_t value = 0;
    rc = GetBits(&reader, n, &value);
    if (position + n > total) {
      EXPECT_EQ(rc, RC_READ_ERROR) << "at bit " << position;
      break;
    }
    ASSERT_EQ(rc, RC_OK) << "at bit " << position;
    uint32_t expected = 0;
    for (int32_t i = 0; i < n; ++i, ++position) {
      expected = expected << 1 | ((data[position / 8] >> (7 - position % 8)) & 1);
    }
    ASSERT_EQ(value, expected) << "at bit " << position;
  }
  EXPECT_GT(CallCount(Op::kRead), 3);  // the windows were refilled
  EndBits(&reader, &rc);
  CloseSource(stream, &rc);
  EXPECT_EQ(OpenStreams(), 0);
}

}  // namespace
}  // namespace qrv::test
