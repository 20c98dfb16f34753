// The Quorvanel CG file header: reading it from a stream and checking it. The
// one copy of the header rules, used by detection, information and decoding.
//
//   offset size field
//        0    4 stored size, little-endian   at most width x height x bytes/pixel
//        4    3 signature "QRV"
//        7    2 width, big-endian            not 0
//        9    2 height, big-endian           not 0
//       11    1 bits per pixel               8 or 24
//       12    - sample stream (bit_reader.h, channel.h)
#ifndef QRV_IMAGE_HEADER_H
#define QRV_IMAGE_HEADER_H

#include <stdint.h>

#include "plugin.h"

namespace qrv {

constexpr uint32_t kImageHeaderSize = 12;

struct ImageHeader {
  uint32_t storedSize;
  uint8_t signature[3];
  uint16_t width;
  uint16_t height;
  uint8_t bitsPerPixel;
};

// Reads the 12 header bytes field by field (RC_READ_ERROR on the first short
// read), then checks them in a fixed order (RC_UNKNOWN_FORMAT on the first rule
// broken). On RC_OK the stream stands on the first byte of the sample stream.
[[nodiscard]] int32_t ReadImageHeader(StreamHandle stream, ImageHeader* header);

}  // namespace qrv

#endif  // QRV_IMAGE_HEADER_H
