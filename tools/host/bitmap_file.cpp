#include "bitmap_file.h"

#include <cstring>

namespace qrv::host {
namespace {

// BMP file header (14 bytes, little-endian):
//   0 "BM" | 2 file size u32 | 6 reserved 2 x u16 | 10 offset of the pixels u32
constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;
constexpr size_t kTableEntries = 256;

void PutLe16(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

void PutLe32(uint8_t* out, uint32_t value) {
  PutLe16(out, value);
  PutLe16(out + 2, value >> 16);
}

uint32_t ReadLe16(const uint8_t* in) { return in[0] | (in[1] << 8); }

uint32_t ReadLe32(const uint8_t* in) {
  return ReadLe16(in) | (static_cast<uint32_t>(ReadLe16(in + 2)) << 16);
}

}  // namespace

bool IsGreyRamp(const std::vector<uint8_t>& colourTable) {
  if (colourTable.size() < kTableEntries * 4) return false;
  for (size_t i = 0; i < kTableEntries; ++i) {
    const uint8_t* entry = &colourTable[i * 4];
    if (entry[0] != i || entry[1] != i || entry[2] != i) return false;
  }
  return true;
}

Image PictureToImage(const Picture& picture) {
  Image image;
  image.width = static_cast<uint32_t>(picture.width);
  image.height = static_cast<uint32_t>(picture.height);
  image.channels = picture.bitsPerPixel / 8;
  const size_t rowBytes = static_cast<size_t>(image.width) * static_cast<size_t>(image.channels);
  image.samples.resize(rowBytes * image.height);
  for (uint32_t y = 0; y < image.height; ++y) {
    // Bitmap rows run bottom-up: the top row is the last one.
    const uint8_t* row = picture.pixels.data() +
                         static_cast<size_t>(image.height - 1 - y) * picture.stride;
    std::memcpy(image.samples.data() + y * rowBytes, row, rowBytes);
  }
  if (image.channels == 1) {
    image.colourTable.assign(picture.header.begin() + kInfoHeaderSize,
                             picture.header.begin() + kInfoHeaderSize + kTableEntries * 4);
    if (IsGreyRamp(image.colourTable)) image.colourTable.clear();
  }
  return image;
}

std::vector<uint8_t> BuildBmp(const Picture& picture) {
  const size_t pixelOffset = kFileHeaderSize + picture.header.size();
  std::vector<uint8_t> file(pixelOffset + picture.pixels.size());
  file[0] = 'B';
  file[1] = 'M';
  PutLe32(&file[2], static_cast<uint32_t>(file.size()));
  PutLe32(&file[10], static_cast<uint32_t>(pixelOffset));
  std::memcpy(&file[kFileHeaderSize], picture.header.data(), picture.header.size());
  std::memcpy(&file[pixelOffset], picture.pixels.data(), picture.pixels.size());
  return file;
}

bool ParseBmp(const std::vector<uint8_t>& bytes, Image* image, std::string* error) {
  if (bytes.size() < kFileHeaderSize + kInfoHeaderSize || bytes[0] != 'B' || bytes[1] != 'M') {
    *error = "not a BMP file";
    return false;
  }
  const uint8_t* info = &bytes[kFileHeaderSize];
  const uint32_t infoSize = ReadLe32(info);
  const int32_t width = static_cast<int32_t>(ReadLe32(info + 4));
  const int32_t rawHeight = static_cast<int32_t>(ReadLe32(info + 8));
  const uint32_t bitCount = ReadLe16(info + 14);
  const uint32_t compression = ReadLe32(info + 16);
  uint32_t coloursUsed = ReadLe32(info + 32);
  const uint32_t pixelOffset = ReadLe32(&bytes[10]);
  if (infoSize < kInfoHeaderSize || infoSize > bytes.size() - kFileHeaderSize) {
    *error = "unsupported BMP header (only the 40-byte header and its later versions)";
    return false;
  }
  if (compression != 0 && !(compression == 3 && bitCount == 32)) {
    *error = "compressed BMP files are not supported";
    return false;
  }
  if (bitCount != 8 && bitCount != 24 && bitCount != 32) {
    *error = "unsupported BMP depth of " + std::to_string(bitCount) +
             " bits (8, 24 and 32 are supported)";
    return false;
  }
  if (width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN || width > 65535 ||
      (rawHeight > 0 ? rawHeight : -rawHeight) > 65535) {
    *error = "BMP dimensions out of range (1 to 65535 pixels each way)";
    return false;
  }
  const bool bottomUp = rawHeight > 0;
  const uint32_t height = static_cast<uint32_t>(bottomUp ? rawHeight : -rawHeight);
  const uint32_t bytesPerPixel = bitCount / 8;
  const uint64_t stride = (static_cast<uint64_t>(width) * bytesPerPixel + 3) & ~uint64_t{3};
  if (pixelOffset > bytes.size() || stride * height > bytes.size() - pixelOffset) {
    *error = "BMP file ends early";
    return false;
  }
  image->width = static_cast<uint32_t>(width);
  image->height = height;
  image->channels = bitCount == 8 ? 1 : 3;
  image->colourTable.clear();
  if (bitCount == 8) {
    if (coloursUsed == 0 || coloursUsed > kTableEntries) coloursUsed = kTableEntries;
    const size_t tableOffset = kFileHeaderSize + infoSize;
    if (tableOffset + coloursUsed * 4 > pixelOffset) {
      *error = "BMP colour table overlaps the pixels";
      return false;
    }
    image->colourTable.assign(kTableEntries * 4, 0);
    std::memcpy(image->colourTable.data(), &bytes[tableOffset], coloursUsed * 4);
  }
  const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(image->channels);
  image->samples.assign(rowBytes * height, 0);
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t fileRow = bottomUp ? height - 1 - y : y;
    const uint8_t* row = &bytes[pixelOffset + fileRow * stride];
    uint8_t* out = &image->samples[y * rowBytes];
    if (bitCount == 32) {
      // Blue, green, red and a fourth byte that this host drops.
      for (int32_t x = 0; x < width; ++x) std::memcpy(out + x * 3, row + x * 4, 3);
    } else {
      std::memcpy(out, row, rowBytes);
    }
  }
  return true;
}

}  // namespace qrv::host
