// The row-channel decoder: one colour channel of one pixel row, coded as runs
// of small codes, each code (but the first) saying how the sample differs from
// the one before it.
//
// One run in the bit stream, most significant bit first:
//
//   www  0...01  vvv...v  codes
//   |    |       |        L codes of w + 1 bits each; none when w is 0 (a run
//   |    |       |        of L zero codes)
//   |    |       k bits: v; the run length is L = 2^k + v - 1
//   |    k bits: k - 1 zeros and a one (k is 1 to 16 here)
//   width field, 3 bits
//
// The runs of a row-channel add up to its sample count. Our choices where the
// format leaves them open: a run reaching past the row-channel's end, and a
// prefix longer than 16 bits (which can only start such a run), are
// RC_UNKNOWN_FORMAT; nothing is written outside the row-channel.
//
// Decoding writes straight into the caller's bytes and allocates nothing.
#ifndef QRV_IMAGE_CHANNEL_H
#define QRV_IMAGE_CHANNEL_H

#include <stdint.h>

#include "bit_reader.h"

namespace qrv {

// The sample that `code` stands for after the sample `previous`. Fold values
// of 128 and up onto 0..127 (v <-> 255 - v); codes up to 2q alternate above
// and below q (1 -> q + 1, 2 -> q - 1, 3 -> q + 2, ...); larger codes are their
// own value; unfold. One-to-one over the codes for every `previous`. Branch
// free: it sits on the serial path of every mapped row-channel.
constexpr uint8_t MapNeighbour(uint8_t previous, uint8_t code) {
  uint32_t mirror = (0u - (uint32_t{previous} >> 7)) & 0xffu;  // 0xff when previous >= 128
  uint32_t q = previous ^ mirror;
  uint32_t c = code;
  uint32_t half = (c + 1) >> 1;
  uint32_t odd = c & 1;
  // q + half for an odd code, q - half for an even one (half = c / 2 then).
  uint32_t near = odd != 0 ? q + half : q - half;
  uint32_t x = c <= 2 * q ? near : c;
  return static_cast<uint8_t>(x ^ mirror);
}

// Decodes one row-channel into `count` bytes (at least 1) at first, first +
// step, ...: the codes first, then the neighbour mapping in place. On failure
// the bytes hold codes, not samples.
[[nodiscard]] int32_t DecodeChannel(BitReader* reader, uint8_t* first, int32_t step,
                                    int32_t count);

// One pixel row of an 8-bit picture: `width` bytes at `row`.
[[nodiscard]] int32_t DecodeRow8(BitReader* reader, uint8_t* row, int32_t width);

// One pixel row of a 24-bit picture: channel c of the file into byte c of each
// of the `width` 3-byte pixels at `row`.
[[nodiscard]] int32_t DecodeRow24(BitReader* reader, uint8_t* row, int32_t width);

}  // namespace qrv

#endif  // QRV_IMAGE_CHANNEL_H
