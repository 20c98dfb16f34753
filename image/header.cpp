// Reads and checks the 12-byte picture header. No allocation; the stream is
// borrowed.
#include "header.h"

namespace qrv {
namespace {

uint32_t ReadLe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

uint16_t ReadBe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

// The rules, in the order a failure is looked for. The size limit is taken in
// 64 bits: in 32 bits it wraps for the largest 24-bit pictures (34179 x 41887
// gives 23), which would refuse valid headers and accept nonsense.
int32_t CheckImageHeader(const ImageHeader& header) {
  if (header.signature[0] != 'Q' || header.signature[1] != 'R' || header.signature[2] != 'V') {
    return RC_UNKNOWN_FORMAT;
  }
  if (header.bitsPerPixel != 8 && header.bitsPerPixel != 24) return RC_UNKNOWN_FORMAT;
  if (header.width == 0) return RC_UNKNOWN_FORMAT;
  if (header.height == 0) return RC_UNKNOWN_FORMAT;
  uint64_t limit = uint64_t{header.width} * header.height * (header.bitsPerPixel / 8u);
  if (header.storedSize > limit) return RC_UNKNOWN_FORMAT;
  return RC_OK;
}

}  // namespace

int32_t ReadImageHeader(StreamHandle stream, ImageHeader* header) {
  // One read per field, in file order, as the format's readers always did.
  uint8_t size[4];
  uint8_t width[2];
  uint8_t height[2];
  int32_t rc = ReadExact(stream, size, sizeof size);
  if (rc == RC_OK) rc = ReadExact(stream, header->signature, sizeof header->signature);
  if (rc == RC_OK) rc = ReadExact(stream, width, sizeof width);
  if (rc == RC_OK) rc = ReadExact(stream, height, sizeof height);
  if (rc == RC_OK) rc = ReadExact(stream, &header->bitsPerPixel, 1);
  if (rc != RC_OK) return rc;
  header->storedSize = ReadLe32(size);
  header->width = ReadBe16(width);
  header->height = ReadBe16(height);
  return CheckImageHeader(*header);
}

}  // namespace qrv
