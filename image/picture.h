// Whole pictures: the bitmap layout a header gives, the bitmap header block,
// and decoding every row into a bottom-up pixel block with progress. The
// blocks are the caller's; nothing here allocates or frees.
#ifndef QRV_IMAGE_PICTURE_H
#define QRV_IMAGE_PICTURE_H

#include <stdint.h>

#include "channel.h"
#include "header.h"
#include "plugin.h"

namespace qrv {

constexpr uint32_t kBitmapHeaderSize = 40;
constexpr uint32_t kColourTableSize = 256 * 4;

struct BitmapLayout {
  uint32_t bytesPerPixel;  // 1 or 3
  uint32_t stride;         // bytes per row, a multiple of 4
  uint32_t imageSize;      // height x stride
  uint32_t infoSize;       // the header block: 40 bytes, plus the colour table at 8 bits
};

// The layout of a checked header's bitmap. RC_NO_MEMORY (our choice of code)
// when the pixel block would need 2^32 bytes or more: only the widest and
// tallest 24-bit pictures.
[[nodiscard]] int32_t ComputeLayout(const ImageHeader& header, BitmapLayout* layout);

// Writes the bitmap header, and for an 8-bit picture the colour table (a grey
// ramp, our choice: the file carries no palette), into a zeroed block of
// layout.infoSize bytes.
void FillBitmapInfo(const ImageHeader& header, const BitmapLayout& layout, uint8_t* info);

// Decodes the sample stream at the stream's position into `pixels`
// (layout.imageSize bytes of any contents: each row, its padding included, is
// cleared just before the decoder first writes it): progress(r, height, user)
// before file row r, which lands in block row height - 1 - r, and
// progress(height, height, user) at the end. A nonzero answer gives
// RC_ABORTED. The rows are mapped with `kernel`, one that KernelRuns; every
// kernel gives the same pixels.
[[nodiscard]] int32_t DecodePicture(StreamHandle stream, const ImageHeader& header,
                                    const BitmapLayout& layout, uint8_t* pixels,
                                    ProgressCallback progress, QrvUser user, RowKernel kernel);

// The GetPicture export with the kernel given instead of chosen: the export
// passes ChooseKernel(), and the tests every kernel that runs.
[[nodiscard]] int32_t GetPictureWith(RowKernel kernel, char* src, int32_t len, uint32_t flag,
                                     QrvBlock* info_out, QrvBlock* bits_out,
                                     ProgressCallback progress, QrvUser user);

}  // namespace qrv

#endif  // QRV_IMAGE_PICTURE_H
