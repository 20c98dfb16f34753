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

// The forms the row decoding takes: the same results from code built for
// different processors. kVector reads 8-bit rows, and 24-bit rows with codes
// all along as planes, by bit position with SSE2, and maps 8-bit rows sixteen
// at a time in SSE2 lanes; it exists on x86 builds only. The 32-bit x86 plug-in is built for processors without SSE2, so there
// only kVector's own routines use SSE2, and they run when the processor has
// it.
enum class RowKernel : int32_t { kScalar, kVector };

// The fastest kernel of this build that this processor runs. Asked once per
// picture: the plug-in keeps no state between calls.
[[nodiscard]] RowKernel ChooseKernel();

// Whether this build holds `kernel` and this processor can run it.
[[nodiscard]] bool KernelRuns(RowKernel kernel);

// Pass 1 of a whole pixel row, the codes only, into a row of the pixel block
// that is zero and that nothing has written since. An 8-bit row is `width` bytes at
// `row`, zero runs mostly left to the zeros there. A 24-bit row puts channel c
// of the file into byte c of each of the `width` 3-byte pixels, mostly
// skipping zero runs, whose bytes already hold code 0, and adds the number of
// codes that came in zero runs to *zeroCodes. Nothing is written outside the
// row. The picture decoder maps the rows later (MapRows8, MapRows24); on
// failure the bytes hold codes. `kernel` is one that KernelRuns.
[[nodiscard]] int32_t ReadRowCodes8(RowKernel kernel, BitReader* reader, uint8_t* row,
                                    int32_t width);
[[nodiscard]] int32_t ReadRowCodes24(BitReader* reader, uint8_t* row, int32_t width,
                                     uint32_t* zeroCodes);

// Pass 1 of a 24-bit row laid out as planes: channel c of the file to the
// `width` bytes at planes + c * width, zero memory that nothing has written
// yet (the picture decoder uses rows of its block that it decodes later), read
// like 8-bit rows. Zero runs are mostly left to the zeros there; the number of
// codes that came in zero runs is added to *zeroCodes. Nothing is written
// outside the 3 * width bytes. MapRowsFromPlanes24 makes pixels of them.
[[nodiscard]] int32_t ReadRowPlanes24(RowKernel kernel, BitReader* reader, uint8_t* planes,
                                      int32_t width, uint32_t* zeroCodes);

// Rows mapped at once: the rows' chains run in lockstep, so that their
// latencies overlap. 8-bit rows go 16 to a group with the vector kernel, one
// row per lane, and 4 to a group with the scalar one.
constexpr int32_t kMaxMappedRows8 = 16;
[[nodiscard]] int32_t MappedRows8(RowKernel kernel);
constexpr int32_t kMappedRows24 = 2;
constexpr int32_t kMaxMappedRows =
    kMaxMappedRows8 > kMappedRows24 ? kMaxMappedRows8 : kMappedRows24;

// Pass 2 of `count` (1 to MappedRows8(kernel)) rows read by ReadRowCodes8, in
// place, with a kernel that KernelRuns.
void MapRows8(RowKernel kernel, uint8_t* const* rows, int32_t count, int32_t width);

// Pass 2 of `count` (1 to kMappedRows24) rows read by ReadRowCodes24, in
// place. `zeroCodes[i]` is what ReadRowCodes24 counted for rows[i]: rows made
// mostly of zero runs are mapped a group of pixels at a time where all their
// codes are zero.
void MapRows24(uint8_t* const* rows, const uint32_t* zeroCodes, int32_t count, int32_t width);

// Pass 2 of `count` (1 to kMappedRows24) rows read by ReadRowPlanes24: the
// codes at planes[i] become the pixels of rows[i], every one of its 3 * width
// bytes written.
void MapRowsFromPlanes24(const uint8_t* const* planes, uint8_t* const* rows, int32_t count,
                         int32_t width);

}  // namespace qrv

#endif  // QRV_IMAGE_CHANNEL_H
