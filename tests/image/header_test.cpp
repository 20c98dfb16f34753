// The picture header: read order, every rule in its order, and the light
// exports built on it (IsSupported, GetPictureInfo, GetPreview).
#include <gtest/gtest.h>

#include <cstring>

#include "fault_platform.h"
#include "header.h"
#include "image_exports.h"
#include "picture_samples.h"
#include "test_files.h"

namespace qrv::test {
namespace {

class ImageHeaderTest : public testing::Test {
 protected:
  void SetUp() override { ResetFaults(); }
  void TearDown() override {
    ResetFaults();
    EXPECT_EQ(OpenStreams(), 0) << LiveSummary();
    EXPECT_EQ(LiveBlocks(), 0) << LiveSummary();
  }

  // ReadImageHeader over a memory stream of `bytes`. With `next`, a byte 0xa7
  // follows them, and *next is the byte read after the header (or -1): where
  // the stream stood.
  int32_t Read(Bytes bytes, ImageHeader* header, int* next = nullptr) {
    if (next != nullptr) bytes.push_back(0xa7);
    bytes.push_back(0);  // a valid address for an empty stream
    StreamHandle stream = platform::OpenMemory(reinterpret_cast<char*>(bytes.data()),
                                               static_cast<int32_t>(bytes.size() - 1));
    EXPECT_NE(stream, nullptr);
    int32_t rc = ReadImageHeader(stream, header);
    uint8_t byte = 0;
    if (next != nullptr) *next = platform::Read(stream, &byte, 1) == 1 ? byte : -1;
    (void)platform::Close(stream);
    return rc;
  }
};

Bytes Cut(Bytes bytes, size_t length) {
  bytes.resize(length);
  return bytes;
}

struct HeaderRow {
  const char* what;
  Bytes bytes;
  int32_t rc;
};

TEST_F(ImageHeaderTest, EveryRule) {
  const HeaderRow rows[] = {
      {"2x2 24-bit, size 12", Header(12, "QRV", 2, 2, 24), RC_OK},
      {"2x2 24-bit, size 13", Header(13, "QRV", 2, 2, 24), RC_UNKNOWN_FORMAT},
      {"size 0", Header(0, "QRV", 2, 2, 24), RC_OK},
      {"8-bit limit", Header(6, "QRV", 3, 2, 8), RC_OK},
      {"8-bit over", Header(7, "QRV", 3, 2, 8), RC_UNKNOWN_FORMAT},
      {"signature QRW", Header(12, "QRW", 2, 2, 24), RC_UNKNOWN_FORMAT},
      {"signature qrv", Header(12, "qrv", 2, 2, 24), RC_UNKNOWN_FORMAT},
      {"signature XRV", Header(12, "XRV", 2, 2, 24), RC_UNKNOWN_FORMAT},
      {"depth 1", Header(1, "QRV", 2, 2, 1), RC_UNKNOWN_FORMAT},
      {"depth 4", Header(1, "QRV", 2, 2, 4), RC_UNKNOWN_FORMAT},
      {"depth 16", Header(1, "QRV", 2, 2, 16), RC_UNKNOWN_FORMAT},
      {"depth 32", Header(1, "QRV", 2, 2, 32), RC_UNKNOWN_FORMAT},
      {"depth 0", Header(0, "QRV", 2, 2, 0), RC_UNKNOWN_FORMAT},
      {"width 0", Header(0, "QRV", 0, 2, 8), RC_UNKNOWN_FORMAT},
      {"height 0", Header(0, "QRV", 2, 0, 8), RC_UNKNOWN_FORMAT},
      // The limit taken without wrapping: 34179 x 41887 x 3 wraps to 23 in 32 bits.
      {"wrapping product, size 100", Header(100, "QRV", 34179, 41887, 24), RC_OK},
      {"largest 8-bit limit", Header(4294836225u, "QRV", 65535, 65535, 8), RC_OK},
      {"over the largest 8-bit", Header(4294836226u, "QRV", 65535, 65535, 8), RC_UNKNOWN_FORMAT},
      {"largest 24-bit, size max", Header(0xffffffffu, "QRV", 65535, 65535, 24), RC_OK},
      // Every field is read before any is checked: a short header is a read error
      // even when what it holds is already wrong.
      {"11 bytes", Cut(Header(12, "QRV", 2, 2, 24), 11), RC_READ_ERROR},
      {"bad signature, 9 bytes", Bytes{1, 0, 0, 0, 'X', 'Y', 'Z', 0, 1}, RC_READ_ERROR},
      {"empty", Bytes{}, RC_READ_ERROR},
  };
  for (const HeaderRow& row : rows) {
    ImageHeader header;
    int next = 0;
    EXPECT_EQ(Read(row.bytes, &header, row.rc == RC_OK ? &next : nullptr), row.rc) << row.what;
    if (row.rc == RC_OK) {
      EXPECT_EQ(next, 0xa7) << row.what << ": stream not on offset 12";
    }
  }
}

TEST_F(ImageHeaderTest, FieldsInHostOrder) {
  ImageHeader header;
  ASSERT_EQ(Read(Header(0x010203, "QRV", 0x0100, 0x0203, 8), &header), RC_OK);
  EXPECT_EQ(header.width, 256);  // bytes 01 00 are big-endian
  EXPECT_EQ(header.height, 0x0203);
  EXPECT_EQ(header.storedSize, 0x010203u);  // little-endian
  EXPECT_EQ(header.bitsPerPixel, 8);
}

TEST_F(ImageHeaderTest, FiveReadsEachFailingInTurn) {
  Bytes bytes = Header(4, "QRV", 2, 2, 8);
  ImageHeader header;
  ASSERT_EQ(Read(bytes, &header), RC_OK);
  EXPECT_EQ(CallCount(Op::kRead), 5);
  for (int n = 1; n <= 5; ++n) {
    for (Fault how : {Fault::kFail, Fault::kShort}) {
      ArmFault(Op::kRead, n, how);
      EXPECT_EQ(Read(bytes, &header), RC_READ_ERROR) << "read " << n;
      EXPECT_TRUE(FaultReached());
    }
  }
}

using IsSupportedTest = ImageHeaderTest;

TEST_F(IsSupportedTest, FromABlock) {
  struct Row {
    Bytes head;
    int32_t answer;
  };
  const Row rows[] = {
      {Header(12, "QRV", 2, 2, 24), 1},
      {Header(13, "QRV", 2, 2, 24), 0},
      {Header(1, "QRV", 1, 1, 8), 1},
      {Header(1, "QRV", 1, 1, 16), 0},
      {Header(1, "QRA", 1, 1, 8), 0},
      {Bytes{}, 0},
  };
  for (const Row& row : rows) {
    // Bytes past the header are never looked at: fill them with garbage.
    Bytes head(QRV_HEAD_SIZE, 0xee);
    std::copy(row.head.begin(), row.head.end(), head.begin());
    if (row.head.empty()) std::fill(head.begin(), head.end(), 0);
    for (const char* name : {"picture.qrv", "noextension", "", "x.dat"}) {
      EXPECT_EQ(IsSupported(const_cast<char*>(name), reinterpret_cast<uintptr_t>(head.data())),
                row.answer)
          << name;
    }
  }
}

TEST_F(IsSupportedTest, FromAFileHandleLeftWhereItStood) {
  const Bytes valid = Header(3, "QRV", 3, 1, 8);
  for (const Bytes& content : {valid, Bytes(valid.begin(), valid.begin() + 11), Header(0, "QRV", 3, 1, 9)}) {
    std::string path = ScratchPath("probe.bin");
    WriteFileBytes(path, content);
    ProbeFile probe(path);
    ASSERT_TRUE(probe.ok());
    int32_t expected = content == valid ? 1 : 0;
    EXPECT_EQ(IsSupported(nullptr, probe.value()), expected);
    EXPECT_EQ(probe.Position(), 0);
  }
}

TEST_F(IsSupportedTest, InjectedFaultsAnswerZero) {
  Bytes head(QRV_HEAD_SIZE, 0);
  Bytes h = Header(4, "QRV", 2, 2, 8);
  std::copy(h.begin(), h.end(), head.begin());
  for (Op op : {Op::kOpen, Op::kRead}) {
    ArmFault(op, 1);
    EXPECT_EQ(IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.data())), 0) << OpName(op);
    EXPECT_TRUE(FaultReached());
  }
  // A failed close does not change the answer.
  ArmFault(Op::kClose, 1);
  EXPECT_EQ(IsSupported(nullptr, reinterpret_cast<uintptr_t>(head.data())), 1);
  EXPECT_TRUE(FaultReached());
}

using GetPictureInfoTest = ImageHeaderTest;

PictureInfo Untouched() {
  PictureInfo info;
  std::memset(&info, 0x5c, sizeof info);
  return info;
}

bool IsUntouched(const PictureInfo& info) {
  PictureInfo u = Untouched();
  return std::memcmp(&info, &u, sizeof info) == 0;
}

TEST_F(GetPictureInfoTest, FromMemoryAndFromAFileAtAnOffset) {
  Bytes file = Header(0, "QRV", 300, 0x0102, 24);
  PictureInfo info = Untouched();
  ASSERT_EQ(GetPictureInfo(reinterpret_cast<char*>(file.data()), static_cast<int32_t>(file.size()),
                           0x0f01, &info),
            RC_OK);
  // Unary plus copies a packed field: it cannot bind to a reference.
  EXPECT_EQ(+info.left, 0);
  EXPECT_EQ(+info.top, 0);
  EXPECT_EQ(+info.width, 300);
  EXPECT_EQ(+info.height, 0x0102);
  EXPECT_EQ(+info.x_density, 0);
  EXPECT_EQ(+info.y_density, 0);
  EXPECT_EQ(+info.colour_depth, 24);
  EXPECT_EQ(+info.text_handle, 0u);

  Bytes onDisk = AfterFiller(100, 0x33, file);
  std::string path = ScratchPath("info.qrv");
  WriteFileBytes(path, onDisk);
  PictureInfo fromFile = Untouched();
  ASSERT_EQ(GetPictureInfo(const_cast<char*>(path.c_str()), 100, 0, &fromFile), RC_OK);
  EXPECT_EQ(std::memcmp(&info, &fromFile, sizeof info), 0);
}

TEST_F(GetPictureInfoTest, FailuresLeaveTheRecordAlone) {
  Bytes good = Header(0, "QRV", 5, 5, 8);
  Bytes bad = Header(26, "QRV", 5, 5, 8);
  Bytes shortFile(good.begin(), good.end() - 1);
  struct Row {
    const char* what;
    Bytes* file;
    uint32_t flag;
    int32_t rc;
  };
  const Row rows[] = {
      {"size over the limit", &bad, 1, RC_UNKNOWN_FORMAT},
      {"11 bytes", &shortFile, 1, RC_READ_ERROR},
      {"input kind 2", &good, 2, RC_INTERNAL_ERROR},
      {"input kind 7", &good, 7, RC_INTERNAL_ERROR},
  };
  for (const Row& row : rows) {
    PictureInfo info = Untouched();
    EXPECT_EQ(GetPictureInfo(reinterpret_cast<char*>(row.file->data()),
                             static_cast<int32_t>(row.file->size()), row.flag, &info),
              row.rc)
        << row.what;
    EXPECT_TRUE(IsUntouched(info)) << row.what;
  }
  PictureInfo info = Untouched();
  std::string missing = ScratchPath("missing.qrv");
  EXPECT_EQ(GetPictureInfo(const_cast<char*>(missing.c_str()), 0, 0, &info), RC_READ_ERROR);
  EXPECT_TRUE(IsUntouched(info));
}

TEST_F(GetPictureInfoTest, FailedCloseAfterAValidHeaderFillsTheRecord) {
  Bytes file = Header(0, "QRV", 7, 9, 8);
  PictureInfo info = Untouched();
  ArmFault(Op::kClose, 1);
  EXPECT_EQ(GetPictureInfo(reinterpret_cast<char*>(file.data()), 12, 1, &info), RC_READ_ERROR);
  EXPECT_TRUE(FaultReached());
  EXPECT_EQ(+info.width, 7);
  EXPECT_EQ(+info.height, 9);
  // A failed close keeps an earlier failure.
  Bytes bad = Header(0, "QRV", 0, 9, 8);
  ArmFault(Op::kClose, 1);
  EXPECT_EQ(GetPictureInfo(reinterpret_cast<char*>(bad.data()), 12, 1, &info), RC_UNKNOWN_FORMAT);
}

TEST(GetPreviewTest, NotImplementedAndTouchesNothing) {
  ResetFaults();
  Bytes file = Header(0, "QRV", 1, 1, 8);
  QrvBlock info = reinterpret_cast<QrvBlock>(uintptr_t{0x1111});
  QrvBlock bits = reinterpret_cast<QrvBlock>(uintptr_t{0x2222});
  EXPECT_EQ(GetPreview(reinterpret_cast<char*>(file.data()), 12, 1, &info, &bits, nullptr, 0),
            RC_NOT_IMPLEMENTED);
  EXPECT_EQ(info, reinterpret_cast<QrvBlock>(uintptr_t{0x1111}));
  EXPECT_EQ(bits, reinterpret_cast<QrvBlock>(uintptr_t{0x2222}));
  for (int op = 0; op < kOpCount; ++op) EXPECT_EQ(CallCount(static_cast<Op>(op)), 0);
}

}  // namespace
}  // namespace qrv::test
