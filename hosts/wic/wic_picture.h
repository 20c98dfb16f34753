// What the Windows Imaging Component decoder and the Explorer thumbnail
// provider do apart from COM: read a source into memory (never more than the
// picture can use), check its header through the filter's GetPictureInfo and
// the pixel limit, decode it once through the filter's GetPicture, and hand out
// rectangles of it top-down, its colour table, and scaled thumbnails. Plain
// C++ without Windows headers, so that the native build tests and fuzzes the
// same code that Explorer runs on every downloaded file. Nothing here throws:
// a failed allocation is Status::kNoMemory.
#ifndef QRV_HOSTS_WIC_PICTURE_H
#define QRV_HOSTS_WIC_PICTURE_H

#include <stddef.h>
#include <stdint.h>

#include "default_pixel_limit.h"
#include "host_block.h"

namespace qrv::wic {

enum class Status {
  kOk,
  kBadHeader,        // not a picture's header (or fewer than its 12 bytes)
  kBadImage,         // the codes after the header are damaged
  kStreamRead,       // the source failed, or ended before the picture did
  kTooLarge,         // more pixels than the limit
  kNoMemory,
  kInvalidArgument,  // a rectangle outside the picture, a stride too short, no buffer
  kBufferTooSmall,
};

// The limit qrv applies by default.
constexpr uint64_t kMaxPixels = host::kDefaultMaxPixels;

// Where the bytes come from (an IStream in the DLL). Read gives up to `count`
// bytes and says how many in *got, 0 at the end; false when the source fails.
class ByteSource {
 public:
  virtual bool Read(uint8_t* into, uint32_t count, uint32_t* got) = 0;

 protected:
  ~ByteSource() = default;
};

// Bytes from malloc, freed on destruction.
class Buffer {
 public:
  Buffer() = default;
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  [[nodiscard]] bool Resize(size_t size);  // keeps what fits; false: out of memory
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

struct Header {
  uint32_t width;
  uint32_t height;
  uint32_t bitsPerPixel;  // 8 or 24
};

// The picture header in `head` (at least its 12 bytes) through GetPictureInfo,
// and width x height against `maxPixels` (0: no limit).
[[nodiscard]] Status CheckHeader(const uint8_t* head, size_t count, uint64_t maxPixels,
                                 Header* header);

// The whole picture from `source`: its header first (checked as CheckHeader
// does), then the rest until the source ends or the most bytes a picture of
// that size can use are in. The buffer grows as bytes arrive, so a header
// that claims a huge picture costs nothing until its codes come.
[[nodiscard]] Status ReadPicture(ByteSource& source, uint64_t maxPixels, Buffer* bytes,
                                 Header* header);

struct Rect {
  int32_t x, y, width, height;
};

// A decoded picture: the filter's own bitmap, kept as it was handed over.
class Picture {
 public:
  // GetPicture over the bytes; a picture already held is dropped first.
  [[nodiscard]] Status Decode(const uint8_t* data, size_t count);
  bool empty() const { return rows_ == nullptr; }
  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint32_t bitsPerPixel() const { return bytesPerPixel_ * 8; }
  // The colour table of an 8-bit picture as 0xAARRGGBB, alpha opaque.
  void Palette(uint32_t colours[256]) const;
  // Blue, green and red of the pixel at column x of row y from the top.
  const uint8_t* Bgr(uint32_t x, uint32_t y) const;
  // Rows of `rect` (null: the whole picture) top-down into `buffer`, `stride`
  // bytes apart, samples as stored (BGR or colour indices). Nothing is
  // written unless the whole rectangle fits.
  [[nodiscard]] Status CopyRect(const Rect* rect, uint32_t stride, uint32_t bufferSize,
                                uint8_t* buffer) const;

 private:
  host::HostBlock infoBlock_;
  host::HostBlock bitsBlock_;
  const uint8_t* table_ = nullptr;
  const uint8_t* rows_ = nullptr;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t bytesPerPixel_ = 0;
  uint32_t stride_ = 0;
};

// A thumbnail: height rows of width pixels, 4 bytes each (blue, green, red,
// 255), top-down and without padding.
struct Thumbnail {
  uint32_t width = 0;
  uint32_t height = 0;
  Buffer pixels;
};

// The thumbnail's size for a picture and a requested longest side `cx`: the
// longer side becomes cx, or stays the picture's own when that is smaller (a
// thumbnail is never enlarged); the shorter keeps the aspect ratio, rounded,
// at least 1. False for a cx of 0.
bool ThumbnailSize(uint32_t width, uint32_t height, uint32_t cx, uint32_t* outWidth,
                   uint32_t* outHeight);

// The picture scaled to ThumbnailSize, each pixel the rounded mean of the
// source pixels its box covers.
[[nodiscard]] Status MakeThumbnail(const Picture& picture, uint32_t cx, Thumbnail* thumbnail);

}  // namespace qrv::wic

#endif  // QRV_HOSTS_WIC_PICTURE_H
