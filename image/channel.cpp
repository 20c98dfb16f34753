// Row-channel decoding. The run header and the codes are read with the bit
// reader's fast paths when enough bits are held and bit by bit near the end of
// the stream, so that a stream cut anywhere fails exactly where word-by-word
// reading would. Zero runs are filled without reading codes, or not at all
// where the bytes are known to be zero already.
#include "channel.h"

#include <stddef.h>
#include <string.h>

#include <type_traits>
#include <utility>

// The vector kernel: SSE2, which every x86-64 processor has. The 32-bit x86
// build targets processors without it, so there the kernel's routines alone
// are built for SSE2 (QRV_SSE2) and run only where cpuid reports it.
#if defined(__x86_64__) || defined(__i386__)
#define QRV_VECTOR_KERNEL 1
#include <cpuid.h>
#include <emmintrin.h>
#if defined(__SSE2__)
#define QRV_SSE2
#else
#define QRV_SSE2 __attribute__((target("sse2")))
#endif
#else
#define QRV_VECTOR_KERNEL 0
#endif

namespace qrv {
namespace {

constexpr int32_t kMaxPrefixBits = 16;

// Where words are 64 bits wide, flat 24-bit rows are mapped in pairs and fills
// are stored as 64-bit words. 32-bit x86 has too few registers for that:
// there flat rows are mapped one at a time, and fills are built and stored in
// 32-bit words, without 64-bit multiplications. Both read flat rows from
// 64-bit window words (ReadFlatChannel24): on i686 that took 8% fewer
// instructions for a flat picture than reading them word by word.
constexpr bool kWideWords = sizeof(void*) == 8;

// MapNeighbour for every (previous, code), indexed code * 256 + previous. The
// row decoders map through it: one load is a shorter step on each row-channel's
// serial chain than the formula's dozen operations. The code picks the 256-byte
// row off the chain, so the step on it is one indexed load.
struct NeighbourTable {
  uint8_t value[65536];
};

constexpr NeighbourTable MakeNeighbourTable() {
  NeighbourTable table = {};
  for (int32_t i = 0; i < 65536; ++i) {
    table.value[i] = MapNeighbour(static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8));
  }
  return table;
}

constexpr NeighbourTable kNeighbour = MakeNeighbourTable();

QRV_ALWAYS_INLINE uint8_t MapByTable(uint8_t previous, uint8_t code) {
  const uint8_t* byCode = kNeighbour.value + (uint32_t{code} << 8);
  return byCode[previous];
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

// Short run headers by table: the next kPeekBits bits give the width field,
// the length and the header's size when its prefix is at most 4 bits long (a
// run of at most 30 codes: most runs of every kind of picture). An entry is
// length << 9 | code bits << 5 | header bits (code bits: w + 1, or 0 for a
// zero run), or 0 for a longer header.
constexpr int32_t kPeekBits = 11;

struct RunHeaderTable {
  uint16_t entry[1 << kPeekBits];
};

constexpr RunHeaderTable MakeRunHeaderTable() {
  RunHeaderTable table = {};
  for (uint32_t peek = 0; peek < (1u << kPeekBits); ++peek) {
    const uint32_t w = peek >> (kPeekBits - 3);
    const uint32_t rest = peek & ((1u << (kPeekBits - 3)) - 1);  // 8 bits after w
    for (uint32_t k = 1; 2 * k <= kPeekBits - 3; ++k) {
      // k - 1 zeros and a one, then k bits of v.
      const uint32_t prefix = rest >> (kPeekBits - 3 - k);
      if (prefix == 0) continue;
      if (prefix == 1) {
        const uint32_t v = (rest >> (kPeekBits - 3 - 2 * k)) & ((1u << k) - 1);
        const uint32_t length = (1u << k) + v - 1;
        const uint32_t codeBits = w == 0 ? 0 : w + 1;
        table.entry[peek] = static_cast<uint16_t>(length << 9 | codeBits << 5 | (3 + 2 * k));
      }
      break;
    }
  }
  return table;
}

constexpr RunHeaderTable kRunHeaders = MakeRunHeaderTable();

// A run header whose prefix is longer than the table's, from the top of
// `bits` (at least kMaxRunHeaderBits of them the stream's): its size in bits,
// or 0 for a prefix of more than 16 bits.
QRV_ALWAYS_INLINE int32_t LongRunHeader(uint64_t bits, uint32_t* length, int32_t* codeBits) {
  const uint64_t prefix = bits << 3;
  // A prefix of more than 16 bits starts with 16 zeros.
  if ((prefix >> 48) == 0) return 0;
  const int32_t k = __builtin_clzll(prefix) + 1;
  *length = (uint32_t{1} << k) + static_cast<uint32_t>((prefix << k) >> (64 - k)) - 1;
  const uint32_t w = static_cast<uint32_t>(bits >> 61);
  *codeBits = w == 0 ? 0 : static_cast<int32_t>(w) + 1;
  return 3 + 2 * k;
}

QRV_ALWAYS_INLINE int32_t ReadRun(BitReader* reader, uint32_t remaining, Run* run) {
  // Inside the window the reader is topped up before every header, without
  // testing how much it holds: that test goes either way from run to run, and
  // a wrong guess costs more than the refill.
  if (reader->end - reader->next >= 8) {
    FillBitsFromWindow(reader);
  } else if (reader->held < kMaxRunHeaderBits) {
    FillBits(reader);
    if (reader->held < kMaxRunHeaderBits) {
      BitReader copy = *reader;  // as in FillBits: the caller's reader stays in registers
      int32_t rc = ReadRunSlow(&copy, remaining, run);
      *reader = copy;
      return rc;
    }
  }
  uint64_t bits = reader->bits;
  const uint32_t entry = kRunHeaders.entry[bits >> (64 - kPeekBits)];
  if (entry != 0) {
    const int32_t used = static_cast<int32_t>(entry & 31);
    const uint32_t length = entry >> 9;
    reader->bits = bits << used;
    reader->held -= used;
    if (length > remaining) return RC_UNKNOWN_FORMAT;
    run->codeBits = static_cast<int32_t>((entry >> 5) & 15);
    run->length = length;
    return RC_OK;
  }
  const int32_t used = LongRunHeader(bits, &run->length, &run->codeBits);
  if (used == 0) return RC_UNKNOWN_FORMAT;
  reader->bits = bits << used;
  reader->held -= used;
  return run->length > remaining ? RC_UNKNOWN_FORMAT : RC_OK;
}

// Stores the kFull codes at the top of `bits` to out, out + stride, ...: a
// fixed count with constant shifts, so that the loop unrolls fully and the
// stores do not wait on each other.
template <int32_t kBits, int32_t kIndex>
QRV_ALWAYS_INLINE void StoreCode(uint64_t bits, uint8_t* out, int32_t stride) {
  uint32_t code = static_cast<uint32_t>(bits >> (64 - kBits * (kIndex + 1))) & ((1u << kBits) - 1);
#if defined(__GNUC__)
  // Keeps the compiler from gathering the codes into vector registers first,
  // which takes more instructions than the byte stores it saves.
  __asm__("" : "+r"(code));
#endif
  out[kIndex * stride] = static_cast<uint8_t>(code);
}

template <int32_t kBits, size_t... kIndex>
QRV_ALWAYS_INLINE void StoreCodes(uint64_t bits, uint8_t* out, int32_t stride,
                                  std::index_sequence<kIndex...>) {
  (StoreCode<kBits, static_cast<int32_t>(kIndex)>(bits, out, stride), ...);
}

// Reads `count` codes of kBits bits to out, out + step, .... Whole batches of
// what a topped-up reader always holds (at least 56 bits) go through the
// unrolled store. So does a shorter rest when at least a batch's worth of the
// row-channel's positions lie ahead (`room`, counted from out): the codes past
// the run are stray, and *dirtyEnd moves past them so that a later zero run
// clears them. Otherwise the rest is stored code by code. Near the end of the
// stream codes are taken as far as the held bits allow, so that a short stream
// fails exactly where word-by-word reading would.
template <int32_t kBits, int32_t kStep>
QRV_ALWAYS_INLINE int32_t ReadCodesOf(BitReader* reader, uint8_t* out, int32_t step,
                                      uint32_t count, uint32_t room, uint8_t** dirtyEnd) {
  const int32_t stride = kStep != 0 ? kStep : step;
  constexpr uint32_t kFull = 56 / kBits;
  constexpr int32_t kFullBits = static_cast<int32_t>(kFull) * kBits;
  while (count > 0) {
    if (reader->held < kFullBits) {
      FillBits(reader);
      if (reader->held < kFullBits) break;
    }
    if (count < kFull) {
      // 0 < count * kBits < kFullBits <= held.
      const int32_t usedBits = static_cast<int32_t>(count) * kBits;
      if (room >= kFull) {
        StoreCodes<kBits>(reader->bits, out, stride, std::make_index_sequence<kFull>());
        uint8_t* storedEnd = out + static_cast<int32_t>(kFull) * stride;
        if (storedEnd > *dirtyEnd) *dirtyEnd = storedEnd;
      } else {
        uint64_t bits = reader->bits;
        for (uint32_t i = 0; i < count; ++i) {
          out[static_cast<size_t>(i) * stride] = static_cast<uint8_t>(bits >> (64 - kBits));
          bits <<= kBits;
        }
      }
      reader->bits <<= usedBits;
      reader->held -= usedBits;
      return RC_OK;
    }
    StoreCodes<kBits>(reader->bits, out, stride, std::make_index_sequence<kFull>());
    reader->bits <<= kFullBits;
    reader->held -= kFullBits;
    out += static_cast<int32_t>(kFull) * stride;
    count -= kFull;
    room -= kFull;
  }
  while (count > 0) {
    if (reader->held < 57) FillBits(reader);
    uint32_t batch = static_cast<uint32_t>(reader->held) / kBits;
    if (batch == 0) return reader->failure != RC_OK ? reader->failure : RC_READ_ERROR;
    if (batch > count) batch = count;
    uint64_t bits = reader->bits;
    for (uint32_t i = 0; i < batch; ++i) {
      *out = static_cast<uint8_t>(bits >> (64 - kBits));
      bits <<= kBits;
      out += stride;
    }
    reader->bits = bits;
    reader->held -= static_cast<int32_t>(batch) * kBits;
    count -= batch;
  }
  return RC_OK;
}

// One copy of the code loop per code width, so that its shifts are constants.
template <int32_t kStep>
QRV_ALWAYS_INLINE int32_t ReadCodes(BitReader* reader, uint8_t* out, int32_t step, uint32_t count,
                                    int32_t codeBits, uint32_t room, uint8_t** dirtyEnd) {
  switch (codeBits) {
    case 2: return ReadCodesOf<2, kStep>(reader, out, step, count, room, dirtyEnd);
    case 3: return ReadCodesOf<3, kStep>(reader, out, step, count, room, dirtyEnd);
    case 4: return ReadCodesOf<4, kStep>(reader, out, step, count, room, dirtyEnd);
    case 5: return ReadCodesOf<5, kStep>(reader, out, step, count, room, dirtyEnd);
    case 6: return ReadCodesOf<6, kStep>(reader, out, step, count, room, dirtyEnd);
    case 7: return ReadCodesOf<7, kStep>(reader, out, step, count, room, dirtyEnd);
    default: return ReadCodesOf<8, kStep>(reader, out, step, count, room, dirtyEnd);
  }
}

// Codes of one width (0 to 8 bits: 0 gives zeros) eight at a time: the codes
// at the top of the bit buffer are spread to one byte each by halving steps,
// each moving the lower half of every group up by its share of a word. A
// topped-up reader (at least 56 bits) holds eight codes of up to 7 bits and
// seven of 8 bits: a step takes that many.
struct SpreadMasks {
  int32_t shift;      // brings the eight codes to the bottom of the word
  uint32_t perStep;   // codes a step may take: 8, or 7 of 8 bits
  uint64_t halves;    // the low 4 codes
  uint64_t quarters;  // 2 codes at bits 0 and 32
  uint64_t singles;   // 1 code at bits 0, 16, 32 and 48
};

constexpr int32_t kMaxCodeBits = 8;

struct SpreadMaskTable {
  SpreadMasks of[kMaxCodeBits + 1];
};

constexpr SpreadMaskTable MakeSpreadMasks() {
  SpreadMaskTable table = {};
  for (int32_t b = 0; b <= kMaxCodeBits; ++b) {
    const uint64_t one = (uint64_t{1} << b) - 1;
    const uint64_t two = (uint64_t{1} << 2 * b) - 1;
    table.of[b].shift = b == 0 ? 0 : 64 - 8 * b;  // the zero masks clear all at width 0
    table.of[b].perStep = b == 8 ? 7 : 8;
    table.of[b].halves = (uint64_t{1} << 4 * b) - 1;
    table.of[b].quarters = two | two << 32;
    table.of[b].singles = one * 0x0001000100010001ull;
  }
  return table;
}

constexpr SpreadMaskTable kSpreadMasks = MakeSpreadMasks();

// The eight codes of `codeBits` bits at the top of `bits`, code i in byte i of
// the result as stored in memory (little-endian: code 0 in the low byte).
QRV_ALWAYS_INLINE uint64_t SpreadCodes(uint64_t bits, const SpreadMasks& masks,
                                       int32_t codeBits) {
  const uint64_t x = bits >> masks.shift;
  uint64_t t = x >> 4 * codeBits | (x & masks.halves) << 32;
  t = ((t >> 2 * codeBits) & masks.quarters) | (t & masks.quarters) << 16;
  return ((t >> codeBits) & masks.singles) | (t & masks.singles) << 8;
}

// One step of the row-channel reader: eight codes from the window to *out, of
// which the first min(*left, masks.perStep) are taken. The window holds at
// least 8 bytes.
QRV_ALWAYS_INLINE void SpreadStep(BitReader* reader, int32_t codeBits, uint8_t** out,
                                  uint32_t* left) {
  FillBitsFromWindow(reader);
  const SpreadMasks& masks = kSpreadMasks.of[codeBits];
  const uint64_t codes = SpreadCodes(reader->bits, masks, codeBits);
  memcpy(*out, &codes, sizeof codes);
  const uint32_t taken = *left < masks.perStep ? *left : masks.perStep;
  const int32_t used = static_cast<int32_t>(taken) * codeBits;
  reader->bits <<= used;
  reader->held -= used;
  *out += taken;
  *left -= taken;
}

// Runs of at most kShortRun codes, and zero runs of any length, take one
// branch-free store of kShortRun codes when that many positions lie ahead:
// most runs of a flat picture are that short, and a branch per run on its kind
// and width costs more than the stores.
constexpr uint32_t kShortRun = 4;

// Stores kShortRun codes of `codeBits` bits (0 to 8: 0 stores zeros) from the
// top of `bits` to out, out + stride, ....
QRV_ALWAYS_INLINE void StoreShortRun(uint64_t bits, uint8_t* out, int32_t stride,
                                     int32_t codeBits) {
  for (uint32_t i = 0; i < kShortRun; ++i) {
    const uint32_t top = static_cast<uint32_t>((bits << (codeBits * static_cast<int32_t>(i))) >> 56);
    out[static_cast<size_t>(i) * stride] = static_cast<uint8_t>(top >> (8 - codeBits));
  }
}

// Pass 1 of a row-channel: its codes, and the number of zero-run codes added
// to *zeroCodes. With kZeroFill zero runs are written as zeros and nothing is
// written past a run. Without it the caller's bytes must start out zero, and
// stores may run past a run into positions that later runs of the row-channel
// own (never past its end): positions from `out` up to dirtyEnd may hold such
// stray codes, those past it are zero; dirtyEnd starts at `strayEnd` (`first`
// for bytes all zero). A run with codes overwrites its own positions; a zero
// run stores zeros over what is stray in its positions, and leaves the rest of
// its bytes as they are.
template <int32_t kStep, bool kZeroFill>
QRV_ALWAYS_INLINE int32_t ReadChannelCodes(BitReader* reader, uint8_t* first, int32_t step,
                                           int32_t count, uint32_t* zeroCodes,
                                           uint8_t* strayEnd) {
  const int32_t stride = kStep != 0 ? kStep : step;
  // A local reader whose address no call sees: see FillBits.
  BitReader local = *reader;
  uint32_t remaining = static_cast<uint32_t>(count);
  uint8_t* out = first;
  uint8_t* dirtyEnd = strayEnd;
  uint32_t zeros = 0;
  int32_t rc = RC_OK;
  while (rc == RC_OK && remaining > 0) {
    Run run;
    rc = ReadRun(&local, remaining, &run);
    if (rc != RC_OK) break;
    // One test, not one per condition: whether the run is a zero run or a
    // short one varies from run to run.
    const bool shortRun = (run.codeBits == 0) | (run.length <= kShortRun);
    if (!kZeroFill && (static_cast<int>(remaining >= kShortRun) & static_cast<int>(shortRun))) {
      const int32_t used = run.codeBits * static_cast<int32_t>(run.length);  // 0 to 32
      if (local.held < used) FillBits(&local);
      if (local.held >= used) {
        uint8_t* storedEnd = out + static_cast<int32_t>(kShortRun) * stride;
        if (dirtyEnd > storedEnd && run.codeBits == 0) {
          // Stray codes reach further than the store: clear them all.
          for (uint8_t* at = out; at < dirtyEnd; at += stride) *at = 0;
          dirtyEnd = out;
        }
        StoreShortRun(local.bits, out, stride, run.codeBits);
        dirtyEnd = storedEnd > dirtyEnd ? storedEnd : dirtyEnd;
        local.bits <<= used;
        local.held -= used;
        zeros += run.codeBits == 0 ? run.length : 0;
        out += static_cast<size_t>(run.length) * stride;
        remaining -= run.length;
        continue;
      }
      // Near the end of the stream: code by code below.
    }
    if (run.codeBits == 0) {
      zeros += run.length;
      if (kZeroFill) {
        for (uint32_t i = 0; i < run.length; ++i) out[static_cast<size_t>(i) * stride] = 0;
      } else {
        // Clearing past the run's end too is harmless: those bytes are zero
        // until a later run writes them.
        for (uint8_t* at = out; at < dirtyEnd; at += stride) *at = 0;
        dirtyEnd = out;
      }
    } else {
      rc = ReadCodes<kStep>(&local, out, step, run.length, run.codeBits,
                            kZeroFill ? run.length : remaining, &dirtyEnd);
    }
    out += static_cast<size_t>(run.length) * stride;
    remaining -= run.length;
  }
  *reader = local;
  *zeroCodes += zeros;
  return rc;
}

// Flat 24-bit rows: most runs are zero runs or a few codes. The in-place
// reader takes a run whose prefix is at most 4 bits (kPeekBits bits ahead, as
// kRunHeaders) by one entry: its header and its first kShortRun codes come
// from one load and go out in one branch-free store of kShortRun codes (zeros
// for a zero run), and the position moves past both at once. The codes of a
// longer run follow kShortRun at a time.
struct FlatRun {
  uint8_t total;     // bits of the header and the first codes; 0: a longer prefix
  uint8_t shift;     // first code at (bits >> shift) & mask, the next codeBits lower
  uint8_t codeBits;  // 0 for a zero run
  uint8_t mask;      // 2^codeBits - 1
  uint8_t length;
  uint8_t zeros;     // the run's length for a zero run, else 0
  uint8_t rest;      // codes after the first kShortRun
  uint8_t room;      // bytes from the run's first one that its stores reach
};

struct FlatRunTable {
  FlatRun entry[1 << kPeekBits];
};

constexpr FlatRunTable MakeFlatRuns() {
  FlatRunTable table = {};
  for (uint32_t peek = 0; peek < (1u << kPeekBits); ++peek) {
    const uint32_t header = kRunHeaders.entry[peek];
    if (header == 0) continue;
    const uint32_t used = header & 31;
    const uint32_t codeBits = (header >> 5) & 15;
    const uint32_t length = header >> 9;
    const uint32_t first = length < kShortRun ? length : kShortRun;
    const uint32_t rest = codeBits == 0 ? 0 : length - first;
    FlatRun& run = table.entry[peek];
    run.total = static_cast<uint8_t>(used + first * codeBits);
    run.shift = static_cast<uint8_t>(64 - used - codeBits);
    run.codeBits = static_cast<uint8_t>(codeBits);
    run.mask = static_cast<uint8_t>((1u << codeBits) - 1);
    run.length = static_cast<uint8_t>(length);
    run.zeros = static_cast<uint8_t>(codeBits == 0 ? length : 0);
    run.rest = static_cast<uint8_t>(rest);
    // The last store of a longer run may reach 3 positions past it.
    run.room = static_cast<uint8_t>(3 * length + (rest != 0 ? 9 : 0));
  }
  return table;
}

constexpr FlatRunTable kFlatRuns = MakeFlatRuns();

// Stores kShortRun codes of `codeBits` bits, code i at (bits >> (shift - i *
// codeBits)) & mask, to every third byte from out on.
QRV_ALWAYS_INLINE void StoreShortRun24(uint64_t bits, uint8_t* out, uint32_t shift,
                                       uint32_t codeBits, uint32_t mask) {
  for (uint32_t i = 0; i < kShortRun; ++i) {
    out[3 * i] = static_cast<uint8_t>((bits >> shift) & mask);
    shift -= codeBits;
  }
}

// Pass 1 of one channel of a 24-bit row in place, from `first` on every third
// byte, on bytes that start out zero; the codes of zero runs are added to
// *zeroCodes. With FlatRun entries while kShortRun positions are left and the
// window holds a run's bytes; the rest of the row-channel, and runs the
// entries do not cover (codes after a prefix of more than 4 bits, a run past
// the row-channel's end), go to ReadChannelCodes. A store of kShortRun codes
// may reach up to 3 positions past its run: the run after it overwrites them,
// with zeros for a zero run, so that positions more than 3 past `out` are
// always zero.
//
// The reader is topped up before every run and every further kShortRun
// codes, without a test: the next window word is then loaded while the run
// before is still being decoded, and the step from one run to the next is the
// entry's load and two shifts.
int32_t ReadFlatChannel24(BitReader* reader, uint8_t* first, int32_t count,
                          uint32_t* zeroCodes) {
  uint8_t* out = first;
  uint8_t* const outEnd = first + 3 * static_cast<size_t>(count);
  uint64_t bits = reader->bits;
  int32_t held = reader->held;
  const uint8_t* next = reader->next;
  const uint8_t* const end = reader->end;
  auto refill = [&] { FillFromWindow(&bits, &held, &next); };
  uint32_t zeros = 0;
  // A run takes at most 251 bits (a header of 11, 30 codes of 8) and its
  // refills load 8 bytes from up to 8 bytes past its last bit.
  while (outEnd - out >= 3 * static_cast<ptrdiff_t>(kShortRun) && end - next >= 48) {
    refill();
    const FlatRun& run = kFlatRuns.entry[bits >> (64 - kPeekBits)];
    if (run.total == 0) [[unlikely]] {
      // Longer zero runs here too: they are common in flat rows.
      uint32_t length;
      int32_t codeBits;
      const int32_t used = LongRunHeader(bits, &length, &codeBits);
      if (used == 0 || codeBits != 0 || 3 * static_cast<ptrdiff_t>(length) > outEnd - out) {
        break;
      }
      StoreShortRun24(0, out, 0, 0, 0);
      bits <<= used;
      held -= used;
      zeros += length;
      out += 3 * static_cast<size_t>(length);
      continue;
    }
    if (run.room > outEnd - out) [[unlikely]] break;
    StoreShortRun24(bits, out, run.shift, run.codeBits, run.mask);
    bits <<= run.total;
    held -= run.total;
    zeros += run.zeros;
    if (run.rest != 0) [[unlikely]] {
      const uint32_t codeBits = run.codeBits;
      uint8_t* at = out;
      uint32_t rest = run.rest;
      do {
        refill();
        at += 3 * kShortRun;
        StoreShortRun24(bits, at, 64 - codeBits, codeBits, run.mask);
        const uint32_t taken = rest < kShortRun ? rest : kShortRun;
        bits <<= taken * codeBits;
        held -= static_cast<int32_t>(taken * codeBits);
        rest -= taken;
      } while (rest > 0);
    }
    out += 3 * static_cast<size_t>(run.length);
  }
  reader->bits = bits;
  reader->held = held;
  reader->next = next;
  *zeroCodes += zeros;
  if (out == outEnd) return RC_OK;
  // The last stores reached at most kShortRun positions past `out`.
  uint8_t* const strayEnd =
      outEnd - out < 3 * static_cast<ptrdiff_t>(kShortRun) ? outEnd : out + 3 * kShortRun;
  return ReadChannelCodes<3, false>(reader, out, 3, static_cast<int32_t>((outEnd - out) / 3),
                                    zeroCodes, strayEnd);
}

// Pass 1 of an 8-bit row, or of one channel of a 24-bit row read as a plane:
// codes to consecutive bytes of zero memory that nothing has written yet.
//
// Runs go eight positions at a time (seven for codes of 8 bits), whatever the
// run's kind and width: one path for all runs, no branch on either. A store
// may reach up to 8 bytes past its run, never past the row; the run after it
// writes those positions again, a zero run with zeros. Two steps are taken
// without a test, since most runs are 16 codes or fewer and a test of the
// length goes either way from run to run. A zero run longer than that needs no
// more stores: the strays of the run before it lie within its first 8
// positions, and the rest is zero already.
//
// ReadRow8 (the scalar kernel's, with the reader's state in locals) and
// sse2::ReadRow8 (the vector kernel's, by bit position) take whole runs so
// while 16 positions are left and the window holds the bytes of a header and
// two steps; ReadRow8Tail does the rest with every test, and near the end of
// the stream exactly, so that a stream cut anywhere fails where word-by-word
// reading would. With kCountZeros the codes of zero runs are added to
// *zeroCodes.

// A run's codes one by one, exactly: near the end of the row or of the
// stream. Out of line: rare, and large.
[[gnu::noinline]] int32_t ReadCodesExact(BitReader* reader, uint8_t* out, uint32_t count,
                                          int32_t codeBits) {
  uint8_t* unused = out;
  return ReadCodes<1>(reader, out, 1, count, codeBits, count, &unused);
}

[[gnu::noinline]] int32_t ReadRow8Tail(BitReader* reader, uint8_t* out, uint8_t* rowEnd,
                                       uint32_t* zeroCodes) {
  BitReader local = *reader;  // an address that no call sees: see FillBits
  uint32_t remaining = static_cast<uint32_t>(rowEnd - out);
  int32_t rc = RC_OK;
  while (remaining > 0) {
    Run run;
    rc = ReadRun(&local, remaining, &run);
    if (rc != RC_OK) break;
    *zeroCodes += run.codeBits == 0 ? run.length : 0;
    uint32_t left = run.length;
    if (left + 7 <= remaining) {
      while (left > 0 && local.end - local.next >= 8) SpreadStep(&local, run.codeBits, &out, &left);
      remaining -= run.length - left;
      if (left == 0) continue;
    }
    if (run.codeBits == 0) {
      memset(out, 0, left);
    } else {
      rc = ReadCodesExact(&local, out, left, run.codeBits);
      if (rc != RC_OK) break;
    }
    out += left;
    remaining -= left;
  }
  *reader = local;
  return rc;
}

template <bool kCountZeros>
QRV_ALWAYS_INLINE int32_t ReadRow8(BitReader* reader, uint8_t* row, int32_t width,
                                   uint32_t* zeroCodes) {
  uint8_t* out = row;
  uint32_t zeros = 0;
  uint8_t* const rowEnd = out + width;
  const uint8_t* end = reader->end;
  uint64_t bits = reader->bits;
  int32_t held = reader->held;
  const uint8_t* next = reader->next;
  int32_t rc = RC_OK;
  auto refill = [&] { FillFromWindow(&bits, &held, &next); };
  // Eight codes to out, of which the first min(left, masks.perStep) are taken.
  auto step = [&](int32_t codeBits, uint32_t& left) {
    refill();
    const SpreadMasks& masks = kSpreadMasks.of[codeBits];
    const uint64_t codes = SpreadCodes(bits, masks, codeBits);
    memcpy(out, &codes, sizeof codes);
    const uint32_t taken = left < masks.perStep ? left : masks.perStep;
    const int32_t used = static_cast<int32_t>(taken) * codeBits;
    bits <<= used;
    held -= used;
    out += taken;
    left -= taken;
  };
  while (rowEnd - out >= 16 && end - next >= 24) {
    refill();
    // The header: by table when its prefix is at most 4 bits, else counted.
    const uint32_t entry = kRunHeaders.entry[bits >> (64 - kPeekBits)];
    uint32_t length;
    int32_t codeBits;
    if (entry != 0) {
      const int32_t used = static_cast<int32_t>(entry & 31);
      bits <<= used;
      held -= used;
      length = entry >> 9;
      codeBits = static_cast<int32_t>((entry >> 5) & 15);
    } else {
      const int32_t used = LongRunHeader(bits, &length, &codeBits);
      if (used == 0) {
        rc = RC_UNKNOWN_FORMAT;
        break;
      }
      bits <<= used;
      held -= used;
    }
    if (length > static_cast<uint32_t>(rowEnd - out)) {
      rc = RC_UNKNOWN_FORMAT;
      break;
    }
    if (kCountZeros) zeros += codeBits == 0 ? length : 0;
    uint8_t* const runEnd = out + length;
    uint32_t left = length;
    step(codeBits, left);
    step(codeBits, left);
    if (left == 0) continue;
    if (codeBits == 0) {
      out = runEnd;
      continue;
    }
    // A long run: on while its stores stay in the row-channel and the window.
    while (left > 0 && runEnd + 7 <= rowEnd && end - next >= 8) step(codeBits, left);
    if (left == 0) continue;
    reader->bits = bits;
    reader->held = held;
    reader->next = next;
    rc = ReadCodesExact(reader, out, left, codeBits);
    // The window may have been refilled.
    bits = reader->bits;
    held = reader->held;
    next = reader->next;
    end = reader->end;
    if (rc != RC_OK) break;
    out = runEnd;
  }
  reader->bits = bits;
  reader->held = held;
  reader->next = next;
  *zeroCodes += zeros;
  if (rc != RC_OK || out == rowEnd) return rc;
  return ReadRow8Tail(reader, out, rowEnd, zeroCodes);
}

// Row mappers: kRows rows in lockstep, each channel of each row one chain.
template <int32_t kRows>
void MapRowsOf8(uint8_t* const* rows, int32_t width) {
  uint8_t* at[kRows];
  uint8_t p[kRows];
  for (int32_t n = 0; n < kRows; ++n) {
    at[n] = rows[n];
    p[n] = rows[n][0];
  }
  for (int32_t x = 1; x < width; ++x) {
    for (int32_t n = 0; n < kRows; ++n) {
      p[n] = MapByTable(p[n], at[n][x]);
      at[n][x] = p[n];
    }
  }
}

template <int32_t kRows>
void MapRowsOf24(uint8_t* const* rows, int32_t width) {
  uint8_t* at[kRows];
  uint8_t p[kRows][3];
  for (int32_t n = 0; n < kRows; ++n) {
    at[n] = rows[n] + 3;
    for (int32_t c = 0; c < 3; ++c) p[n][c] = rows[n][c];
  }
  for (int32_t x = 1; x < width; ++x) {
    for (int32_t n = 0; n < kRows; ++n) {
      for (int32_t c = 0; c < 3; ++c) {
        p[n][c] = MapByTable(p[n][c], at[n][c]);
        at[n][c] = p[n][c];
      }
      at[n] += 3;
    }
  }
}

#if QRV_VECTOR_KERNEL
// The vector kernel's own routines: the only code of the 32-bit x86 plug-in
// built for SSE2 (a check of its disassembly holds it to this namespace).
namespace sse2 {

// Sixteen 8-bit rows mapped at once, one row per byte lane of a vector: the
// mapping of each row is one serial chain, and sixteen chains in lockstep take
// about what one takes. Blocks of 16 columns are turned into lanes and back by
// a 16 x 16 byte transpose.
constexpr int32_t kLaneRows = 16;
static_assert(kLaneRows == kMaxMappedRows8);

// MapNeighbour on every lane. Everything but the last few steps depends on the
// code alone, off the chain through `previous`.
QRV_SSE2 QRV_ALWAYS_INLINE __m128i MapNeighbourLanes(__m128i previous, __m128i code) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i mirror = _mm_cmpgt_epi8(zero, previous);  // 0xff where previous >= 128
  const __m128i q = _mm_xor_si128(previous, mirror);
  // half = (code + 1) >> 1; +half for an odd code, -half for an even one. A
  // code up to 2q is exactly one with half <= q.
  const __m128i half = _mm_avg_epu8(code, zero);
  const __m128i even = _mm_cmpeq_epi8(_mm_and_si128(code, _mm_set1_epi8(1)), zero);
  const __m128i signedHalf = _mm_sub_epi8(_mm_xor_si128(half, even), even);
  const __m128i near = _mm_add_epi8(q, signedHalf);
  const __m128i within = _mm_cmpeq_epi8(_mm_max_epu8(half, q), q);
  // within ? near : code, then unfold.
  const __m128i x = _mm_xor_si128(code, _mm_and_si128(within, _mm_xor_si128(near, code)));
  return _mm_xor_si128(x, mirror);
}

// v[i] = byte i of every one of the 16 vectors, in place.
QRV_SSE2 QRV_ALWAYS_INLINE void Transpose16(__m128i* v) {
  __m128i t[16];
  for (int32_t i = 0; i < 8; ++i) {
    t[i] = _mm_unpacklo_epi8(v[2 * i], v[2 * i + 1]);
    t[i + 8] = _mm_unpackhi_epi8(v[2 * i], v[2 * i + 1]);
  }
  for (int32_t i = 0; i < 8; ++i) {
    v[i] = _mm_unpacklo_epi16(t[2 * i], t[2 * i + 1]);
    v[i + 8] = _mm_unpackhi_epi16(t[2 * i], t[2 * i + 1]);
  }
  for (int32_t i = 0; i < 8; ++i) {
    t[i] = _mm_unpacklo_epi32(v[2 * i], v[2 * i + 1]);
    t[i + 8] = _mm_unpackhi_epi32(v[2 * i], v[2 * i + 1]);
  }
  for (int32_t i = 0; i < 8; ++i) {
    v[i] = _mm_unpacklo_epi64(t[2 * i], t[2 * i + 1]);
    v[i + 8] = _mm_unpackhi_epi64(t[2 * i], t[2 * i + 1]);
  }
}

// Where Transpose16 leaves column (or row) j: the 4-bit reversal of j.
constexpr int32_t kTransposedAt[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};

// Columns x to x + 15 of the 16 rows, after the samples `previous` (unused for
// the first block: the first code of a row is its sample). Returns column x + 15.
template <bool kFirst>
QRV_SSE2 QRV_ALWAYS_INLINE __m128i MapLaneBlock(uint8_t* const* rows, int32_t x, __m128i previous) {
  __m128i v[kLaneRows];
  for (int32_t n = 0; n < kLaneRows; ++n) {
    v[n] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[n] + x));
  }
  Transpose16(v);
  __m128i w[kLaneRows];
  __m128i p = previous;
  int32_t j = 0;
  if constexpr (kFirst) {
    p = v[0];
    w[0] = p;
    j = 1;
  }
  for (; j < kLaneRows; ++j) {
    p = MapNeighbourLanes(p, v[kTransposedAt[j]]);
    w[j] = p;
  }
  Transpose16(w);
  for (int32_t n = 0; n < kLaneRows; ++n) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rows[n] + x), w[kTransposedAt[n]]);
  }
  return p;
}

QRV_SSE2 void MapRowLanes8(uint8_t* const* rows, int32_t width) {
  int32_t x = 0;
  if (width >= kLaneRows) {
    __m128i p = MapLaneBlock<true>(rows, 0, _mm_setzero_si128());
    for (x = kLaneRows; x + kLaneRows <= width; x += kLaneRows) {
      p = MapLaneBlock<false>(rows, x, p);
    }
  }
  // The last columns, row by row, from each row's last mapped sample.
  for (int32_t n = 0; n < kLaneRows; ++n) {
    uint8_t* row = rows[n];
    int32_t at = x == 0 ? 1 : x;
    uint8_t previous = row[at - 1];
    for (; at < width; ++at) {
      previous = MapByTable(previous, row[at]);
      row[at] = previous;
    }
  }
}

// 8-bit rows by bit position: the window's bytes are read afresh at the
// position of every header and step, the codes spread in a 64-bit lane of a
// vector. The reader's state is then one number, so that 32-bit x86 keeps it
// and the row's pointers in its few registers, and the spreading takes no
// pairs of registers there. Same rules as the scalar ReadRow8: eight
// positions a step, two steps a run, strays within the next run's first 8
// positions, long zero runs left to the zeros; ReadRow8Tail near the ends.

// The 64 bits of the window from bit `pos` after `base` on, most significant
// first, as a number in the low lane; at least 57 of them are the window's.
QRV_SSE2 QRV_ALWAYS_INLINE __m128i BitsAt(const uint8_t* base, uint32_t pos) {
  __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + (pos >> 3)));
  v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));  // bytes swapped in words
  v = _mm_shufflelo_epi16(v, 0x1b);                               // words reversed
  return _mm_sll_epi64(v, _mm_cvtsi32_si128(static_cast<int>(pos & 7)));
}

// The 32 bits from `pos` on, most significant first; at least 25 are the
// window's.
QRV_SSE2 QRV_ALWAYS_INLINE uint32_t TopBitsAt(const uint8_t* base, uint32_t pos) {
  uint32_t word;
  memcpy(&word, base + (pos >> 3), sizeof word);
  return __builtin_bswap32(word) << (pos & 7);
}

// Back to the reader's own form at bit `pos` after `base`: the rest of a
// byte begun held, `next` after it.
QRV_SSE2 QRV_ALWAYS_INLINE void SetPosition(BitReader* reader, const uint8_t* base,
                                            uint32_t pos) {
  const uint8_t* at = base + (pos >> 3);
  const uint32_t begun = pos & 7;
  reader->bits = begun == 0 ? 0 : uint64_t{*at} << (56 + begun);
  reader->held = begun == 0 ? 0 : 8 - static_cast<int32_t>(begun);
  reader->next = begun == 0 ? at : at + 1;
}

template <bool kCountZeros>
QRV_SSE2 QRV_ALWAYS_INLINE int32_t ReadRow8(BitReader* reader, uint8_t* row, int32_t width,
                                            uint32_t* zeroCodes) {
  uint8_t* out = row;
  uint32_t zeros = 0;
  uint8_t* const rowEnd = row + width;
  // The held bits' bytes must still be in the window (not so just after a
  // refill): the positions count from the first of them.
  while (rowEnd - out >= 16 && reader->next - reader->begin >= (reader->held + 7) / 8) {
    const uint8_t* const end = reader->end;
    const uint8_t* const base = reader->next - (reader->held + 7) / 8;
    uint32_t pos = static_cast<uint32_t>(reader->next - base) * 8 -
                   static_cast<uint32_t>(reader->held);
    int32_t rc = RC_OK;
    uint32_t left = 0;  // what of the last run is left to the exact path
    int32_t codeBits = 0;
    // A header and two steps take at most 147 bits.
    while (rowEnd - out >= 16 && end - (base + (pos >> 3)) >= 32) {
      const uint32_t entry = kRunHeaders.entry[TopBitsAt(base, pos) >> (32 - kPeekBits)];
      uint32_t length;
      if (entry != 0) {
        pos += entry & 31;
        length = entry >> 9;
        codeBits = static_cast<int32_t>((entry >> 5) & 15);
      } else {
        uint64_t bits;
        memcpy(&bits, base + (pos >> 3), sizeof bits);
        const int32_t used =
            LongRunHeader(__builtin_bswap64(bits) << (pos & 7), &length, &codeBits);
        if (used == 0) {
          rc = RC_UNKNOWN_FORMAT;
          break;
        }
        pos += static_cast<uint32_t>(used);
      }
      if (length > static_cast<uint32_t>(rowEnd - out)) {
        rc = RC_UNKNOWN_FORMAT;
        break;
      }
      if (kCountZeros) zeros += codeBits == 0 ? length : 0;
      uint8_t* const runEnd = out + length;
      const SpreadMasks& masks = kSpreadMasks.of[codeBits];
      const __m128i shift = _mm_cvtsi32_si128(masks.shift);
      const __m128i fourCodes = _mm_cvtsi32_si128(4 * codeBits);
      const __m128i twoCodes = _mm_cvtsi32_si128(2 * codeBits);
      const __m128i oneCode = _mm_cvtsi32_si128(codeBits);
      const __m128i halves = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&masks.halves));
      const __m128i quarters = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&masks.quarters));
      const __m128i singles = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(&masks.singles));
      // SpreadCodes on the lane, stored; min(left, masks.perStep) taken.
      auto step = [&]() QRV_SSE2 {
        const __m128i x = _mm_srl_epi64(BitsAt(base, pos), shift);
        __m128i t = _mm_or_si128(_mm_srl_epi64(x, fourCodes),
                                 _mm_slli_epi64(_mm_and_si128(x, halves), 32));
        t = _mm_or_si128(_mm_and_si128(_mm_srl_epi64(t, twoCodes), quarters),
                         _mm_slli_epi64(_mm_and_si128(t, quarters), 16));
        t = _mm_or_si128(_mm_and_si128(_mm_srl_epi64(t, oneCode), singles),
                         _mm_slli_epi64(_mm_and_si128(t, singles), 8));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), t);
        const uint32_t taken = left < masks.perStep ? left : masks.perStep;
        pos += taken * static_cast<uint32_t>(codeBits);
        out += taken;
        left -= taken;
      };
      left = length;
      step();
      step();
      if (left == 0) continue;
      if (codeBits == 0) {
        out = runEnd;
        left = 0;
        continue;
      }
      // A long run: on while its stores stay in the row and the window.
      while (left > 0 && runEnd + 7 <= rowEnd && end - (base + (pos >> 3)) >= 8) step();
      if (left > 0) break;
    }
    SetPosition(reader, base, pos);
    if (rc != RC_OK) return rc;
    if (left == 0) break;
    rc = ReadCodesExact(reader, out, left, codeBits);
    if (rc != RC_OK) return rc;
    out += left;
  }
  *zeroCodes += zeros;
  return out == rowEnd ? RC_OK : ReadRow8Tail(reader, out, rowEnd, zeroCodes);
}

QRV_SSE2 int32_t ReadRow8(BitReader* reader, uint8_t* row, int32_t width) {
  uint32_t unused = 0;
  return ReadRow8<false>(reader, row, width, &unused);
}

QRV_SSE2 int32_t ReadRowPlanes24(BitReader* reader, uint8_t* planes, int32_t width,
                                 uint32_t* zeroCodes) {
  int32_t rc = RC_OK;
  for (int32_t c = 0; rc == RC_OK && c < 3; ++c) {
    rc = ReadRow8<true>(reader, planes + static_cast<size_t>(c) * width, width, zeroCodes);
  }
  return rc;
}

}  // namespace sse2
#endif  // QRV_VECTOR_KERNEL

constexpr int32_t kSkipPixels = 8;

// The pixel (p0, p1, p2) repeated kSkipPixels times: the 24 bytes as three
// 64-bit words, or one 12-byte period as three 32-bit words. Built in
// registers: a byte array here ends up as two dozen single-byte moves.
using FillWord = std::conditional_t<kWideWords, uint64_t, uint32_t>;

struct PixelFill {
  FillWord word[3];
};

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#error "the pixel fill is laid out for little-endian words"
#endif

QRV_ALWAYS_INLINE uint64_t RepeatPixel(uint32_t a, uint32_t b, uint32_t c) {
  // Bytes a, b, c, a, b, c, a, b of a little-endian word: the multiplication
  // copies the three bytes to bytes 3 and 6, dropping what passes byte 7.
  return (uint64_t{a} | uint64_t{b} << 8 | uint64_t{c} << 16) * 0x0001000001000001ull;
}

QRV_ALWAYS_INLINE PixelFill MakePixelFill(uint8_t p0, uint8_t p1, uint8_t p2) {
  PixelFill fill;
  if constexpr (kWideWords) {
    // 8 mod 3 = 2: the second word starts with p2, the third (16 mod 3 = 1) with p1.
    fill.word[0] = RepeatPixel(p0, p1, p2);
    fill.word[1] = RepeatPixel(p2, p0, p1);
    fill.word[2] = RepeatPixel(p1, p2, p0);
  } else {
    // p0 p1 p2 p0, p1 p2 p0 p1, p2 p0 p1 p2.
    const uint32_t pixel = uint32_t{p0} | uint32_t{p1} << 8 | uint32_t{p2} << 16;
    fill.word[0] = pixel | uint32_t{p0} << 24;
    fill.word[1] = pixel >> 8 | pixel << 16;
    fill.word[2] = pixel >> 16 | pixel << 8;
  }
  return fill;
}

QRV_ALWAYS_INLINE void StoreFill(uint8_t* group, const PixelFill& fill) {
  if constexpr (kWideWords) {
    memcpy(group, &fill.word[0], 8);
    memcpy(group + 8, &fill.word[1], 8);
    memcpy(group + 16, &fill.word[2], 8);
  } else {
    for (int32_t half = 0; half < 24; half += 12) {
      for (int32_t i = 0; i < 3; ++i) memcpy(group + half + 4 * i, &fill.word[i], 4);
    }
  }
}

// One group of kSkipPixels 24-bit pixels after the pixel (p0, p1, p2), whose
// repetition is `fill`: a group whose codes are all zero repeats that pixel.
QRV_ALWAYS_INLINE void MapGroupSkipping24(uint8_t* group, uint8_t& p0, uint8_t& p1, uint8_t& p2,
                                          PixelFill& fill) {
  uint64_t a;
  uint64_t b;
  uint64_t c;
  memcpy(&a, group, 8);
  memcpy(&b, group + 8, 8);
  memcpy(&c, group + 16, 8);
  if ((a | b | c) == 0) {
    StoreFill(group, fill);
    return;
  }
  for (int32_t i = 0; i < 3 * kSkipPixels; i += 3) {
    p0 = MapByTable(p0, group[i]);
    p1 = MapByTable(p1, group[i + 1]);
    p2 = MapByTable(p2, group[i + 2]);
    group[i] = p0;
    group[i + 1] = p1;
    group[i + 2] = p2;
  }
  fill = MakePixelFill(p0, p1, p2);
}

// The `count` pixels at `at` after the pixel (p0, p1, p2), one by one.
QRV_ALWAYS_INLINE void MapPixels24(uint8_t* at, int32_t count, uint8_t p0, uint8_t p1,
                                   uint8_t p2) {
  for (; count > 0; --count, at += 3) {
    p0 = MapByTable(p0, at[0]);
    p1 = MapByTable(p1, at[1]);
    p2 = MapByTable(p2, at[2]);
    at[0] = p0;
    at[1] = p1;
    at[2] = p2;
  }
}

// A 24-bit row made mostly of zero runs, a group of kSkipPixels pixels at a
// time: worth the test per group only there.
void MapRowSkipping24(uint8_t* row, int32_t width) {
  uint8_t p0 = row[0];
  uint8_t p1 = row[1];
  uint8_t p2 = row[2];
  PixelFill fill = MakePixelFill(p0, p1, p2);
  uint8_t* at = row + 3;
  int32_t left = width - 1;
  for (; left >= kSkipPixels; left -= kSkipPixels, at += 3 * kSkipPixels) {
    MapGroupSkipping24(at, p0, p1, p2, fill);
  }
  MapPixels24(at, left, p0, p1, p2);
}

// Two such rows, group by group in lockstep, so that the chains of one row's
// mapped groups overlap the other's.
void MapTwoRowsSkipping24(uint8_t* rowA, uint8_t* rowB, int32_t width) {
  uint8_t a0 = rowA[0];
  uint8_t a1 = rowA[1];
  uint8_t a2 = rowA[2];
  uint8_t b0 = rowB[0];
  uint8_t b1 = rowB[1];
  uint8_t b2 = rowB[2];
  PixelFill fillA = MakePixelFill(a0, a1, a2);
  PixelFill fillB = MakePixelFill(b0, b1, b2);
  int32_t x = 3;
  int32_t left = width - 1;
  for (; left >= kSkipPixels; left -= kSkipPixels, x += 3 * kSkipPixels) {
    MapGroupSkipping24(rowA + x, a0, a1, a2, fillA);
    MapGroupSkipping24(rowB + x, b0, b1, b2, fillB);
  }
  MapPixels24(rowA + x, left, a0, a1, a2);
  MapPixels24(rowB + x, left, b0, b1, b2);
}

// Rows read as planes (ReadRowPlanes24): channel c's codes at codes + c *
// width, a row of the block that the pixels do not go to. Every one of the
// 3 * width bytes at `out` is written.

// Rows with codes all along, kRows in lockstep, each channel one chain.
template <int32_t kRows>
void MapPlanarRowsOf24(const uint8_t* const* rowCodes, uint8_t* const* rowOut, int32_t width) {
  // The pointers in locals: the byte stores could alias the caller's arrays.
  const size_t w = static_cast<size_t>(width);
  const uint8_t* codes[kRows];
  uint8_t* out[kRows];
  uint8_t p[kRows][3];
  for (int32_t n = 0; n < kRows; ++n) {
    codes[n] = rowCodes[n];
    out[n] = rowOut[n];
    for (int32_t c = 0; c < 3; ++c) {
      p[n][c] = codes[n][c * w];
      out[n][c] = p[n][c];
    }
  }
  for (size_t x = 1; x < w; ++x) {
    for (int32_t n = 0; n < kRows; ++n) {
      for (int32_t c = 0; c < 3; ++c) {
        p[n][c] = MapByTable(p[n][c], codes[n][c * w + x]);
        out[n][3 * x + c] = p[n][c];
      }
    }
  }
}

}  // namespace

int32_t DecodeChannel(BitReader* reader, uint8_t* first, int32_t step, int32_t count) {
  uint32_t zeroCodes = 0;
  int32_t rc = ReadChannelCodes<0, true>(reader, first, step, count, &zeroCodes, first);
  if (rc != RC_OK) return rc;
  // Pass 2: the first code is the sample itself.
  uint8_t* at = first;
  for (int32_t i = 1; i < count; ++i) {
    at[step] = MapNeighbour(at[0], at[step]);
    at += step;
  }
  return RC_OK;
}

int32_t ReadRowCodes8(RowKernel kernel, BitReader* reader, uint8_t* row, int32_t width) {
#if QRV_VECTOR_KERNEL
  if (kernel == RowKernel::kVector) return sse2::ReadRow8(reader, row, width);
#else
  (void)kernel;
#endif
  uint32_t unused = 0;
  return ReadRow8<false>(reader, row, width, &unused);
}

int32_t ReadRowPlanes24(RowKernel kernel, BitReader* reader, uint8_t* planes, int32_t width,
                        uint32_t* zeroCodes) {
#if QRV_VECTOR_KERNEL
  if (kernel == RowKernel::kVector) return sse2::ReadRowPlanes24(reader, planes, width, zeroCodes);
#else
  (void)kernel;
#endif
  int32_t rc = RC_OK;
  for (int32_t c = 0; rc == RC_OK && c < 3; ++c) {
    rc = ReadRow8<true>(reader, planes + static_cast<size_t>(c) * width, width, zeroCodes);
  }
  return rc;
}

int32_t ReadRowCodes24(BitReader* reader, uint8_t* row, int32_t width, uint32_t* zeroCodes) {
  int32_t rc = RC_OK;
  for (int32_t c = 0; rc == RC_OK && c < 3; ++c) {
    rc = ReadFlatChannel24(reader, row + c, width, zeroCodes);
  }
  return rc;
}

RowKernel ChooseKernel() {
  return KernelRuns(RowKernel::kVector) ? RowKernel::kVector : RowKernel::kScalar;
}

bool KernelRuns(RowKernel kernel) {
  if (kernel == RowKernel::kScalar) return true;
#if QRV_VECTOR_KERNEL && defined(__SSE2__)
  return true;
#elif QRV_VECTOR_KERNEL
  // cpuid leaf 1: SSE2 is bit 26 of edx.
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (edx & bit_SSE2) != 0;
#else
  return false;
#endif
}

int32_t MappedRows8(RowKernel kernel) {
  return QRV_VECTOR_KERNEL && kernel == RowKernel::kVector ? kMaxMappedRows8 : 4;
}

void MapRows8(RowKernel kernel, uint8_t* const* rows, int32_t count, int32_t width) {
#if QRV_VECTOR_KERNEL
  if (kernel == RowKernel::kVector && count == kMaxMappedRows8) {
    sse2::MapRowLanes8(rows, width);
    return;
  }
#else
  (void)kernel;
#endif
  for (; count > 4; count -= 4, rows += 4) MapRowsOf8<4>(rows, width);
  switch (count) {
    case 1: MapRowsOf8<1>(rows, width); break;
    case 2: MapRowsOf8<2>(rows, width); break;
    case 3: MapRowsOf8<3>(rows, width); break;
    default: MapRowsOf8<4>(rows, width); break;
  }
}

void MapRows24(uint8_t* const* rows, const uint32_t* zeroCodes, int32_t count, int32_t width) {
  // Rows with at least half their codes in zero runs go alone through the
  // skipping mapper; the others in lockstep.
  uint8_t* flat[kMaxMappedRows];
  uint8_t* dense[kMaxMappedRows];
  int32_t flatCount = 0;
  int32_t denseCount = 0;
  for (int32_t n = 0; n < count; ++n) {
    if (uint64_t{zeroCodes[n]} * 2 >= uint64_t{3} * static_cast<uint32_t>(width)) {
      flat[flatCount++] = rows[n];
    } else {
      dense[denseCount++] = rows[n];
    }
  }
  int32_t n = 0;
  for (; kWideWords && n + 2 <= flatCount; n += 2) {
    MapTwoRowsSkipping24(flat[n], flat[n + 1], width);
  }
  for (; n < flatCount; ++n) MapRowSkipping24(flat[n], width);
  if (n < flatCount) MapRowSkipping24(flat[n], width);
  if (!kWideWords) {
    for (n = 0; n < denseCount; ++n) MapRowsOf24<1>(&dense[n], width);
    return;
  }
  switch (denseCount) {
    case 0: break;
    case 1: MapRowsOf24<1>(dense, width); break;
    case 2: MapRowsOf24<2>(dense, width); break;
    case 3: MapRowsOf24<3>(dense, width); break;
    default: MapRowsOf24<4>(dense, width); break;
  }
}

void MapRowsFromPlanes24(const uint8_t* const* planes, uint8_t* const* rows, int32_t count,
                         int32_t width) {
  // Rows read as planes have codes all along, mostly: no test for zero groups.
  if (kWideWords && count == 2) {
    MapPlanarRowsOf24<2>(planes, rows, width);
    return;
  }
  for (int32_t n = 0; n < count; ++n) MapPlanarRowsOf24<1>(&planes[n], &rows[n], width);
}

}  // namespace qrv
