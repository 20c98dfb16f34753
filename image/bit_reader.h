// The sample stream's bit reader. Bits are taken most significant first from
// the bytes after the header; the format reads them as 4-byte big-endian words,
// and this reader gives exactly the same values and failures while taking the
// bytes straight out of the stream's own buffer (the platform's direct-read
// window), eight at a time where the window allows.
//
// Seen from the format the stream is one string of bits: a request for n bits
// succeeds while n bits are left. That is what word-by-word reading gives when
// a last short read of 1 to 3 bytes counts as exactly its 8, 16 or 24 bits (our
// choice where the format leaves it open).
//
// Reading ahead is invisible: a window refill that fails is remembered and
// reported only when bits beyond those already held are asked for. No
// allocation; the stream is borrowed for one picture.
#ifndef QRV_IMAGE_BIT_READER_H
#define QRV_IMAGE_BIT_READER_H

#include <stdint.h>
#include <string.h>

#include "plugin.h"

#if defined(__GNUC__)
#define QRV_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define QRV_ALWAYS_INLINE inline
#endif

namespace qrv {

// Invariant: the top `held` bits of `bits` are the stream's next bits. The bits
// just below them may already hold the start of byte *next (the eight-byte
// refill loads it early); a later refill ORs the same byte into the same place.
// The window's bytes from `begin` on are the stream's, in order: the held bits
// came from the bytes before `next`, which lie in the window when (next -
// begin) * 8 >= held.
struct BitReader {
  uint64_t bits;
  int32_t held;      // 0 to 64
  int32_t failure;   // RC_OK, or RC_READ_ERROR once a refill failed
  bool ended;        // the stream has no more bytes
  const uint8_t* next;
  const uint8_t* end;
  StreamHandle stream;
  const uint8_t* begin;
};

// Largest request the fast paths make at once: a width field, a 16-bit
// run-length prefix and its 16-bit suffix.
constexpr int32_t kMaxRunHeaderBits = 35;

// Starts direct reading at the stream's position; RC_READ_ERROR when the stream
// cannot give its window.
[[nodiscard]] int32_t BeginBits(BitReader* reader, StreamHandle stream);

// Returns the stream to plain reads. The bytes read ahead stay taken: the
// picture's stream is closed right after. A failure turns a still-successful
// *rc into RC_READ_ERROR.
void EndBits(BitReader* reader, int32_t* rc);

// Tops the reader up byte by byte across windows, to at least 57 bits unless
// the stream ends or fails first.
void FillBitsSlow(BitReader* reader);

// The eight-byte refill; the window must hold at least 8 bytes at *next.
// Harmless when 57 bits or more are held already (it then ORs in bits already
// there), so that a caller may refill without first testing how much is held.
// On a reader's fields, or on copies of them in locals, which then stay in
// registers across a row loop's byte stores.
QRV_ALWAYS_INLINE void FillFromWindow(uint64_t* bits, int32_t* held, const uint8_t** next) {
  uint64_t word;
  memcpy(&word, *next, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#else
  word = __builtin_bswap64(word);
#endif
  *bits |= word >> *held;
  *next += (63 - *held) >> 3;
  *held |= 56;
}

QRV_ALWAYS_INLINE void FillBitsFromWindow(BitReader* reader) {
  FillFromWindow(&reader->bits, &reader->held, &reader->next);
}

// Tops the reader up to at least 57 bits where it can.
QRV_ALWAYS_INLINE void FillBits(BitReader* reader) {
  if (reader->end - reader->next >= 8) {
    FillBitsFromWindow(reader);
  } else {
    // Through a copy, so that the caller's reader never has its address taken
    // by a call: the compiler can then keep it in registers across byte
    // stores, which might otherwise alias it.
    BitReader copy = *reader;
    FillBitsSlow(&copy);
    *reader = copy;
  }
}

// Takes `n` bits (1 to 32) as an unsigned number; RC_READ_ERROR, with the
// reader unchanged, when fewer than `n` are left.
[[nodiscard]] QRV_ALWAYS_INLINE int32_t GetBits(BitReader* reader, int32_t n, uint32_t* value) {
  if (reader->held < n) {
    FillBits(reader);
    if (reader->held < n) return reader->failure != RC_OK ? reader->failure : RC_READ_ERROR;
  }
  *value = static_cast<uint32_t>(reader->bits >> (64 - n));
  reader->bits <<= n;
  reader->held -= n;
  return RC_OK;
}

}  // namespace qrv

#endif  // QRV_IMAGE_BIT_READER_H
