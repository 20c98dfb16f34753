// What every desktop adapter needs from the image filter: a picture's size
// from its first bytes, and the whole picture as top-down RGB rows, both over
// bytes already in memory. Everything goes through the filter's own exports
// (GetPictureInfo, GetPicture with a memory source), linked in; the adapters
// never read the format themselves.
#ifndef QRV_HOSTS_MEMORY_PICTURE_H
#define QRV_HOSTS_MEMORY_PICTURE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "qrvnel.h"

namespace qrv::hosts {

// The bytes a picture's header takes; its size is known once they are in.
constexpr size_t kPictureHeaderBytes = 12;

struct PictureSize {
  int32_t width;
  int32_t height;
  int32_t bitsPerPixel;  // 8 or 24
};

// GetPictureInfo over the first kPictureHeaderBytes of `data`: RC_OK with *size
// filled, RC_READ_ERROR when fewer bytes are given, RC_UNKNOWN_FORMAT when they
// are not a Quorvanel CG header.
[[nodiscard]] int32_t ReadPictureSize(const uint8_t* data, size_t count, PictureSize* size);

// The most bytes a picture of this size can need, header included: its codes
// take at most 13 bits per sample (a one-code run of 8-bit codes). Whatever
// comes later is never read, so an adapter may stop collecting there.
size_t MostPictureBytes(const PictureSize& size);

// GetPicture over `data` (at most MostPictureBytes are looked at): the filter's
// own blocks, handed over to the caller, who frees them as qrvnel.h says. The
// header block holds the bitmap header (and an 8-bit picture's colour table),
// the pixel block the rows from the bottom up. RC_OK with both set, or the
// result code with nothing allocated.
[[nodiscard]] int32_t DecodeBitmapBlocks(const uint8_t* data, size_t count, QrvBlock* infoBlock,
                                         QrvBlock* bitsBlock);

// A decoded picture: height rows of width RGB triples from the top, `stride`
// bytes apart (a multiple of 4). `pixels` is malloc memory the caller owns and
// frees with free().
struct RgbPicture {
  uint8_t* pixels;
  int32_t width;
  int32_t height;
  uint32_t stride;
};

// GetPicture over `data` (at most MostPictureBytes are looked at), then the
// filter's bitmap turned into top-down RGB rows: 24-bit rows in place, 8-bit
// samples through the bitmap's colour table. RC_OK with *picture filled, or the
// result code with nothing left allocated.
[[nodiscard]] int32_t DecodeRgbPicture(const uint8_t* data, size_t count, RgbPicture* picture);

// Where in the work a result code came back, so that it reads right.
enum class Stage { kHeader, kPicture };

// The plain-language reason for `rc` (never RC_OK), worded as qrv words it.
std::string FailureMessage(int32_t rc, Stage stage);

}  // namespace qrv::hosts

#endif  // QRV_HOSTS_MEMORY_PICTURE_H
