// Row-channel decoding. The run header and the codes are read with the bit
// reader's fast paths when enough bits are held and bit by bit near the end of
// the stream, so that a stream cut anywhere fails exactly where word-by-word
// reading would. Zero runs are filled without reading codes.
#include "channel.h"

#include <string.h>

namespace qrv {
namespace {

constexpr int32_t kMaxPrefixBits = 16;

// MapNeighbour for every (previous, code), indexed previous * 256 + code. The
// row decoders map through it: one load is a shorter step on each row-channel's
// serial chain than the formula's dozen operations.
struct NeighbourTable {
  uint8_t value[65536];
};

constexpr NeighbourTable MakeNeighbourTable() {
  NeighbourTable table = {};
  for (int32_t i = 0; i < 65536; ++i) {
    table.value[i] = MapNeighbour(static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i));
  }
  return table;
}

constexpr NeighbourTable kNeighbour = MakeNeighbourTable();

QRV_ALWAYS_INLINE uint8_t MapByTable(uint8_t previous, uint8_t code) {
  return kNeighbour.value[uint32_t{previous} << 8 | code];
}

// A run's header: the code width (0 for a zero run) and the run length.
struct Run {
  int32_t codeBits;  // w + 1, or 0 for a zero run
  uint32_t length;
};

// The header bit by bit, through GetBits: the exact order in which a short
// stream or a bad prefix is found.
int32_t ReadRunSlow(BitReader* reader, uint32_t remaining, Run* run) {
  uint32_t w = 0;
  int32_t rc = GetBits(reader, 3, &w);
  int32_t k = 0;
  uint32_t bit = 0;
  while (rc == RC_OK && bit == 0) {
    if (k == kMaxPrefixBits) return RC_UNKNOWN_FORMAT;
    ++k;
    rc = GetBits(reader, 1, &bit);
  }
  uint32_t v = 0;
  if (rc == RC_OK) rc = GetBits(reader, k, &v);
  if (rc != RC_OK) return rc;
  uint32_t length = (uint32_t{1} << k) + v - 1;
  if (length > remaining) return RC_UNKNOWN_FORMAT;
  run->codeBits = w == 0 ? 0 : static_cast<int32_t>(w) + 1;
  run->length = length;
  return RC_OK;
}

QRV_ALWAYS_INLINE int32_t ReadRun(BitReader* reader, uint32_t remaining, Run* run) {
  if (reader->held < kMaxRunHeaderBits) {
    FillBits(reader);
    if (reader->held < kMaxRunHeaderBits) return ReadRunSlow(reader, remaining, run);
  }
  uint64_t bits = reader->bits;
  uint32_t w = static_cast<uint32_t>(bits >> 61);
  bits <<= 3;
  // A prefix of more than 16 bits starts with 16 zeros.
  if ((bits >> 48) == 0) return RC_UNKNOWN_FORMAT;
  int32_t k = __builtin_clzll(bits) + 1;
  bits <<= k;
  uint32_t v = static_cast<uint32_t>(bits >> (64 - k));
  reader->bits = bits << k;
  reader->held -= 3 + 2 * k;
  uint32_t length = (uint32_t{1} << k) + v - 1;
  if (length > remaining) return RC_UNKNOWN_FORMAT;
  run->codeBits = w == 0 ? 0 : static_cast<int32_t>(w) + 1;
  run->length = length;
  return RC_OK;
}

// Reads `count` codes of kBits bits to out, out + step, ...; with kMapped each
// code is replaced at once by its sample after *previous. The inner loop takes
// as many codes as the held bits allow without a check.
template <int32_t kBits, int32_t kStep, bool kMapped>
QRV_ALWAYS_INLINE int32_t ReadCodesOf(BitReader* reader, uint8_t* out, int32_t step,
                                      uint32_t count, uint8_t* previous) {
  const int32_t stride = kStep != 0 ? kStep : step;
  uint8_t p = kMapped ? *previous : 0;
  while (count > 0) {
    if (reader->held < 57) FillBits(reader);
    uint32_t batch = static_cast<uint32_t>(reader->held) / kBits;
    if (batch == 0) return reader->failure != RC_OK ? reader->failure : RC_READ_ERROR;
    if (batch > count) batch = count;
    uint64_t bits = reader->bits;
    for (uint32_t i = 0; i < batch; ++i) {
      uint8_t code = static_cast<uint8_t>(bits >> (64 - kBits));
      bits <<= kBits;
      if (kMapped) {
        p = MapByTable(p, code);
        *out = p;
      } else {
        *out = code;
      }
      out += stride;
    }
    reader->bits = bits;
    reader->held -= static_cast<int32_t>(batch) * kBits;
    count -= batch;
  }
  if (kMapped) *previous = p;
  return RC_OK;
}

// One copy of the code loop per code width, so that its shifts are constants.
template <int32_t kStep, bool kMapped>
int32_t ReadCodes(BitReader* reader, uint8_t* out, int32_t step, uint32_t count,
                  int32_t codeBits, uint8_t* previous) {
  switch (codeBits) {
    case 2: return ReadCodesOf<2, kStep, kMapped>(reader, out, step, count, previous);
    case 3: return ReadCodesOf<3, kStep, kMapped>(reader, out, step, count, previous);
    case 4: return ReadCodesOf<4, kStep, kMapped>(reader, out, step, count, previous);
    case 5: return ReadCodesOf<5, kStep, kMapped>(reader, out, step, count, previous);
    case 6: return ReadCodesOf<6, kStep, kMapped>(reader, out, step, count, previous);
    case 7: return ReadCodesOf<7, kStep, kMapped>(reader, out, step, count, previous);
    default: return ReadCodesOf<8, kStep, kMapped>(reader, out, step, count, previous);
  }
}

// Pass 1 of a row-channel: its codes, zero runs written as zeros.
template <int32_t kStep>
QRV_ALWAYS_INLINE int32_t ReadChannelCodes(BitReader* reader, uint8_t* first, int32_t step,
                                           int32_t count) {
  const int32_t stride = kStep != 0 ? kStep : step;
  uint32_t remaining = static_cast<uint32_t>(count);
  uint8_t* out = first;
  int32_t rc = RC_OK;
  while (rc == RC_OK && remaining > 0) {
    Run run;
    rc = ReadRun(reader, remaining, &run);
    if (rc != RC_OK) break;
    if (run.codeBits == 0) {
      if (stride == 1) {
        memset(out, 0, run.length);
      } else {
        for (uint32_t i = 0; i < run.length; ++i) out[i * stride] = 0;
      }
    } else {
      rc = ReadCodes<kStep, false>(reader, out, step, run.length, run.codeBits, nullptr);
    }
    out += static_cast<size_t>(run.length) * stride;
    remaining -= run.length;
  }
  return rc;
}

}  // namespace

int32_t DecodeChannel(BitReader* reader, uint8_t* first, int32_t step, int32_t count) {
  int32_t rc = ReadChannelCodes<0>(reader, first, step, count);
  if (rc != RC_OK) return rc;
  // Pass 2: the first code is the sample itself.
  uint8_t* at = first;
  for (int32_t i = 1; i < count; ++i) {
    at[step] = MapNeighbour(at[0], at[step]);
    at += step;
  }
  return RC_OK;
}

// The two passes fused: each code is mapped as soon as it is read, and a zero
// run is a fill with the sample before it. Only the pixels of a successful
// decode are ever seen, so this cannot be told from mapping afterwards.
int32_t DecodeRow8(BitReader* reader, uint8_t* row, int32_t width) {
  uint32_t remaining = static_cast<uint32_t>(width);
  uint8_t* out = row;
  uint8_t previous = 0;
  bool first = true;
  int32_t rc = RC_OK;
  while (rc == RC_OK && remaining > 0) {
    Run run;
    rc = ReadRun(reader, remaining, &run);
    if (rc != RC_OK) break;
    uint32_t length = run.length;
    uint8_t* runStart = out;
    if (run.codeBits == 0) {
      // The first sample of a row-channel is its own code, here 0.
      if (first) previous = 0;
      memset(out, previous, length);
    } else {
      if (first) {
        // The first code is the sample; the rest of its run maps from it.
        uint32_t sample = 0;
        rc = GetBits(reader, run.codeBits, &sample);
        if (rc != RC_OK) break;
        previous = static_cast<uint8_t>(sample);
        *out++ = previous;
        --length;
      }
      rc = ReadCodes<1, true>(reader, out, 1, length, run.codeBits, &previous);
    }
    first = false;
    out = runStart + run.length;
    remaining -= run.length;
  }
  return rc;
}

// The three channels' codes first, then their mapping as three independent
// chains in lockstep, so that their latencies overlap.
int32_t DecodeRow24(BitReader* reader, uint8_t* row, int32_t width) {
  int32_t rc = RC_OK;
  for (int32_t c = 0; rc == RC_OK && c < 3; ++c) rc = ReadChannelCodes<3>(reader, row + c, 3, width);
  if (rc != RC_OK) return rc;
  uint8_t p0 = row[0];
  uint8_t p1 = row[1];
  uint8_t p2 = row[2];
  uint8_t* at = row + 3;
  for (int32_t x = 1; x < width; ++x, at += 3) {
    p0 = MapByTable(p0, at[0]);
    p1 = MapByTable(p1, at[1]);
    p2 = MapByTable(p2, at[2]);
    at[0] = p0;
    at[1] = p1;
    at[2] = p2;
  }
  return RC_OK;
}

}  // namespace qrv
