// A plain decoder written straight from the format's rules, for differential
// tests only: 4-byte big-endian words read one at a time, a 32-bit bit buffer
// with the mask table, the two passes per row-channel and the neighbour
// mapping by its formula. Slow on purpose; nothing here is shared with the
// plug-in's code.
#ifndef QRV_TESTS_IMAGE_REFERENCE_DECODER_H
#define QRV_TESTS_IMAGE_REFERENCE_DECODER_H

#include <cstdint>
#include <utility>
#include <vector>

namespace qrv::test {

struct ReferencePicture {
  int32_t rc = 0;
  std::vector<uint8_t> info;    // the header block: 40 bytes (+ 1024 at 8 bits)
  std::vector<uint8_t> pixels;  // the bottom-up pixel block
  std::vector<std::pair<int32_t, int32_t>> progress;
};

// What GetPicture gives for a memory source holding `file`, with a callback
// that answers nonzero on its call number `abortAt` (0-based; -1: never).
ReferencePicture DecodeReference(const std::vector<uint8_t>& file, int abortAt = -1);

// The mapping by the rules: fold, alternate around q, unfold.
uint8_t ReferenceMap(uint8_t previous, uint8_t code);

}  // namespace qrv::test

#endif  // QRV_TESTS_IMAGE_REFERENCE_DECODER_H
