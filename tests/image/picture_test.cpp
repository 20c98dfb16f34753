// GetPicture over the fault-injecting backend: the worked 1x1 picture, the
// bitmap layout, progress and abort, every failure path, truncation, and the
// kinds of source.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "fault_platform.h"
#include "image_exports.h"
#include "picture.h"
#include "picture_samples.h"
#include "reference_decoder.h"
#include "test_files.h"

namespace qrv::test {
namespace {

class GetPictureTest : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    ResetFaults();
    ExpectNothingLeft("after the test");
  }

  static void ExpectNothingLeft(const std::string& when) {
    EXPECT_EQ(OpenStreams(), 0) << when << ": " << LiveSummary();
    EXPECT_EQ(LiveBlocks(), 0) << when << ": " << LiveSummary();
  }

  static Decoded Decode(const Bytes& file, int abortAt = -1, bool nullCallback = false) {
    return DecodeWith(GetPicture, FreeHostBlock, file, abortAt, nullCallback);
  }
};

const Bytes kOnePixel = {0x01, 0x00, 0x00, 0x00, 'Q', 'R', 'V', 0x00,
                         0x01, 0x00, 0x01, 0x08, 0xf4, 0x00, 0x00, 0x00};

uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

TEST_F(GetPictureTest, SixteenByteOnePixelPicture) {
  Decoded d = Decode(kOnePixel);
  ASSERT_EQ(d.rc, RC_OK);
  ASSERT_EQ(d.info.size(), 40u + 1024u);
  const Bytes header = {40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 8, 0, 0, 0, 0, 0,
                        4,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(Bytes(d.info.begin(), d.info.begin() + 40), header);
  // Our colour table: the grey ramp.
  for (int i = 0; i < 256; ++i) {
    const uint8_t* entry = d.info.data() + 40 + 4 * i;
    ASSERT_EQ(entry[0], i);
    ASSERT_EQ(entry[1], i);
    ASSERT_EQ(entry[2], i);
    ASSERT_EQ(entry[3], 0);
  }
  EXPECT_EQ(d.pixels, (Bytes{0x80, 0, 0, 0}));
  EXPECT_EQ(d.progress, (std::vector<std::pair<int32_t, int32_t>>{{0, 1}, {1, 1}}));
}

TEST_F(GetPictureTest, BitmapLayout) {
  // 3 x 2 at 24 bits: stride 12, the last 3 bytes of each row zero, the top
  // file row in the block's last row, channel c in byte c.
  Sampled p{3, 2, 24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18}};
  for (uint64_t seed : {0u, 1u, 2u}) {
    Decoded d = Decode(Encode(p, seed));
    ASSERT_EQ(d.rc, RC_OK);
    EXPECT_EQ(d.pixels, (Bytes{10, 11, 12, 13, 14, 15, 16, 17, 18, 0, 0, 0,  //
                               1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}));
    ASSERT_EQ(d.info.size(), 40u);
    EXPECT_EQ(Le32(d.info, 0), 40u);
    EXPECT_EQ(Le32(d.info, 4), 3u);
    EXPECT_EQ(Le32(d.info, 8), 2u);
    EXPECT_EQ(d.info[12], 1);
    EXPECT_EQ(d.info[14], 24);
    EXPECT_EQ(Le32(d.info, 16), 0u);
    EXPECT_EQ(Le32(d.info, 20), 24u);
    for (size_t at = 24; at < 40; ++at) EXPECT_EQ(d.info[at], 0) << "byte " << at;
  }
  // Strides at 8 bits: width 1 to 9.
  for (uint32_t width = 1; width <= 9; ++width) {
    Sampled g{width, 3, 8, Bytes(width * 3, 0x9c)};
    Decoded d = Decode(Encode(g));
    ASSERT_EQ(d.rc, RC_OK);
    uint32_t stride = (width + 3) / 4 * 4;
    EXPECT_EQ(Le32(d.info, 20), stride * 3);
    EXPECT_EQ(d.pixels, ExpectedPixels(g)) << "width " << width;
  }
}

TEST_F(GetPictureTest, ProgressAndAbortAtEveryCall) {
  std::mt19937_64 rng(11);
  Sampled p{17, 6, 24, MakeSamples(rng, 17, 6, 3, Content::kNoisy)};
  Bytes file = Encode(p);
  Decoded full = Decode(file);
  ASSERT_EQ(full.rc, RC_OK);
  ASSERT_EQ(full.progress.size(), 7u);
  for (int32_t i = 0; i <= 6; ++i) EXPECT_EQ(full.progress[i], std::make_pair(i, int32_t{6}));

  for (int abortAt = 0; abortAt <= 6; ++abortAt) {
    Decoded d = Decode(file, abortAt);
    EXPECT_EQ(d.rc, RC_ABORTED) << "abort at call " << abortAt;
    EXPECT_EQ(d.progress.size(), static_cast<size_t>(abortAt + 1));
    EXPECT_TRUE(d.nullAfterFailure);
    std::string when = "abort at call ";
    when += std::to_string(abortAt);
    ExpectNothingLeft(when);
  }
  Decoded quiet = Decode(file, -1, true);
  ASSERT_EQ(quiet.rc, RC_OK);
  EXPECT_EQ(quiet.pixels, ExpectedPixels(p));
}

std::vector<QrvUser> seenUsers;

int32_t QRV_CALL RecordUser(int32_t, int32_t, QrvUser user) {
  seenUsers.push_back(user);
  return 0;
}

TEST_F(GetPictureTest, UserValuePassedUnchanged) {
  seenUsers.clear();
  Bytes file = kOnePixel;
  QrvBlock info = nullptr, bits = nullptr;
  ASSERT_EQ(GetPicture(reinterpret_cast<char*>(file.data()), 16, 1, &info, &bits, RecordUser,
                       static_cast<QrvUser>(-12345)),
            RC_OK);
  EXPECT_EQ(seenUsers, (std::vector<QrvUser>{-12345, -12345}));
  EXPECT_TRUE(FreeHostBlock(info));
  EXPECT_TRUE(FreeHostBlock(bits));
}

// What an injected fault of each kind must give, once reached.
struct FaultRow {
  Op op;
  int32_t rc;
};

void SweepFaults(const char* what, const std::function<int32_t(QrvBlock*, QrvBlock*)>& call,
                 const std::vector<FaultRow>& rows, const Bytes& expectedPixels) {
  ResetFaults();
  QrvBlock info = nullptr, bits = nullptr;
  ASSERT_EQ(call(&info, &bits), RC_OK) << what;
  ASSERT_TRUE(FreeHostBlock(info));
  ASSERT_TRUE(FreeHostBlock(bits));
  for (const FaultRow& row : rows) {
    int n = 1;
    for (;; ++n) {
      ArmFault(row.op, n);
      int calls = 0;
      info = bits = reinterpret_cast<QrvBlock>(uintptr_t{0x77});
      int32_t rc = call(&info, &bits);
      bool reached = FaultReached();
      calls = CallCount(row.op);
      ResetFaults();
      std::string where = std::string(what) + ": " + OpName(row.op) + " " + std::to_string(n);
      if (!reached) {
        EXPECT_EQ(rc, RC_OK) << where;
        if (rc == RC_OK) {
          EXPECT_TRUE(FreeHostBlock(info)) << where;
          EXPECT_TRUE(FreeHostBlock(bits)) << where;
        }
        break;
      }
      // A refill that only read ahead (the last one, at the stream's end) is
      // never needed: its failure must not be seen.
      bool lastLookAhead = row.op == Op::kRead && n == calls && rc == RC_OK;
      if (lastLookAhead) {
        Bytes pixels(expectedPixels.size());
        void* address = platform::LockBlock(bits);
        std::memcpy(pixels.data(), address, pixels.size());
        platform::UnlockBlock(bits);
        EXPECT_EQ(pixels, expectedPixels) << where;
        EXPECT_TRUE(FreeHostBlock(info)) << where;
        EXPECT_TRUE(FreeHostBlock(bits)) << where;
      } else {
        EXPECT_EQ(rc, row.rc) << where;
        EXPECT_EQ(info, nullptr) << where;
        EXPECT_EQ(bits, nullptr) << where;
      }
      EXPECT_EQ(OpenStreams(), 0) << where << ": " << LiveSummary();
      EXPECT_EQ(LiveBlocks(), 0) << where << ": " << LiveSummary();
    }
    EXPECT_GT(n, 1) << what << ": " << OpName(row.op) << " never called";
  }
}

TEST_F(GetPictureTest, EveryFailurePathFromMemory) {
  std::mt19937_64 rng(5);
  Sampled p{9, 4, 8, MakeSamples(rng, 9, 4, 1, Content::kGradient)};
  Bytes file = Encode(p);
  SweepFaults(
      "memory",
      [&](QrvBlock* info, QrvBlock* bits) {
        return GetPicture(reinterpret_cast<char*>(file.data()), static_cast<int32_t>(file.size()),
                          1, info, bits, nullptr, 0);
      },
      {{Op::kOpen, RC_MEMORY_ERROR},
       {Op::kAlloc, RC_NO_MEMORY},
       {Op::kLock, RC_MEMORY_ERROR},
       {Op::kRead, RC_READ_ERROR},
       {Op::kBuffer, RC_READ_ERROR},
       {Op::kClose, RC_READ_ERROR}},
      ExpectedPixels(p));
}

TEST_F(GetPictureTest, EveryFailurePathFromAFileOverSeveralWindows) {
  // Noisy 24-bit samples: a stream far longer than one stream buffer.
  std::mt19937_64 rng(6);
  Sampled p{211, 190, 24, MakeSamples(rng, 211, 190, 3, Content::kNoisy)};
  Bytes file = Encode(p);
  ASSERT_GT(file.size(), 100000u);
  Bytes onDisk = AfterFiller(123, 0xab, file);
  std::string path = ScratchPath("faults.qrv");
  WriteFileBytes(path, onDisk);
  SweepFaults(
      "file",
      [&](QrvBlock* info, QrvBlock* bits) {
        return GetPicture(const_cast<char*>(path.c_str()), 123, 0, info, bits, nullptr, 0);
      },
      {{Op::kOpen, RC_READ_ERROR},
       {Op::kSeek, RC_READ_ERROR},
       {Op::kAlloc, RC_NO_MEMORY},
       {Op::kLock, RC_MEMORY_ERROR},
       {Op::kRead, RC_READ_ERROR},
       {Op::kBuffer, RC_READ_ERROR},
       {Op::kClose, RC_READ_ERROR}},
      ExpectedPixels(p));
}

TEST_F(GetPictureTest, TruncationAtEveryByte) {
  std::mt19937_64 rng(9);
  for (int bits : {8, 24}) {
    Sampled p{7, 5, bits, MakeSamples(rng, 7, 5, bits / 8, Content::kNoisy)};
    Bytes file = Encode(p);
    size_t threshold = file.size() + 1;  // the shortest prefix that decodes
    for (size_t length = 0; length <= file.size(); ++length) {
      Bytes prefix(file.begin(), file.begin() + length);
      Decoded d = Decode(prefix);
      std::string where = std::to_string(bits) + " bits, " + std::to_string(length) + " bytes";
      if (d.rc == RC_OK) {
        threshold = std::min(threshold, length);
        EXPECT_EQ(d.pixels, ExpectedPixels(p)) << where;
      } else {
        EXPECT_EQ(d.rc, RC_READ_ERROR) << where;
        EXPECT_LT(length, threshold) << where << ": fails after a shorter prefix decoded";
        EXPECT_TRUE(d.nullAfterFailure) << where;
      }
      EXPECT_EQ(d.rc, DecodeReference(prefix).rc) << where;
      ExpectNothingLeft(where);
    }
    // Only the zero padding of the last word may go missing.
    EXPECT_GT(threshold + 4, file.size()) << bits << " bits";
  }
}

TEST_F(GetPictureTest, SourcesOfEveryKind) {
  std::mt19937_64 rng(21);
  Sampled p{33, 9, 24, MakeSamples(rng, 33, 9, 3, Content::kMixed)};
  Bytes file = Encode(p);
  const Bytes expected = ExpectedPixels(p);
  // Trailing bytes after the last row-channel are ignored.
  Bytes longer = file;
  longer.insert(longer.end(), 50, 0xff);
  EXPECT_EQ(Decode(longer).pixels, expected);

  for (int32_t offset : {0, 1, 100, 4099}) {
    Bytes onDisk = AfterFiller(static_cast<size_t>(offset), 0x5a, file);
    std::string path = ScratchPath("source.qrv");
    WriteFileBytes(path, onDisk);
    for (uint32_t flag : {0u, 0x100u, 0xfff8u}) {
      QrvBlock info = nullptr, bits = nullptr;
      ASSERT_EQ(GetPicture(const_cast<char*>(path.c_str()), offset, flag, &info, &bits, nullptr, 0),
                RC_OK)
          << "offset " << offset << " flag " << flag;
      Bytes pixels(expected.size());
      std::memcpy(pixels.data(), platform::LockBlock(bits), pixels.size());
      platform::UnlockBlock(bits);
      EXPECT_EQ(pixels, expected) << "offset " << offset;
      EXPECT_TRUE(FreeHostBlock(info));
      EXPECT_TRUE(FreeHostBlock(bits));
    }
  }
  struct Row {
    const char* what;
    std::string path;
    int32_t len;
    uint32_t flag;
    int32_t rc;
  };
  ResetFaults();
  const Row rows[] = {
      {"missing file", ScratchPath("no-such.qrv"), 0, 0, RC_READ_ERROR},
      {"input kind 2", ScratchPath("source.qrv"), 0, 2, RC_INTERNAL_ERROR},
      {"input kind 5", ScratchPath("source.qrv"), 0, 0x105, RC_INTERNAL_ERROR},
      {"offset into the filler", ScratchPath("source.qrv"), 1, 0, RC_UNKNOWN_FORMAT},
  };
  for (const Row& row : rows) {
    QrvBlock info = reinterpret_cast<QrvBlock>(uintptr_t{1});
    QrvBlock bits = info;
    EXPECT_EQ(GetPicture(const_cast<char*>(row.path.c_str()), row.len, row.flag, &info, &bits,
                         nullptr, 0),
              row.rc)
        << row.what;
    EXPECT_EQ(info, nullptr) << row.what;
    EXPECT_EQ(bits, nullptr) << row.what;
    EXPECT_EQ(CallCount(Op::kAlloc), 0) << row.what;
    ResetFaults();
  }
}

TEST_F(GetPictureTest, HeaderFailuresAllocateNothing) {
  struct Row {
    const char* what;
    Bytes file;
    int32_t rc;
  };
  const Row rows[] = {
      {"bad signature", Header(1, "QRX", 1, 1, 8), RC_UNKNOWN_FORMAT},
      {"depth 16", Header(1, "QRV", 1, 1, 16), RC_UNKNOWN_FORMAT},
      {"size over", Header(2, "QRV", 1, 1, 8), RC_UNKNOWN_FORMAT},
      {"short header", Bytes{1, 0, 0, 0, 'Q', 'R', 'V', 0, 1, 0}, RC_READ_ERROR},
      // The pixel block would need 2^32 bytes or more: refused before allocation.
      {"65535 x 65535 at 24 bits", Header(0, "QRV", 65535, 65535, 24), RC_NO_MEMORY},
      {"21846 x 65535 at 24 bits", Header(0, "QRV", 21846, 65535, 24), RC_NO_MEMORY},
  };
  for (const Row& row : rows) {
    Decoded d = Decode(row.file);
    EXPECT_EQ(d.rc, row.rc) << row.what;
    EXPECT_TRUE(d.nullAfterFailure) << row.what;
    EXPECT_TRUE(d.progress.empty()) << row.what;
    EXPECT_EQ(CallCount(Op::kAlloc), 0) << row.what;
    ResetFaults();
  }
  // Just under 2^32 bytes: the layout is accepted.
  ImageHeader header{0, {'Q', 'R', 'V'}, 21845, 65535, 24};
  BitmapLayout layout;
  ASSERT_EQ(ComputeLayout(header, &layout), RC_OK);
  EXPECT_EQ(layout.stride, 65536u);
  EXPECT_EQ(layout.imageSize, 65536u * 65535u);
}

}  // namespace
}  // namespace qrv::test
