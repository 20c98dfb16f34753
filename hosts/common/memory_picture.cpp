// The image filter's exports over a memory source, and its bottom-up bitmap
// turned into the top-down RGB rows that desktop toolkits take.
#include "memory_picture.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>

#include "messages.h"
#include "qrvnel.h"

// The filter's exports, linked in from its object library.
extern "C" {
int32_t QRV_CALL GetPictureInfo(char* src, int32_t len, uint32_t flag, PictureInfo* info);
int32_t QRV_CALL GetPicture(char* src, int32_t len, uint32_t flag, QrvBlock* info_out,
                            QrvBlock* bits_out, ProgressCallback progress, QrvUser user);
}

namespace qrv::hosts {
namespace {

constexpr uint32_t kBitmapHeaderBytes = 40;

// A memory source is read-only; the exports only take a non-const address.
char* AsSource(const uint8_t* data) { return const_cast<char*>(reinterpret_cast<const char*>(data)); }

uint32_t Stride(int32_t width, uint32_t bytesPerPixel) {
  return (static_cast<uint32_t>(width) * bytesPerPixel + 3u) & ~3u;
}

// 24-bit rows become RGB where they stand: the rows swap ends and each pixel's
// blue and red swap places.
void TurnBgrRowsInPlace(uint8_t* pixels, int32_t width, int32_t height, uint32_t stride) {
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  for (int32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
    uint8_t* a = pixels + static_cast<size_t>(top) * stride;
    std::swap_ranges(a, a + rowBytes, pixels + static_cast<size_t>(bottom) * stride);
  }
  for (int32_t r = 0; r < height; ++r) {
    uint8_t* row = pixels + static_cast<size_t>(r) * stride;
    for (size_t i = 0; i < rowBytes; i += 3) std::swap(row[i], row[i + 2]);
  }
}

// 8-bit rows through the colour table (blue, green, red, reserved per entry)
// into a new block of RGB rows; null when it cannot be had.
uint8_t* ExpandIndexedRows(const uint8_t* pixels, const uint8_t* table, int32_t width,
                           int32_t height, uint32_t rgbStride) {
  const uint32_t indexStride = Stride(width, 1);
  const uint64_t total = uint64_t{rgbStride} * static_cast<uint32_t>(height);
  if (total > SIZE_MAX) return nullptr;
  auto* rgb = static_cast<uint8_t*>(calloc(static_cast<size_t>(total), 1));
  if (rgb == nullptr) return nullptr;
  for (int32_t r = 0; r < height; ++r) {
    const uint8_t* in = pixels + static_cast<size_t>(height - 1 - r) * indexStride;
    uint8_t* out = rgb + static_cast<size_t>(r) * rgbStride;
    for (int32_t x = 0; x < width; ++x, out += 3) {
      const uint8_t* entry = table + 4u * in[x];
      out[0] = entry[2];
      out[1] = entry[1];
      out[2] = entry[0];
    }
  }
  return rgb;
}

}  // namespace

int32_t ReadPictureSize(const uint8_t* data, size_t count, PictureSize* size) {
  if (count < kPictureHeaderBytes) return RC_READ_ERROR;
  PictureInfo info = {};
  int32_t rc = GetPictureInfo(AsSource(data), static_cast<int32_t>(kPictureHeaderBytes),
                              QRV_INPUT_MEMORY, &info);
  if (rc == RC_OK) {
    size->width = info.width;
    size->height = info.height;
    size->bitsPerPixel = info.colour_depth;
  }
  return rc;
}

size_t MostPictureBytes(const PictureSize& size) {
  const uint64_t samples = uint64_t{static_cast<uint32_t>(size.width)} *
                           static_cast<uint32_t>(size.height) *
                           (static_cast<uint32_t>(size.bitsPerPixel) / 8u);
  // A few bytes to spare beyond the last code cost nothing.
  const uint64_t most = kPictureHeaderBytes + (samples * 13 + 7) / 8 + 8;
  return most > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(most);
}

int32_t DecodeBitmapBlocks(const uint8_t* data, size_t count, QrvBlock* infoBlock,
                           QrvBlock* bitsBlock) {
  PictureSize size = {};
  int32_t rc = ReadPictureSize(data, count, &size);
  if (rc != RC_OK) return rc;
  size_t usable = count < MostPictureBytes(size) ? count : MostPictureBytes(size);
  // A memory source's length is 32-bit: only a picture with more than 2 GiB of
  // codes would need more, and it then ends early.
  if (usable > INT32_MAX) usable = INT32_MAX;
  return GetPicture(AsSource(data), static_cast<int32_t>(usable), QRV_INPUT_MEMORY, infoBlock,
                    bitsBlock, nullptr, 0);
}

int32_t DecodeRgbPicture(const uint8_t* data, size_t count, RgbPicture* picture) {
  PictureSize size = {};
  int32_t rc = ReadPictureSize(data, count, &size);
  if (rc != RC_OK) return rc;
  QrvBlock infoBlock = nullptr;
  QrvBlock bitsBlock = nullptr;
  rc = DecodeBitmapBlocks(data, count, &infoBlock, &bitsBlock);
  if (rc != RC_OK) return rc;

  // The blocks are ours now (heap memory on this build). The header is read
  // with memcpy: the block's record is packed.
  QrvBitmapHeader header;
  memcpy(&header, infoBlock, sizeof header);
  const bool indexed = header.bit_count == 8;
  if (header.width != size.width || header.height != size.height ||
      header.bit_count != size.bitsPerPixel) {
    rc = RC_INTERNAL_ERROR;  // the bitmap disagrees with the header it came from
  }
  uint8_t* rgb = nullptr;
  const uint32_t rgbStride = Stride(size.width, 3);
  if (rc == RC_OK && indexed) {
    rgb = ExpandIndexedRows(static_cast<const uint8_t*>(bitsBlock),
                            static_cast<const uint8_t*>(infoBlock) + kBitmapHeaderBytes,
                            size.width, size.height, rgbStride);
    if (rgb == nullptr) rc = RC_NO_MEMORY;
    free(bitsBlock);
  } else if (rc == RC_OK) {
    rgb = static_cast<uint8_t*>(bitsBlock);
    TurnBgrRowsInPlace(rgb, size.width, size.height, rgbStride);
  } else {
    free(bitsBlock);
  }
  free(infoBlock);
  if (rc == RC_OK) {
    picture->pixels = rgb;
    picture->width = size.width;
    picture->height = size.height;
    picture->stride = rgbStride;
  }
  return rc;
}

std::string FailureMessage(int32_t rc, Stage stage) {
  return host::ResultMessage(rc, stage == Stage::kHeader ? host::Doing::kPictureInfo
                                                         : host::Doing::kPicture);
}

}  // namespace qrv::hosts
