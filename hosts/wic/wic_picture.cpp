#include "wic_picture.h"

#include <stdlib.h>
#include <string.h>

#include "memory_picture.h"
#include "qrvnel.h"

namespace qrv::wic {
namespace {

constexpr size_t kBitmapHeaderBytes = 40;
// The first block a read asks for; it doubles from there up to the picture's
// most bytes.
constexpr size_t kFirstReadBytes = 64 * 1024;

Status FromHeaderCode(int32_t rc) {
  if (rc == RC_NO_MEMORY || rc == RC_MEMORY_ERROR) return Status::kNoMemory;
  return Status::kBadHeader;  // a short header is no header
}

Status FromPictureCode(int32_t rc) {
  switch (rc) {
    case RC_OK: return Status::kOk;
    case RC_READ_ERROR: return Status::kStreamRead;
    case RC_NO_MEMORY:
    case RC_MEMORY_ERROR: return Status::kNoMemory;
    default: return Status::kBadImage;
  }
}

// Reads until `want` bytes are at `into` or the source ends.
bool ReadUpTo(ByteSource& source, uint8_t* into, size_t want, size_t* got) {
  *got = 0;
  while (*got < want) {
    const size_t left = want - *got;
    uint32_t n = 0;
    if (!source.Read(into + *got, left > 0x40000000u ? 0x40000000u : static_cast<uint32_t>(left),
                     &n)) {
      return false;
    }
    if (n == 0) break;
    *got += n;
  }
  return true;
}

}  // namespace

Buffer::~Buffer() { free(data_); }

bool Buffer::Resize(size_t size) {
  if (size == size_) return true;
  void* moved = realloc(data_, size == 0 ? 1 : size);
  if (moved == nullptr) return false;
  data_ = static_cast<uint8_t*>(moved);
  size_ = size;
  return true;
}

Status CheckHeader(const uint8_t* head, size_t count, uint64_t maxPixels, Header* header) {
  hosts::PictureSize size = {};
  const int32_t rc = hosts::ReadPictureSize(head, count, &size);
  if (rc != RC_OK) return FromHeaderCode(rc);
  header->width = static_cast<uint32_t>(size.width);
  header->height = static_cast<uint32_t>(size.height);
  header->bitsPerPixel = static_cast<uint32_t>(size.bitsPerPixel);
  const uint64_t pixels = uint64_t{header->width} * header->height;
  if (maxPixels != 0 && pixels > maxPixels) return Status::kTooLarge;
  return Status::kOk;
}

Status ReadPicture(ByteSource& source, uint64_t maxPixels, Buffer* bytes, Header* header) {
  const size_t headBytes = hosts::kPictureHeaderBytes;
  if (!bytes->Resize(headBytes)) return Status::kNoMemory;
  size_t got = 0;
  if (!ReadUpTo(source, bytes->data(), headBytes, &got)) return Status::kStreamRead;
  const Status status = CheckHeader(bytes->data(), got, maxPixels, header);
  if (status != Status::kOk) return status;

  // A memory source's length is 32-bit; a picture needing more ends early.
  size_t most = hosts::MostPictureBytes({static_cast<int32_t>(header->width),
                                         static_cast<int32_t>(header->height),
                                         static_cast<int32_t>(header->bitsPerPixel)});
  if (most > INT32_MAX) most = INT32_MAX;
  size_t held = headBytes;
  size_t capacity = headBytes;
  while (held < most) {
    if (held == capacity) {
      capacity = capacity < kFirstReadBytes ? kFirstReadBytes : capacity * 2;
      if (capacity > most) capacity = most;
      if (!bytes->Resize(capacity)) return Status::kNoMemory;
    }
    if (!ReadUpTo(source, bytes->data() + held, capacity - held, &got)) return Status::kStreamRead;
    held += got;
    if (held < capacity) break;  // the source ended
  }
  return bytes->Resize(held) ? Status::kOk : Status::kNoMemory;
}

Status Picture::Decode(const uint8_t* data, size_t count) {
  infoBlock_.Reset();
  bitsBlock_.Reset();
  table_ = rows_ = nullptr;
  hosts::PictureSize size = {};
  int32_t rc = hosts::ReadPictureSize(data, count, &size);
  if (rc != RC_OK) return FromHeaderCode(rc);
  QrvBlock info = nullptr;
  QrvBlock bits = nullptr;
  rc = hosts::DecodeBitmapBlocks(data, count, &info, &bits);
  if (rc != RC_OK) return FromPictureCode(rc);
  infoBlock_.Adopt(info);
  bitsBlock_.Adopt(bits);
  const uint8_t* infoBytes = infoBlock_.Lock();
  const uint8_t* bitsBytes = bitsBlock_.Lock();
  if (infoBytes == nullptr || bitsBytes == nullptr) return Status::kNoMemory;
  QrvBitmapHeader bitmap;
  memcpy(&bitmap, infoBytes, sizeof bitmap);  // the block's record is packed
  // The bitmap must say what the header said, or its rows cannot be trusted.
  if (bitmap.width != size.width || bitmap.height != size.height ||
      bitmap.bit_count != size.bitsPerPixel) {
    return Status::kBadImage;
  }
  width_ = static_cast<uint32_t>(bitmap.width);
  height_ = static_cast<uint32_t>(bitmap.height);
  bytesPerPixel_ = bitmap.bit_count / 8u;
  stride_ = (width_ * bytesPerPixel_ + 3u) & ~3u;
  table_ = infoBytes + kBitmapHeaderBytes;
  rows_ = bitsBytes;
  return Status::kOk;
}

void Picture::Palette(uint32_t colours[256]) const {
  for (uint32_t i = 0; i < 256; ++i) {
    const uint8_t* entry = table_ + 4 * i;  // blue, green, red, reserved
    colours[i] = 0xff000000u | uint32_t{entry[2]} << 16 | uint32_t{entry[1]} << 8 | entry[0];
  }
}

const uint8_t* Picture::Bgr(uint32_t x, uint32_t y) const {
  const uint8_t* sample = rows_ + size_t{height_ - 1 - y} * stride_ + size_t{x} * bytesPerPixel_;
  return bytesPerPixel_ == 3 ? sample : table_ + 4u * *sample;
}

Status Picture::CopyRect(const Rect* rect, uint32_t stride, uint32_t bufferSize,
                         uint8_t* buffer) const {
  const Rect whole = {0, 0, static_cast<int32_t>(width_), static_cast<int32_t>(height_)};
  const Rect& r = rect != nullptr ? *rect : whole;
  if (buffer == nullptr || r.x < 0 || r.y < 0 || r.width < 0 || r.height < 0 ||
      int64_t{r.x} + r.width > width_ || int64_t{r.y} + r.height > height_) {
    return Status::kInvalidArgument;
  }
  if (r.width == 0 || r.height == 0) return Status::kOk;
  const uint64_t rowBytes = uint64_t{static_cast<uint32_t>(r.width)} * bytesPerPixel_;
  if (stride < rowBytes) return Status::kInvalidArgument;
  if (uint64_t{stride} * static_cast<uint32_t>(r.height - 1) + rowBytes > bufferSize) {
    return Status::kBufferTooSmall;
  }
  for (int32_t i = 0; i < r.height; ++i) {
    const uint32_t y = static_cast<uint32_t>(r.y + i);
    const uint8_t* from =
        rows_ + size_t{height_ - 1 - y} * stride_ + size_t{static_cast<uint32_t>(r.x)} * bytesPerPixel_;
    memcpy(buffer + size_t{stride} * static_cast<uint32_t>(i), from, static_cast<size_t>(rowBytes));
  }
  return Status::kOk;
}

bool ThumbnailSize(uint32_t width, uint32_t height, uint32_t cx, uint32_t* outWidth,
                   uint32_t* outHeight) {
  if (cx == 0 || width == 0 || height == 0) return false;
  const bool wide = width >= height;
  const uint64_t longer = wide ? width : height;
  const uint64_t shorter = wide ? height : width;
  const uint64_t side = cx < longer ? cx : longer;
  uint64_t other = (shorter * side + longer / 2) / longer;
  if (other == 0) other = 1;
  *outWidth = static_cast<uint32_t>(wide ? side : other);
  *outHeight = static_cast<uint32_t>(wide ? other : side);
  return true;
}

Status MakeThumbnail(const Picture& picture, uint32_t cx, Thumbnail* thumbnail) {
  uint32_t outWidth = 0;
  uint32_t outHeight = 0;
  if (picture.empty() || !ThumbnailSize(picture.width(), picture.height(), cx, &outWidth,
                                        &outHeight)) {
    return Status::kInvalidArgument;
  }
  const uint32_t width = picture.width();
  const uint32_t height = picture.height();
  // Per source column, the sums of blue, green and red over the rows of one
  // output row's box: at most 65535 rows x 255 fit 32 bits.
  Buffer columnSums;
  if (!columnSums.Resize(size_t{width} * 3 * sizeof(uint32_t)) ||
      !thumbnail->pixels.Resize(size_t{outWidth} * outHeight * 4)) {
    return Status::kNoMemory;
  }
  auto* sums = reinterpret_cast<uint32_t*>(columnSums.data());
  uint8_t* out = thumbnail->pixels.data();
  for (uint32_t ty = 0; ty < outHeight; ++ty) {
    // Boxes tile the picture: [ty * h / th, (ty + 1) * h / th), never empty
    // because a thumbnail is never larger than its picture.
    const uint32_t y0 = static_cast<uint32_t>(uint64_t{ty} * height / outHeight);
    const uint32_t y1 = static_cast<uint32_t>(uint64_t{ty + 1} * height / outHeight);
    memset(sums, 0, size_t{width} * 3 * sizeof(uint32_t));
    for (uint32_t y = y0; y < y1; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* bgr = picture.Bgr(x, y);
        sums[3 * x] += bgr[0];
        sums[3 * x + 1] += bgr[1];
        sums[3 * x + 2] += bgr[2];
      }
    }
    for (uint32_t tx = 0; tx < outWidth; ++tx) {
      const uint32_t x0 = static_cast<uint32_t>(uint64_t{tx} * width / outWidth);
      const uint32_t x1 = static_cast<uint32_t>(uint64_t{tx + 1} * width / outWidth);
      const uint64_t count = uint64_t{x1 - x0} * (y1 - y0);
      for (uint32_t c = 0; c < 3; ++c) {
        uint64_t total = 0;
        for (uint32_t x = x0; x < x1; ++x) total += sums[3 * x + c];
        *out++ = static_cast<uint8_t>((total + count / 2) / count);
      }
      *out++ = 0xff;
    }
  }
  thumbnail->width = outWidth;
  thumbnail->height = outHeight;
  return Status::kOk;
}

}  // namespace qrv::wic
