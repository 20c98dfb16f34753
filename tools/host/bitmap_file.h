// Pictures outside the plug-ins: a plain top-down image, BMP files written from
// a plug-in's blocks, and BMP files read for encoding.
#ifndef QRV_HOST_BITMAP_FILE_H
#define QRV_HOST_BITMAP_FILE_H

#include <cstdint>
#include <string>
#include <vector>

#include "plugins.h"

namespace qrv::host {

// Rows from the top, width x channels bytes each with no padding. Three
// channels are blue, green, red (the picture file's channels 0, 1, 2); one
// channel is a colour-table index, or a grey level when the table is empty.
struct Image {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 0;
  std::vector<uint8_t> samples;
  std::vector<uint8_t> colourTable;  // 256 entries of blue, green, red, 0
};

// True when the 256-entry table maps every index to the grey of that level.
bool IsGreyRamp(const std::vector<uint8_t>& colourTable);

// The picture as a plain image; an 8-bit picture keeps its colour table unless
// it is the grey ramp.
Image PictureToImage(const Picture& picture);

// A BMP file: the 14-byte file header, then the plug-in's header block (with
// its colour table) and its pixel rows as they came.
std::vector<uint8_t> BuildBmp(const Picture& picture);

// An uncompressed 8-, 24- or 32-bit BMP, bottom-up or top-down. False with
// `error` saying what is not supported.
bool ParseBmp(const std::vector<uint8_t>& bytes, Image* image, std::string* error);

}  // namespace qrv::host

#endif  // QRV_HOST_BITMAP_FILE_H
