// Picture layout, the bitmap header block and the row loop.
#include "picture.h"

#include <string.h>

#include "bit_reader.h"
#include "channel.h"

namespace qrv {
namespace {

void WriteLe32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

void WriteLe16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

int32_t ComputeLayout(const ImageHeader& header, BitmapLayout* layout) {
  uint32_t bytesPerPixel = header.bitsPerPixel / 8u;
  // At most 65535 x 3 bytes: no overflow in 32 bits.
  uint32_t stride = (header.width * bytesPerPixel + 3u) & ~3u;
  uint64_t imageSize = uint64_t{header.height} * stride;
  if (imageSize > UINT32_MAX) return RC_NO_MEMORY;
  layout->bytesPerPixel = bytesPerPixel;
  layout->stride = stride;
  layout->imageSize = static_cast<uint32_t>(imageSize);
  layout->infoSize = kBitmapHeaderSize + (bytesPerPixel == 1 ? kColourTableSize : 0);
  return RC_OK;
}

void FillBitmapInfo(const ImageHeader& header, const BitmapLayout& layout, uint8_t* info) {
  // Fields not written stay zero: compression, resolutions, colours used and
  // important.
  WriteLe32(info + 0, kBitmapHeaderSize);
  WriteLe32(info + 4, header.width);
  WriteLe32(info + 8, header.height);  // positive: bottom-up rows
  WriteLe16(info + 12, 1);
  WriteLe16(info + 14, header.bitsPerPixel);
  WriteLe32(info + 20, layout.imageSize);
  if (layout.bytesPerPixel == 1) {
    uint8_t* entry = info + kBitmapHeaderSize;
    for (uint32_t i = 0; i < 256; ++i, entry += 4) {
      entry[0] = entry[1] = entry[2] = static_cast<uint8_t>(i);
    }
  }
}

// The pixel block comes uncleared. The readers leave zero runs to zeros already
// there, so each row is cleared just before its first use, while it is about
// to be written anyway: clearing the whole block first would be one more pass
// over memory that the decode then reads back. On failure the block is
// discarded whatever it holds.
//
// Rows are mapped in groups, a group once the codes of all its rows are read:
// the codes wait in the pixel block, where nothing else looks at them, and a
// failure or an abort discards the block, so the host sees the same pixels,
// progress calls and result as with each row mapped at once.
//
// 24-bit rows go in pairs. With the vector kernel a pair whose rows are likely
// to have codes all along (the pair before it had) is read as planes, one
// channel after the other like 8-bit rows, into the two rows below it in the
// block: the next pair's rows, still untouched. Mapping then writes every byte
// of the pair's rows, and the next pair, if read in place, first clears its
// rows again. Rows mostly of zero runs are read in place, where zero runs need
// no stores, and so are the last rows, which have no rows below them.

int32_t DecodePicture(StreamHandle stream, const ImageHeader& header, const BitmapLayout& layout,
                      uint8_t* pixels, ProgressCallback progress, QrvUser user,
                      RowKernel kernel) {
  BitReader reader;
  int32_t rc = BeginBits(&reader, stream);
  if (rc != RC_OK) return rc;
  const int32_t height = header.height;
  const int32_t width = header.width;
  const bool grey = layout.bytesPerPixel == 1;
  const int32_t groupRows = grey ? MappedRows8(kernel) : kMappedRows24;
  auto rowAt = [&](int32_t r) {
    return pixels + static_cast<size_t>(height - 1 - r) * layout.stride;
  };
  uint8_t* pending[kMaxMappedRows];
  const uint8_t* planes[kMappedRows24];
  uint32_t zeroCodes[kMaxMappedRows];
  int32_t pendingCount = 0;
  int32_t cleared = 0;  // file rows 0 .. cleared - 1 have been cleared
  auto clearThrough = [&](int32_t last) {
    for (; cleared <= last; ++cleared) memset(rowAt(cleared), 0, layout.stride);
  };
  bool planar = false;         // the pair being read is read as planes
  bool lastPlanar = false;     // the pair before it was: its rows hold codes
  bool lastMostlyZero = false; // the pair before it had at least half its codes in zero runs
  for (int32_t r = 0; rc == RC_OK && r < height; ++r) {
    if (progress(r, height, user) != 0) {
      rc = RC_ABORTED;
      break;
    }
    uint8_t* row = rowAt(r);
    if (!grey && pendingCount == 0) {
      planar = kernel == RowKernel::kVector && r + 3 < height && !lastMostlyZero;
    }
    zeroCodes[pendingCount] = 0;
    // Planes go to row r + 2, and row r gets only its pixels from them: both
    // are cleared first.
    clearThrough(planar ? r + 2 : r);
    if (grey) {
      rc = ReadRowCodes8(kernel, &reader, row, width);
    } else if (planar) {
      planes[pendingCount] = rowAt(r + 2);
      rc = ReadRowPlanes24(kernel, &reader, rowAt(r + 2), width, &zeroCodes[pendingCount]);
    } else {
      if (lastPlanar) memset(row, 0, static_cast<size_t>(width) * 3);
      rc = ReadRowCodes24(&reader, row, width, &zeroCodes[pendingCount]);
    }
    pending[pendingCount++] = row;
    if (rc == RC_OK && (pendingCount == groupRows || r + 1 == height)) {
      if (grey) {
        MapRows8(kernel, pending, pendingCount, width);
      } else {
        if (planar) {
          MapRowsFromPlanes24(planes, pending, pendingCount, width);
        } else {
          MapRows24(pending, zeroCodes, pendingCount, width);
        }
        uint64_t zeros = 0;
        for (int32_t n = 0; n < pendingCount; ++n) zeros += zeroCodes[n];
        lastMostlyZero = zeros * 2 >= uint64_t{3} * static_cast<uint32_t>(width) * pendingCount;
        lastPlanar = planar;
      }
      pendingCount = 0;
    }
  }
  if (rc == RC_OK && progress(height, height, user) != 0) rc = RC_ABORTED;
  EndBits(&reader, &rc);
  return rc;
}

}  // namespace qrv
