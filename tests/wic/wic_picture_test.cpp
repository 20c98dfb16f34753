// The codec DLL's plain part on its own: reading a source, header and limit
// checks, refused rectangles and thumbnail scaling. (Pixels, rectangles and
// colours of every picture are compared with the plug-in's through the DLL
// under Wine, and against GetPicture by the fuzz target.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "picture_writer.h"
#include "wic_cases.h"
#include "wic_picture.h"

namespace qrv::test {
namespace {

using wic::Status;

// Bytes handed out `chunk` at a time; fails once `failAt` bytes are read.
class ChunkSource final : public wic::ByteSource {
 public:
  ChunkSource(const Bytes& bytes, uint32_t chunk, size_t failAt = SIZE_MAX)
      : bytes_(bytes), chunk_(chunk), failAt_(failAt) {}
  bool Read(uint8_t* into, uint32_t count, uint32_t* got) override {
    if (at_ >= failAt_) return false;
    *got = static_cast<uint32_t>(std::min<size_t>({count, chunk_, bytes_.size() - at_}));
    if (*got != 0) std::memcpy(into, bytes_.data() + at_, *got);
    at_ += *got;
    return true;
  }
  size_t consumed() const { return at_; }

 private:
  const Bytes& bytes_;
  uint32_t chunk_;
  size_t failAt_;
  size_t at_ = 0;
};

Status ReadAndDecode(const Bytes& file, uint32_t chunk, wic::Picture* picture) {
  ChunkSource source(file, chunk);
  wic::Buffer bytes;
  wic::Header header;
  Status status = wic::ReadPicture(source, wic::kMaxPixels, &bytes, &header);
  if (status == Status::kOk) status = picture->Decode(bytes.data(), bytes.size());
  return status;
}

TEST(WicPicture, RefusesRectanglesOutsideShortStridesAndSmallBuffers) {
  const PictureCase p = PictureCases()[4];  // 24-bit 5x7
  wic::Picture picture;
  ASSERT_EQ(ReadAndDecode(p.file, 64, &picture), Status::kOk);
  struct Case {
    wic::Rect rect;
    uint32_t stride;
    int32_t sizeShort;  // bytes fewer than the rectangle needs
    Status status;
  } const cases[] = {
      {{0, 0, 6, 1}, 18, 0, Status::kInvalidArgument},   {{-1, 0, 1, 1}, 3, 0, Status::kInvalidArgument},
      {{0, 7, 1, 1}, 3, 0, Status::kInvalidArgument},    {{4, 6, 1, 2}, 3, 0, Status::kInvalidArgument},
      {{0, 0, 5, 2}, 14, 0, Status::kInvalidArgument},   {{0, 0, 5, 7}, 15, 1, Status::kBufferTooSmall},
      {{2, 2, 3, 3}, 100, 1, Status::kBufferTooSmall},   {{1, 1, 0, 3}, 0, 0, Status::kOk},
  };
  for (const Case& c : cases) {
    const uint32_t rowBytes = static_cast<uint32_t>(std::max(c.rect.width, 0)) * 3;
    const uint32_t needed =
        c.rect.height > 0 ? c.stride * static_cast<uint32_t>(c.rect.height - 1) + rowBytes : 0;
    Bytes buffer(needed + 16, 0xee);
    EXPECT_EQ(picture.CopyRect(&c.rect, c.stride, needed - static_cast<uint32_t>(c.sizeShort),
                               buffer.data()),
              c.status)
        << c.rect.x << "," << c.rect.y << " " << c.rect.width << "x" << c.rect.height;
    EXPECT_EQ(buffer, Bytes(needed + 16, 0xee)) << "a refused copy wrote";
  }
  EXPECT_EQ(picture.CopyRect(nullptr, 15, 15 * 7, nullptr), Status::kInvalidArgument);
}

TEST(WicPicture, DamagedInputsFailWithTheirOwnStatus) {
  for (const DamagedCase& d : DamagedCases()) {
    ChunkSource source(d.file, 7);
    wic::Buffer bytes;
    wic::Header header;
    const Status read = wic::ReadPicture(source, wic::kMaxPixels, &bytes, &header);
    wic::Picture picture;
    const Status decoded = read == Status::kOk ? picture.Decode(bytes.data(), bytes.size()) : read;
    const Status wanted[] = {Status::kBadHeader, Status::kTooLarge, Status::kStreamRead,
                             Status::kBadImage};
    EXPECT_EQ(decoded, wanted[static_cast<int>(d.failure)]) << d.name;
    EXPECT_TRUE(picture.empty()) << d.name;
  }
}

TEST(WicPicture, ReadingStopsAtWhatThePictureCanUseAndAtAFailedSource) {
  const PictureCase p = PictureCases()[3];
  Bytes padded = p.file;
  padded.resize(padded.size() + (4u << 20), 0);  // 4 MiB after the picture
  ChunkSource source(padded, 1u << 20);
  wic::Buffer bytes;
  wic::Header header;
  ASSERT_EQ(wic::ReadPicture(source, wic::kMaxPixels, &bytes, &header), Status::kOk);
  // 16 x 9 x 3 samples take at most 13 bits each, plus the header.
  EXPECT_LE(source.consumed(), 12u + (16 * 9 * 3 * 13 + 7) / 8 + 8);
  EXPECT_GE(bytes.size(), p.file.size());
  // A picture of many read blocks comes in whole.
  Bytes noise(256 * 256 * 3);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
  Bytes large;
  std::string error;
  ASSERT_TRUE(writer::EncodePicture(256, 256, 24, noise, &large, &error)) << error;
  ASSERT_GT(large.size(), 3u << 16);
  ChunkSource whole(large, 4096);
  ASSERT_EQ(wic::ReadPicture(whole, wic::kMaxPixels, &bytes, &header), Status::kOk);
  EXPECT_EQ(Bytes(bytes.data(), bytes.data() + bytes.size()), large);
  for (size_t failAt : {size_t{0}, size_t{5}, size_t{12}, p.file.size() - 1}) {
    ChunkSource failing(p.file, 3, failAt);
    EXPECT_EQ(wic::ReadPicture(failing, wic::kMaxPixels, &bytes, &header), Status::kStreamRead)
        << "failing at " << failAt;
  }
  // No limit lets the largest header through.
  const Bytes huge = DamagedCases()[6].file;
  EXPECT_EQ(wic::CheckHeader(huge.data(), huge.size(), 0, &header), Status::kOk);
  EXPECT_EQ(header.width, 65535u);
}

TEST(WicThumbnail, SizeKeepsTheAspectAndNeverEnlarges) {
  struct Case {
    uint32_t width, height, cx, outWidth, outHeight;
  } const cases[] = {
      {100, 50, 10, 10, 5},   {50, 100, 10, 5, 10},   {10, 10, 256, 10, 10}, {1000, 1, 100, 100, 1},
      {3, 2, 2, 2, 1},        {2, 3, 2, 1, 2},        {65535, 3, 256, 256, 1}, {300, 200, 256, 256, 171},
      {7, 5, 7, 7, 5},        {7, 5, 1, 1, 1},
  };
  for (const Case& c : cases) {
    uint32_t w = 0;
    uint32_t h = 0;
    ASSERT_TRUE(wic::ThumbnailSize(c.width, c.height, c.cx, &w, &h));
    EXPECT_EQ(w, c.outWidth) << c.width << "x" << c.height << " cx " << c.cx;
    EXPECT_EQ(h, c.outHeight) << c.width << "x" << c.height << " cx " << c.cx;
  }
  uint32_t w = 0;
  uint32_t h = 0;
  EXPECT_FALSE(wic::ThumbnailSize(5, 5, 0, &w, &h));
}

TEST(WicThumbnail, PixelsAreTheMeansOfTheirBoxes) {
  // A 4x2 picture halved: each thumbnail pixel is the rounded mean of a 2x2
  // box, computed here by hand.
  const Bytes samples = {0,  0, 0, 10, 20, 30, 100, 100, 100, 1,   2,   3,
                         2,  4, 6, 10, 20, 31, 200, 200, 201, 255, 255, 255};
  Bytes file;
  std::string error;
  ASSERT_TRUE(writer::EncodePicture(4, 2, 24, samples, &file, &error)) << error;
  wic::Picture picture;
  ASSERT_EQ(ReadAndDecode(file, 64, &picture), Status::kOk);
  wic::Thumbnail small;
  ASSERT_EQ(wic::MakeThumbnail(picture, 2, &small), Status::kOk);
  ASSERT_EQ(small.width, 2u);
  ASSERT_EQ(small.height, 1u);
  const Bytes halved(small.pixels.data(), small.pixels.data() + small.pixels.size());
  // (0+10+2+10)/4 = 5.5 -> 6, (0+20+4+20)/4 = 11, (0+30+6+31)/4 = 16.75 -> 17;
  // (100+1+200+255)/4 = 139, (100+2+200+255)/4 = 139.25, (100+3+201+255)/4 = 139.75.
  EXPECT_EQ(halved, (Bytes{6, 11, 17, 255, 139, 139, 140, 255}));
}

}  // namespace
}  // namespace qrv::test
